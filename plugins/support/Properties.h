// Reading the option maps a plug-in is handed and writing the result map of
// init. Each value of a map is null or the address of a boost::any.
#pragma once

#include <boost/any.hpp>
#include <string>

#include "SupportExport.h"
#include "sluice/sluice.h"

namespace sluice {
namespace support {

// The value under `key` when it holds a T; null when the key is absent, its value
// null or of another type. `otherType`, when given, tells the last case apart.
template <class T>
T const* valueOf(PropertyMap const& map, char const* key, bool* otherType = nullptr) {
  if (otherType) *otherType = false;
  auto it = map.find(key);
  if (it == map.end() || !it->second) return nullptr;
  T const* value = boost::any_cast<T>(static_cast<boost::any const*>(it->second));
  if (!value && otherType) *otherType = true;
  return value;
}

// A std::u16string value as UTF-8, or a double; false as valueOf gives null.
SLUICE_SUPPORT_API bool textOf(PropertyMap const& map, char const* key, std::string& utf8);
SLUICE_SUPPORT_API bool numberOf(PropertyMap const& map, char const* key, double& value);

// Sets `key` of an init result map to a new boost::any holding `value`, freeing
// the value it held before.
SLUICE_SUPPORT_API void put(PropertyMap& result, char const* key, boost::any value);

}  // namespace support
}  // namespace sluice
