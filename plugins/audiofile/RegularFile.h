// The audio reader's names for the regular-file opening the support layer shares
// with the video reader (support/RegularFile.h).
#pragma once

#include "../support/RegularFile.h"

namespace sluice {
namespace audiofile {

using support::LibavInput;
using support::openRegularFile;

}  // namespace audiofile
}  // namespace sluice
