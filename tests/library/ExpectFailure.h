// Asserts that an action throws a library exception of exactly one class, with an
// exact identifier and message.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <typeinfo>

#include "hostlib/multimedia/exceptions.h"

template <class Expected>
void expectFailure(std::function<void()> const& action, char const* name,
                   std::string const& message) {
  try {
    action();
    FAIL() << "nothing thrown";
  } catch (hostlib::multimedia::Exception const& e) {
    EXPECT_EQ(typeid(Expected), typeid(e)) << typeid(e).name();
    EXPECT_STREQ(name, e.name());
    EXPECT_EQ(message, e.what());
  }
}
