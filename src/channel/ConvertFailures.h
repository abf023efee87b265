// The one rule for every channel call of the file objects.
#pragma once

#include "hostlib/multimedia/exceptions.h"

namespace hostlib {
namespace multimedia {

// Runs one channel call: a library exception goes on as a plain Exception with the
// same identifier and message, anything else as UnexpectedException(message).
template <class Call>
void convertFailures(char const* message, Call call) {
  try {
    call();
  } catch (Exception const& e) {
    throw Exception(e);
  } catch (...) {
    throw UnexpectedException(message);
  }
}

}  // namespace multimedia
}  // namespace hostlib
