// Types shared by the host, the library, the channel service and its plug-ins:
// the sample and element type enumerations carried in records (defined with the
// channel service's plug-in SDK), and the property map. Header-only.
#pragma once

#include <map>
#include <string>

#include "sluice/media.h"

namespace hostlib {
namespace multimedia {

// Property map: each value is null or the address of a boost::any whose held
// type the key fixes.
typedef std::map<std::string, void*> PropertyMap;

}  // namespace multimedia
}  // namespace hostlib
