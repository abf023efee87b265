// Helpers for the audio plug-in tests: property maps that own their values,
// sample blocks, a scratch directory and running outside tools.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <boost/any.hpp>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sluice/plugin.h"

namespace audiotest {

// A property map whose boost::any values live as long as it does.
class Map {
 public:
  Map& text(std::string const& key, std::string const& value) {
    return set(key, std::u16string(value.begin(), value.end()));
  }
  Map& number(std::string const& key, double value) { return set(key, value); }
  Map& set(std::string const& key, boost::any value) {
    values_.push_back(std::make_unique<boost::any>(std::move(value)));
    map_[key] = values_.back().get();
    return *this;
  }
  Map& pointer(std::string const& key, void* value) {
    map_[key] = value;
    return *this;
  }
  sluice::PropertyMap const& get() const { return map_; }
  operator sluice::PropertyMap const&() const { return map_; }

 private:
  sluice::PropertyMap map_;
  std::vector<std::unique_ptr<boost::any>> values_;
};

// Deletes the boost::any values a plug-in put into a result map.
struct ResultMap {
  sluice::PropertyMap map;
  ~ResultMap() {
    for (auto& kv : map) delete static_cast<boost::any*>(kv.second);
  }
};

// What a plug-in's failure says after its last ':'.
inline std::string identifierOf(std::exception const& e) {
  std::string text = e.what();
  auto colon = text.rfind(':');
  return colon == std::string::npos ? "" : text.substr(colon + 1);
}

// A fresh directory under HOSTLIB_TEST_TMP (or /tmp) for one test.
inline std::string scratchDirectory(std::string const& name) {
  char const* base = std::getenv("HOSTLIB_TEST_TMP");
  std::string root = base && *base ? base : "/tmp/hostlib-audio-tests";
  std::string cmd = "rm -rf '" + root + "/" + name + "' && mkdir -p '" + root + "/" + name + "'";
  if (std::system(cmd.c_str()) != 0) return "";
  return root + "/" + name;
}

// Runs a shell command; its standard output, or "" with ok false on failure.
inline std::string run(std::string const& command, bool* ok = nullptr) {
  std::string out;
  FILE* p = popen((command + " 2>/dev/null").c_str(), "r");
  if (!p) {
    if (ok) *ok = false;
    return out;
  }
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  int rc = pclose(p);
  if (ok) *ok = rc == 0;
  return out;
}

inline bool haveTool(char const* name) { return run(std::string("command -v ") + name).size() > 0; }

inline long fileSize(std::string const& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? long(st.st_size) : -1;
}

}  // namespace audiotest
