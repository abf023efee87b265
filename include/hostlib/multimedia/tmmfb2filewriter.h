// Abstract base of the audio and video writers: checks the output location, owns
// the writer's channel manager and carries out every channel call of a writer,
// turning each failure into the library's exceptions.
#pragma once

#include <string>
#include <vector>

#include "hostlib/multimedia/datatypes.h"
#include "hostlib/multimedia/exceptions.h"
#include "hostlib/multimedia/export.h"

namespace hostlib {
namespace multimedia {

class ChannelManager;
class EventHandler;

class HOSTLIB_MM_API tmmfb2filewriter {
 public:
  static const unsigned long OUTPUT_STREAM_LIMIT;
  static const unsigned long INPUT_STREAM_LIMIT;

  // Takes ownership of `handler`, also when it throws.
  tmmfb2filewriter(std::u16string const& fileName, char const* channelPluginName,
                   char const* converterPluginName, char const* filterPluginName,
                   EventHandler* handler);
  virtual ~tmmfb2filewriter();

  virtual void open() = 0;
  virtual void close() = 0;
  virtual void initChannel(PropertyMap const& options, PropertyMap& result);
  virtual void openChannel(PropertyMap const& options);
  virtual void writeDataToOutputStream(std::vector<void*>& buffers);
  virtual void closeChannel();
  virtual void setIsOpen(bool open);
  virtual bool getIsOpen();

  void addFilter(PropertyMap const& options);
  ChannelManager* getChannelManager();
  std::u16string const& getFileName();

  tmmfb2filewriter(tmmfb2filewriter const&) = delete;
  tmmfb2filewriter& operator=(tmmfb2filewriter const&) = delete;

 private:
  ChannelManager* channelManager;
  std::u16string fileName;
  std::string filterName;
  bool isOpen;
};

}  // namespace multimedia
}  // namespace hostlib
