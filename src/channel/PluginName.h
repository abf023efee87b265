// Plug-in names as the channel service takes them. Every plug-in is tried under
// the name given and then once more under the name's last element, so a stale
// directory in a host's setting still finds a plug-in the service knows by name.
#pragma once

#include <boost/filesystem/path.hpp>
#include <stdexcept>
#include <string>

namespace hostlib {
namespace multimedia {

// The name as given; a missing name cannot be loaded.
inline std::string pluginName(char const* name) {
  if (!name) throw std::invalid_argument("no plug-in name");
  return std::string(name);
}

// The last element of the name, as boost::filesystem::path::filename() gives it.
inline std::string pluginFileNamePart(std::string const& name) {
  return boost::filesystem::path(name).filename().string();
}

inline std::string pluginFileNamePart(char const* name) {
  return pluginFileNamePart(pluginName(name));
}

}  // namespace multimedia
}  // namespace hostlib
