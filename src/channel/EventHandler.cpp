#include "channel/EventHandler.h"

#include "hostlib/multimedia/exceptions.h"

namespace hostlib {
namespace multimedia {

namespace {
// Raised when the identifier is not in the catalogue.
const char* const kUnknownErrorMessage = "The operation failed due to an unexpected exception";
}  // namespace

void EventHandler::onError(sluice::Error* error) {
  std::string text;
  if (error) {
    // Copy first: only the copy is used once the error object is released.
    char const* message = error->getMessage();
    if (message) text = message;
    error->dispose();
  }
  std::string::size_type colon = text.rfind(':');
  std::string identifier = colon == std::string::npos ? text : text.substr(colon + 1);
  ErrorCatalogue const& catalogue = getErrorCatalogue();
  ErrorCatalogue::const_iterator entry = catalogue.find(identifier);
  raiseError(entry != catalogue.end() ? entry->second : std::string(kUnknownErrorMessage));
}

void EventHandler::onNotice1(sluice::Event* event) { delete event; }
void EventHandler::onNotice2(sluice::Event* event) { delete event; }
void EventHandler::onNotice3(unsigned long, unsigned long) {}
void EventHandler::onNotice4(char const*) {}
EventHandler::~EventHandler() = default;

AudioEventHandler::~AudioEventHandler() = default;
ErrorCatalogue const& AudioEventHandler::getErrorCatalogue() const { return audioErrorCatalogue(); }
void AudioEventHandler::raiseError(std::string const& message) {
  throw AudioWriteException(message);
}

VideoEventHandler::~VideoEventHandler() = default;
ErrorCatalogue const& VideoEventHandler::getErrorCatalogue() const { return videoErrorCatalogue(); }
void VideoEventHandler::raiseError(std::string const& message) {
  throw VideoWriteException(message);
}

VideoReadEventHandler::~VideoReadEventHandler() = default;
ErrorCatalogue const& VideoReadEventHandler::getErrorCatalogue() const {
  return videoReadErrorCatalogue();
}
void VideoReadEventHandler::raiseError(std::string const& message) {
  throw VideoReadException(message);
}

}  // namespace multimedia
}  // namespace hostlib
