// What tests/reliability still takes from the audio folder: it goes when those
// tests use tests/support (Scratch.h, Tools.h) instead.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/Tools.h"

namespace audiotest {

using testsupport::run;

// A fresh directory under HOSTLIB_TEST_TMP (or /tmp) for one test.
inline std::string scratchDirectory(std::string const& name) {
  char const* base = std::getenv("HOSTLIB_TEST_TMP");
  std::string const dir = (base && *base ? base : "/tmp/hostlib-audio-tests") + ("/" + name);
  std::error_code e;
  std::filesystem::remove_all(dir, e);
  return std::filesystem::create_directories(dir, e) ? dir : "";
}

inline bool haveTool(char const* name) { return !run(std::string("command -v ") + name).empty(); }

inline long fileSize(std::string const& path) {
  std::error_code e;
  auto const size = std::filesystem::file_size(path, e);
  return e ? -1 : long(size);
}

}  // namespace audiotest
