#include "channel/ReadingChannel.h"

#include <boost/any.hpp>

#include "channel/ConvertFailures.h"
#include "channel/EventHandler.h"
#include "ostra/filesystem.h"

namespace hostlib {
namespace multimedia {

namespace {

bool exists(std::u16string const& name) {
  ostra::filesystem::path path(true);
  path.set_path_name(name);
  return ostra::filesystem::exists(path);
}

}  // namespace

std::u16string existingInputFile(std::u16string const& fileName) {
  if (exists(fileName)) return fileName;
  ostra::filesystem::path path(true);
  path.set_path_name(fileName);
  std::u16string bareName = ostra::filesystem::detail::extract_filename(path.string());
  if (!exists(bareName)) throw InputFileNotFoundException();
  return bareName;
}

ChannelManager* newReadingChannel(char const* channelPluginName, char const* converterPluginName,
                                  EventHandler* handler) {
  try {
    // The manager owns the handler from here on, also when it throws; both
    // stream limits are 0.
    return new ChannelManager(converterPluginName, channelPluginName, 0, 0, handler);
  } catch (Exception const& e) {
    throw Exception(e);
  }
}

void initReadingChannel(ChannelManager& manager, std::u16string const& fileName,
                        OwnedResultMap& result) {
  boost::any fileNameValue(fileName);
  PropertyMap options;
  options["Filename"] = &fileNameValue;
  convertFailures("Unexpected exception occurred when initializing channel to read from the file",
                  [&] { manager.getChannel()->init(options, *result); });
}

}  // namespace multimedia
}  // namespace hostlib
