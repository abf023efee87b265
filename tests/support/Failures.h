// Asserting failures: the library's exceptions exactly, and the texts plug-ins
// fail with.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <typeinfo>

#include "hostlib/multimedia/exceptions.h"

namespace testsupport {

// `action` throws a library exception of exactly class Expected, with this
// identifier and message.
template <class Expected>
void expectFailure(std::function<void()> const& action, char const* name,
                   std::string const& message) {
  try {
    action();
    ADD_FAILURE() << "nothing thrown; expected " << name;
  } catch (hostlib::multimedia::Exception const& e) {
    EXPECT_EQ(typeid(Expected), typeid(e)) << typeid(e).name();
    EXPECT_STREQ(name, e.name());
    EXPECT_EQ(message, e.what());
  }
}

// The text a plug-in's failure carries, or "no failure".
inline std::string refusalOf(std::function<void()> const& action) {
  try {
    action();
  } catch (std::exception const& e) {
    return e.what();
  }
  return "no failure";
}

// What a failure text says after its last ':', the catalogue identifier.
inline std::string identifierOf(std::string const& text) {
  auto colon = text.rfind(':');
  return colon == std::string::npos ? text : text.substr(colon + 1);
}

}  // namespace testsupport
