// Refusals of the shipped plug-ins driven directly.
#pragma once

#include <functional>
#include <string>

#include "support/Failures.h"

namespace testsupport {

// The catalogue identifier `action` fails with when the text names `plugin`
// first ("audiofilter: detail:WriteNotSupported", "videofilter:couldNotInitFile");
// else the whole text, or "no failure".
inline std::string refusedBy(std::string const& plugin, std::function<void()> const& action) {
  std::string const text = refusalOf(action);
  return text.rfind(plugin + ":", 0) == 0 ? identifierOf(text) : text;
}

}  // namespace testsupport
