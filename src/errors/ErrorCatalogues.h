// The three fixed catalogues from error identifier to message. Built once at library
// load, read-only afterwards; reached through the event handlers.
#pragma once

#include <map>
#include <string>

namespace hostlib {
namespace multimedia {

typedef std::map<std::string, std::string> ErrorCatalogue;

ErrorCatalogue const& audioErrorCatalogue();
ErrorCatalogue const& videoErrorCatalogue();
ErrorCatalogue const& videoReadErrorCatalogue();

}  // namespace multimedia
}  // namespace hostlib
