#include "PluginLoader.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

namespace sluice {
namespace {

std::mutex registryMutex;
std::map<std::string, sdk::PluginDescriptor const*>& registry() {
  static std::map<std::string, sdk::PluginDescriptor const*> r;
  return r;
}
std::atomic<LoadObserver> observer{nullptr};

char const* kindName(sdk::Kind kind) {
  switch (kind) {
    case sdk::Kind::Device:
      return "device";
    case sdk::Kind::Filter:
      return "filter";
    case sdk::Kind::Converter:
      return "converter";
  }
  return "unknown kind";
}

bool isFile(std::string const& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool endsWith(std::string const& s, std::string const& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Checks a descriptor against the kind asked for; throws with `where` named.
void accept(sdk::PluginDescriptor const* d, sdk::Kind kind, std::string const& where) {
  if (!d) throw Exception("sluice: " + where + " is not a sluice plug-in (no descriptor)");
  if (d->sdkVersion != sdk::SDK_VERSION)
    throw Exception("sluice: plug-in " + where + " was built against SDK version " +
                    std::to_string(d->sdkVersion) + ", this service is " +
                    std::to_string(sdk::SDK_VERSION));
  bool made = (kind == sdk::Kind::Device && d->createDevice) ||
              (kind == sdk::Kind::Filter && d->createFilter) ||
              (kind == sdk::Kind::Converter && d->createConverter);
  if (d->kind != kind || !made)
    throw Exception("sluice: plug-in " + where + " is a " + kindName(d->kind) + ", not a " +
                    kindName(kind));
}

detail::Plugin openFile(std::string const& path, sdk::Kind kind) {
  ::dlerror();
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    char const* why = ::dlerror();
    throw Exception("sluice: cannot load plug-in file " + path + ": " +
                    (why ? why : "unknown reason"));
  }
  std::shared_ptr<void> module(handle, [](void* h) { ::dlclose(h); });
  typedef sdk::PluginDescriptor const* (*Entry)();
  auto entry = reinterpret_cast<Entry>(::dlsym(handle, SLUICE_PLUGIN_ENTRY_NAME));
  if (!entry)
    throw Exception("sluice: " + path +
                    " is not a sluice plug-in (no " SLUICE_PLUGIN_ENTRY_NAME ")");
  sdk::PluginDescriptor const* d = entry();
  accept(d, kind, path);
  return {std::move(module), d, d->name ? d->name : path};
}

std::vector<std::string> searchDirectories() {
  std::vector<std::string> dirs;
  if (char const* env = std::getenv("SLUICE_PLUGIN_PATH")) {
    std::string list(env);
    std::size_t start = 0;
    while (start <= list.size()) {
      std::size_t end = list.find(':', start);
      if (end == std::string::npos) end = list.size();
      std::string dir = list.substr(start, end - start);
      // Relative entries would depend on the current directory: ignored.
      if (!dir.empty() && dir[0] == '/') dirs.push_back(dir);
      start = end + 1;
    }
  }
  std::string def = defaultPluginDirectory();
  if (!def.empty()) dirs.push_back(def);
  return dirs;
}

}  // namespace

void registerPlugin(std::string const& name, sdk::PluginDescriptor const* descriptor) {
  std::lock_guard<std::mutex> lock(registryMutex);
  if (descriptor) {
    registry()[name] = descriptor;
  } else {
    registry().erase(name);
  }
}

void unregisterPlugin(std::string const& name) {
  std::lock_guard<std::mutex> lock(registryMutex);
  registry().erase(name);
}

void setLoadObserver(LoadObserver o) { observer.store(o); }

std::string defaultPluginDirectory() {
  Dl_info info;
  if (!::dladdr(reinterpret_cast<void*>(&defaultPluginDirectory), &info) || !info.dli_fname)
    return std::string();
  char resolved[PATH_MAX];
  if (!::realpath(info.dli_fname, resolved)) return std::string();
  std::string self(resolved);
  std::size_t slash = self.rfind('/');
  if (slash == std::string::npos) return std::string();
  return self.substr(0, slash) + "/" SLUICE_PLUGIN_SUBDIR;
}

namespace detail {

// Plug-in lookup by name, in this order:
//  1. a plug-in registered in-process (registerPlugin) under exactly `name`;
//  2. a name with a directory part is a file path: that file, else that path
//     plus ".so";
//  3. a bare name: "<name>.so" (the name itself when it ends in ".so") in each
//     absolute directory of SLUICE_PLUGIN_PATH (colon-separated, relative entries
//     ignored), then in the default directory beside libsluice.so. The first file
//     that exists is the one loaded (or refused).
// The current directory is never searched, and dlopen always gets a path with a
// directory part, so that its own search never runs.
Plugin loadPlugin(std::string const& name, sdk::Kind kind) {
  if (LoadObserver o = observer.load()) o(name, kind);
  {
    std::lock_guard<std::mutex> lock(registryMutex);
    auto it = registry().find(name);
    if (it != registry().end()) {
      accept(it->second, kind, name);
      return {nullptr, it->second, it->second->name ? it->second->name : name};
    }
  }
  if (name.empty()) throw Exception("sluice: no plug-in name given");
  if (name.find('/') != std::string::npos) {
    if (isFile(name)) return openFile(name, kind);
    if (isFile(name + ".so")) return openFile(name + ".so", kind);
    throw Exception("sluice: " + std::string(kindName(kind)) + " plug-in not found: " + name);
  }
  std::string file = endsWith(name, ".so") ? name : name + ".so";
  for (auto const& dir : searchDirectories()) {
    std::string path = dir + "/" + file;
    if (isFile(path)) return openFile(path, kind);
  }
  throw Exception("sluice: " + std::string(kindName(kind)) + " plug-in not found: " + name);
}

}  // namespace detail
}  // namespace sluice
