// Property maps as the library and the service hand them to plug-ins.
#pragma once

#include <boost/any.hpp>
#include <memory>
#include <string>
#include <vector>

#include "sluice/sluice.h"

namespace testsupport {

inline std::u16string u16(std::string const& text) {
  return std::u16string(text.begin(), text.end());
}

// A property map whose boost::any values live as long as it does.
class Map {
 public:
  Map& text(std::string const& key, std::string const& value) { return set(key, u16(value)); }
  Map& number(std::string const& key, double value) { return set(key, value); }
  Map& set(std::string const& key, boost::any value) {
    values_.push_back(std::make_unique<boost::any>(std::move(value)));
    map_[key] = values_.back().get();
    return *this;
  }
  Map& pointer(std::string const& key, void* value) {
    map_[key] = value;
    return *this;
  }
  operator sluice::PropertyMap const&() const { return map_; }

 private:
  sluice::PropertyMap map_;
  std::vector<std::unique_ptr<boost::any>> values_;
};

// An init result map: frees the boost::any values a plug-in put into it.
struct ResultMap {
  sluice::PropertyMap map;
  ~ResultMap() {
    for (auto& kv : map) delete static_cast<boost::any*>(kv.second);
  }
  template <class T>
  T get(std::string const& key) const {
    auto it = map.find(key);
    return it == map.end() || !it->second
               ? T()
               : boost::any_cast<T>(*static_cast<boost::any*>(it->second));
  }
};

}  // namespace testsupport
