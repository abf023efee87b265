// Names of the audio sample types as the plug-ins take them.
#pragma once

#include <string>

#include "hostlib/multimedia/datatypes.h"

namespace hostlib {
namespace multimedia {

// "double", "single", "int8" ...; empty for 8 (no type) and for any value
// outside 0 to 10.
inline std::string audioTypeName(AudioDataType type) {
  static char const* const names[] = {"double", "single", "int8", "uint8", "int16", "uint16",
                                      "int32",  "uint32", "",     "int24", "uint24"};
  long value = static_cast<long>(type);
  return (value >= 0 && value <= 10) ? std::string(names[value]) : std::string();
}

}  // namespace multimedia
}  // namespace hostlib
