// The result map that Channel::init fills: every value is a boost::any that the
// channel service allocated with new. The owner deletes each value and the map
// when it goes out of scope, on return and on exception alike.
#pragma once

#include <boost/any.hpp>
#include <memory>

#include "hostlib/multimedia/datatypes.h"

namespace hostlib {
namespace multimedia {

class OwnedResultMap {
 public:
  OwnedResultMap() : map(new PropertyMap) {}
  ~OwnedResultMap() {
    // A value that cannot be deleted ends the deleting; the map is freed anyway.
    try {
      for (PropertyMap::value_type& entry : *map) {
        boost::any* value = static_cast<boost::any*>(entry.second);
        entry.second = nullptr;
        delete value;
      }
    } catch (...) {
    }
  }
  OwnedResultMap(OwnedResultMap const&) = delete;
  OwnedResultMap& operator=(OwnedResultMap const&) = delete;

  PropertyMap& operator*() { return *map; }
  PropertyMap* operator->() { return map.get(); }

 private:
  std::unique_ptr<PropertyMap> map;
};

// The value a device reported under `key` in a result map, or null when it is
// missing or holds another type.
template <typename T>
T const* reportedValue(PropertyMap const& result, char const* key) {
  auto it = result.find(key);
  if (it == result.end() || !it->second) return nullptr;
  return boost::any_cast<T>(static_cast<boost::any const*>(it->second));
}

}  // namespace multimedia
}  // namespace hostlib
