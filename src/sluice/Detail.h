// Internals shared by the service's sources.
#pragma once

#include <new>
#include <optional>
#include <string>
#include <utility>

#include "PluginLoader.h"
#include "sluice/sluice.h"

namespace sluice {
namespace detail {

struct ConverterImpl {
  Loaded<sdk::Converter> converter;
};

// Runs one plug-in call and returns its failure text (nothing when it
// succeeded): a std::exception gives its what(), anything else
// "<plugin>:Unexpected". std::bad_alloc is not a plug-in failure and propagates.
template <class F>
std::optional<std::string> attempt(std::string const& plugin, F&& call) {
  try {
    std::forward<F>(call)();
    return std::nullopt;
  } catch (std::bad_alloc const&) {
    throw;
  } catch (std::exception const& e) {
    return std::string(e.what());
  } catch (...) {
    return plugin + ":Unexpected";
  }
}

// Creates the plug-in object with `make`; a failure or a null object throws
// sluice::Exception naming `name`.
template <class T, class Make>
Loaded<T> create(Plugin const& plugin, std::string const& name, Make make) {
  Loaded<T> loaded;
  loaded.module = plugin.module;
  loaded.name = plugin.name;
  T* object = nullptr;
  if (auto failure = attempt(plugin.name, [&] { object = make(); }))
    throw Exception("sluice: plug-in " + name + " could not be created: " + *failure);
  if (!object) throw Exception("sluice: plug-in " + name + " could not be created");
  loaded.object.reset(object);
  return loaded;
}

}  // namespace detail
}  // namespace sluice
