// The three objects one file needs from the channel service: the event handler,
// the converter and the channel. The manager owns all three and destroys them in
// the order channel, converter, handler (the channel refers to the other two).
#pragma once

#include "sluice/sluice.h"

namespace hostlib {
namespace multimedia {

class EventHandler;

class ChannelManager {
 public:
  // Takes ownership of `handler` at once, also when it throws. Each plug-in is
  // tried under its name, then under the name's last element. Throws
  // ConverterCreationFailedException or ChannelCreationFailedException.
  ChannelManager(char const* converterPluginName, char const* channelPluginName,
                 unsigned long limit1, unsigned long limit2, EventHandler* handler);
  // Closes the channel if it is open and terminates it; failures of either are
  // swallowed, since they cannot leave a destructor.
  ~ChannelManager();

  ChannelManager(ChannelManager const&) = delete;
  ChannelManager& operator=(ChannelManager const&) = delete;

  sluice::Channel* getChannel();
  EventHandler* getEventHandler();

 private:
  EventHandler* eventHandler;
  sluice::Converter* converter;
  sluice::Channel* channel;
};

}  // namespace multimedia
}  // namespace hostlib
