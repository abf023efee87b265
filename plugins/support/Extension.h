// File name extensions, which choose a writer's container.
#pragma once

#include <string>

#include "SupportExport.h"

namespace sluice {
namespace support {

// The extension of a file name's last element, lower case, without its dot;
// empty when there is none. '/' and '\\' both end a directory part.
SLUICE_SUPPORT_API std::string lowerExtension(std::string const& path);

}  // namespace support
}  // namespace sluice
