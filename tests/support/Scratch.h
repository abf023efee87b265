// A folder of one test's own: made with mkdtemp under $TMPDIR (or /tmp), so that
// tests running at once, in one process or several, never share one; removed
// with everything in it when the object goes.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace testsupport {

class Scratch {
 public:
  Scratch() {
    char const* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/hostlib-test-XXXXXX";
    if (!::mkdtemp(pattern.data())) ADD_FAILURE() << "no scratch folder under " << pattern;
    dir_ = pattern;
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  Scratch(Scratch const&) = delete;
  Scratch& operator=(Scratch const&) = delete;

  std::string const& dir() const { return dir_; }
  // The path of `name` inside the folder.
  std::string operator/(std::string const& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

}  // namespace testsupport
