// Out-of-line anchors of the service's polymorphic interface types.
#include "sluice/sluice.h"

namespace sluice {

Exception::Exception(std::string const& message) : std::runtime_error(message) {}
Exception::~Exception() = default;
Error::~Error() = default;
Event::~Event() = default;
Stream::~Stream() = default;
Channel::IEventHandler::~IEventHandler() = default;

}  // namespace sluice
