// Helpers shared by the audio file plug-ins: reading property map values,
// failures with catalogue identifiers, file name extensions.
#pragma once

#include <cerrno>
#include <string>

#include "sluice/plugin.h"

namespace sluice {
namespace audiofile {

// A failure of plug-in `where` with `identifier`; `detail`, when given, goes
// between the two so that logs say what happened.
[[noreturn]] void fail(char const* where, char const* identifier, std::string const& detail = "");

// Map values: false when the key is absent, null or holds another type.
bool textOf(PropertyMap const& map, char const* key, std::string& utf8);
bool numberOf(PropertyMap const& map, char const* key, double& value);

// The extension of a file name, lower case, without its dot; empty when none.
std::string lowerExtension(std::string const& path);

// The identifier for an errno of opening or creating a file.
char const* openErrorIdentifier(int error);

}  // namespace audiofile
}  // namespace sluice
