#include "hostlib/multimedia/tmmfb2filewriter.h"

#include <boost/thread/thread.hpp>
#include <memory>
#include <stdexcept>

#include "channel/ChannelManager.h"
#include "channel/ConvertFailures.h"
#include "channel/EventHandler.h"
#include "channel/PluginName.h"
#include "ostra/filesystem.h"

namespace hostlib {
namespace multimedia {

const unsigned long tmmfb2filewriter::OUTPUT_STREAM_LIMIT = 0;
const unsigned long tmmfb2filewriter::INPUT_STREAM_LIMIT = 0;

namespace {

const char* const kInitMessage =
    "Unexpected exception occurred when initializing the channel to write to the file";
const char* const kOpenMessage =
    "Unexpected Exception occurred when opening the channel to write to the file";
const char* const kWriteMessage = "Unexpected exception occurred when writing to the file";
const char* const kCloseMessage = "Unexpected error occurred when closing the channel";

// True when the directory part of `fileName` is empty or names an existing entry.
bool outputLocationExists(std::u16string const& fileName) {
  ostra::filesystem::path file(true);
  file.set_path_name(fileName);
  std::u16string parent = ostra::filesystem::detail::extract_parent_path(file.string());
  if (parent.empty()) return true;
  ostra::filesystem::path directory(true);
  directory.set_path_name(parent);
  return ostra::filesystem::exists(directory);
}

sluice::OutputStream& outputStreamOf(ChannelManager& manager) {
  sluice::OutputStream* stream = manager.getChannel()->getOutputStream();
  if (!stream) throw std::logic_error("channel has no output stream");
  return *stream;
}

}  // namespace

tmmfb2filewriter::tmmfb2filewriter(std::u16string const& fileName, char const* channelPluginName,
                                   char const* converterPluginName, char const* filterPluginName,
                                   EventHandler* handler)
    : channelManager(nullptr), isOpen(false) {
  std::unique_ptr<EventHandler> ownedHandler(handler);
  this->fileName = fileName;
  if (filterPluginName) filterName = filterPluginName;

  if (!outputLocationExists(fileName)) throw OutputFileLocationNotFoundException();

  try {
    // The manager owns the handler from here on, also when it throws.
    channelManager = new ChannelManager(converterPluginName, channelPluginName, OUTPUT_STREAM_LIMIT,
                                        INPUT_STREAM_LIMIT, ownedHandler.release());
  } catch (Exception const& e) {
    throw Exception(e);
  }
}

tmmfb2filewriter::~tmmfb2filewriter() { delete channelManager; }

void tmmfb2filewriter::initChannel(PropertyMap const& options, PropertyMap& result) {
  convertFailures(kInitMessage, [&] { channelManager->getChannel()->init(options, result); });
}

void tmmfb2filewriter::openChannel(PropertyMap const& options) {
  convertFailures(kOpenMessage, [&] { channelManager->getChannel()->open(options); });
}

void tmmfb2filewriter::writeDataToOutputStream(std::vector<void*>& buffers) {
  convertFailures(kWriteMessage, [&] {
    // The service drains the stream on its own; poll until it has room.
    while (outputStreamOf(*channelManager).getSpaceAvailable() == 0) {
      boost::this_thread::yield();
    }
    outputStreamOf(*channelManager).write(buffers);
  });
}

void tmmfb2filewriter::closeChannel() {
  if (!getIsOpen()) return;
  convertFailures(kCloseMessage, [&] { channelManager->getChannel()->close(); });
}

void tmmfb2filewriter::setIsOpen(bool open) { isOpen = open; }

bool tmmfb2filewriter::getIsOpen() { return isOpen; }

void tmmfb2filewriter::addFilter(PropertyMap const& options) {
  try {
    outputStreamOf(*channelManager).addFilter(filterName, options);
    return;
  } catch (...) {
    // Any failure, the event handler's included, leads to the second attempt.
  }
  try {
    outputStreamOf(*channelManager).addFilter(pluginFileNamePart(filterName), options);
  } catch (...) {
    throw FilterCreationFailedException();
  }
}

ChannelManager* tmmfb2filewriter::getChannelManager() { return channelManager; }

std::u16string const& tmmfb2filewriter::getFileName() { return fileName; }

}  // namespace multimedia
}  // namespace hostlib
