#include "channel/ChannelManager.h"

#include <memory>
#include <stdexcept>
#include <string>

#include "channel/EventHandler.h"
#include "channel/PluginName.h"
#include "hostlib/multimedia/exceptions.h"

namespace hostlib {
namespace multimedia {

namespace {

std::unique_ptr<sluice::Converter> createConverter(std::string const& name) {
  return std::unique_ptr<sluice::Converter>(new sluice::Converter(name));
}

std::unique_ptr<sluice::Channel> createChannel(std::string const& name,
                                               sluice::Converter& converter, EventHandler& handler,
                                               unsigned long limit1, unsigned long limit2) {
  return std::unique_ptr<sluice::Channel>(
      new sluice::Channel(name, converter, handler, limit1, limit2));
}

}  // namespace

ChannelManager::ChannelManager(char const* converterPluginName, char const* channelPluginName,
                               unsigned long limit1, unsigned long limit2, EventHandler* handler)
    : eventHandler(handler), converter(nullptr), channel(nullptr) {
  // Locals own what is created until construction succeeds, so a failure
  // destroys channel, converter and handler in that order.
  std::unique_ptr<EventHandler> ownedHandler(handler);
  std::unique_ptr<sluice::Converter> ownedConverter;
  std::unique_ptr<sluice::Channel> ownedChannel;

  try {
    ownedConverter = createConverter(pluginName(converterPluginName));
  } catch (...) {
    try {
      ownedConverter = createConverter(pluginFileNamePart(converterPluginName));
    } catch (...) {
      throw ConverterCreationFailedException();
    }
  }

  try {
    ownedChannel =
        createChannel(pluginName(channelPluginName), *ownedConverter, *handler, limit1, limit2);
  } catch (...) {
    try {
      ownedChannel = createChannel(pluginFileNamePart(channelPluginName), *ownedConverter, *handler,
                                   limit1, limit2);
    } catch (...) {
      throw ChannelCreationFailedException();
    }
  }

  ownedHandler.release();
  converter = ownedConverter.release();
  channel = ownedChannel.release();
}

ChannelManager::~ChannelManager() {
  try {
    if (channel->isOpen()) channel->close();
  } catch (...) {
  }
  try {
    channel->term();
  } catch (...) {
  }
  delete channel;
  delete converter;
  delete eventHandler;
}

sluice::Channel* ChannelManager::getChannel() { return channel; }

EventHandler* ChannelManager::getEventHandler() { return eventHandler; }

}  // namespace multimedia
}  // namespace hostlib
