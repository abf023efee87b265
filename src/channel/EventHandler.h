// The channel's callback object: turns an error reported by the channel service
// into the library's exception, with the message from an error catalogue. The
// subclasses choose the catalogue and the exception class. A handler is owned
// by the ChannelManager it is handed to.
#pragma once

#include <string>

#include "errors/ErrorCatalogues.h"
#include "sluice/sluice.h"

namespace hostlib {
namespace multimedia {

class EventHandler : public sluice::Channel::IEventHandler {
 public:
  // Takes the text after the last ':' as the identifier and raises the catalogue's
  // message. Owns `error` and disposes of it before raising.
  void onError(sluice::Error* error) override;
  // Own `event` and delete it unread; null is ignored.
  void onNotice1(sluice::Event* event) override;
  void onNotice2(sluice::Event* event) override;
  void onNotice3(unsigned long done, unsigned long queued) override;
  void onNotice4(char const* text) override;
  ~EventHandler() override;

  virtual ErrorCatalogue const& getErrorCatalogue() const = 0;
  virtual void raiseError(std::string const& message) = 0;

 protected:
  EventHandler() = default;
};

// Audio writer and audio reader: audio catalogue, AudioWriteException.
class AudioEventHandler : public EventHandler {
 public:
  AudioEventHandler() = default;
  ~AudioEventHandler() override;
  ErrorCatalogue const& getErrorCatalogue() const override;
  void raiseError(std::string const& message) override;
};

// Video writer: video catalogue, VideoWriteException.
class VideoEventHandler : public EventHandler {
 public:
  VideoEventHandler() = default;
  ~VideoEventHandler() override;
  ErrorCatalogue const& getErrorCatalogue() const override;
  void raiseError(std::string const& message) override;
};

// Video reader: video-reading catalogue, VideoReadException.
class VideoReadEventHandler : public EventHandler {
 public:
  VideoReadEventHandler() = default;
  ~VideoReadEventHandler() override;
  ErrorCatalogue const& getErrorCatalogue() const override;
  void raiseError(std::string const& message) override;
};

}  // namespace multimedia
}  // namespace hostlib
