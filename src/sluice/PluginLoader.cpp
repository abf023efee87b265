#include "PluginLoader.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
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

// Reads exactly `size` bytes at `offset`; false when the file is shorter.
bool readAt(int fd, std::uint64_t offset, void* to, std::size_t size) {
  char* p = static_cast<char*>(to);
  while (size > 0) {
    ssize_t n = ::pread(fd, p, size, static_cast<off_t>(offset));
    if (n <= 0) return false;
    p += n, offset += static_cast<std::uint64_t>(n), size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Whether the ELF file at `path` exports the entry point in its dynamic symbol
// table. Read with plain file I/O, so that a file that is not a plug-in is
// refused before dlopen would run its constructors. Throws when the file is not
// a shared object of this machine's class and byte order.
bool exportsEntry(std::string const& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    throw Exception("sluice: cannot load plug-in file " + path + ": " + std::strerror(errno));
  std::shared_ptr<void> closer(nullptr, [fd](void*) { ::close(fd); });
  auto notElf = [&](char const* why) {
    return Exception("sluice: cannot load plug-in file " + path + ": " + why);
  };
  ElfW(Ehdr) eh;
  if (!readAt(fd, 0, &eh, sizeof eh) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0)
    throw notElf("not an ELF file");
  unsigned char const wantClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
  unsigned char const wantData =
      __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;
  if (eh.e_ident[EI_CLASS] != wantClass || eh.e_ident[EI_DATA] != wantData)
    throw notElf("built for another machine");
  if (eh.e_type != ET_DYN) throw notElf("not a shared object");
  if (eh.e_shentsize != sizeof(ElfW(Shdr)) || eh.e_shnum == 0) return false;
  std::vector<ElfW(Shdr)> sections(eh.e_shnum);
  if (!readAt(fd, eh.e_shoff, sections.data(), sections.size() * sizeof(ElfW(Shdr))))
    throw notElf("truncated section table");
  std::size_t const nameSize = std::strlen(SLUICE_PLUGIN_ENTRY_NAME) + 1;
  for (auto const& sh : sections) {
    if (sh.sh_type != SHT_DYNSYM || sh.sh_entsize != sizeof(ElfW(Sym)) ||
        sh.sh_link >= sections.size())
      continue;
    ElfW(Shdr) const& strings = sections[sh.sh_link];
    std::uint64_t count = sh.sh_size / sizeof(ElfW(Sym));
    if (count > (std::uint64_t(1) << 24)) throw notElf("implausible symbol table");
    std::vector<ElfW(Sym)> symbols(count);
    if (!readAt(fd, sh.sh_offset, symbols.data(), symbols.size() * sizeof(ElfW(Sym))))
      throw notElf("truncated symbol table");
    std::vector<char> name(nameSize);
    for (auto const& sym : symbols) {
      if (sym.st_shndx == SHN_UNDEF || ELF64_ST_TYPE(sym.st_info) != STT_FUNC ||
          sym.st_name + nameSize > strings.sh_size)
        continue;
      if (readAt(fd, strings.sh_offset + sym.st_name, name.data(), nameSize) &&
          std::memcmp(name.data(), SLUICE_PLUGIN_ENTRY_NAME, nameSize) == 0)
        return true;
    }
  }
  return false;
}

// Keeps an accepted plug-in's shared object loaded until the process ends:
// loading it again for every channel ran the relocations and constructors of
// the plug-in and of the libraries it needs each time, which cost as much as
// writing a few seconds of audio. One reference per shared object.
void keepLoaded(void* handle, std::shared_ptr<void> const& module) {
  static std::mutex* const mutex = new std::mutex;  // never destroyed, like what it guards
  static auto* const kept = new std::map<void*, std::shared_ptr<void>>;
  std::lock_guard<std::mutex> lock(*mutex);
  kept->emplace(handle, module);
}

detail::Plugin openFile(std::string const& path, sdk::Kind kind) {
  if (!exportsEntry(path))
    throw Exception("sluice: " + path +
                    " is not a sluice plug-in (no " SLUICE_PLUGIN_ENTRY_NAME ")");
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
  keepLoaded(handle, module);
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
  if (!descriptor) throw std::invalid_argument("sluice: no descriptor for plug-in " + name);
  std::lock_guard<std::mutex> lock(registryMutex);
  registry()[name] = descriptor;
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
