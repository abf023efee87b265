// Failures with catalogue identifiers.
#pragma once

#include <string>

#include "SupportExport.h"

namespace sluice {
namespace support {

// Throws sdk::Failure "<where>: <detail>:<identifier>" ("<where>:<identifier>"
// without detail): the detail tells a log what happened, the identifier after
// the last ':' tells the host.
[[noreturn]] SLUICE_SUPPORT_API void fail(std::string const& where, char const* identifier,
                                          std::string const& detail = std::string());

}  // namespace support
}  // namespace sluice
