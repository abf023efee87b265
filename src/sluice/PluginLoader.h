// Finding and loading plug-ins by name (internal to the service).
#pragma once

#include <memory>
#include <string>

#include "sluice/plugin.h"

namespace sluice {
namespace detail {

// A plug-in found by name. `module` keeps its shared object loaded (null for an
// in-process plug-in); every object made from the plug-in holds a copy, declared
// before the object so that the object is destroyed first.
struct Plugin {
  std::shared_ptr<void> module;
  sdk::PluginDescriptor const* descriptor = nullptr;
  std::string name;  // the descriptor's name, for "<plugin>:Unexpected"
};

// Finds plug-in `name` of `kind`; throws sluice::Exception when it cannot.
Plugin loadPlugin(std::string const& name, sdk::Kind kind);

// Wraps a plug-in object so that it is deleted before its module is unloaded.
template <class T>
struct Loaded {
  std::shared_ptr<void> module;
  std::unique_ptr<T> object;
  std::string name;
  Loaded() = default;
  Loaded(Loaded&&) = default;
  Loaded& operator=(Loaded&& other) {
    object.reset();
    module = std::move(other.module);
    object = std::move(other.object);
    name = std::move(other.name);
    return *this;
  }
  ~Loaded() { object.reset(); }
  T* operator->() const { return object.get(); }
};

}  // namespace detail
}  // namespace sluice
