// What the audio file plug-ins share beyond the support layer: their names and
// the identifier for an operating system's refusal to open a file.
#pragma once

#include "Failure.h"
#include "Properties.h"

namespace sluice {
namespace audiofile {

using support::fail;

constexpr char const* kWriter = "audiofilewriter";
constexpr char const* kReader = "audiofilereader";

// The identifier for an errno of opening or creating a file.
char const* openErrorIdentifier(int error);

}  // namespace audiofile
}  // namespace sluice
