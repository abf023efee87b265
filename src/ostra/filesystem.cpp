// Path helpers on UTF-16 names; '/' is the separator of the native form.
#include "ostra/filesystem.h"

#include <sys/stat.h>

#include "ostra/i18n.h"

namespace ostra {
namespace filesystem {
namespace detail {

namespace {

constexpr char16_t kSeparator = u'/';

// Position of the separator that ends the directory part, or npos for a bare name.
std::u16string::size_type lastSeparator(std::u16string const& name) {
  return name.find_last_of(kSeparator);
}

}  // namespace

std::u16string make_native_form(std::u16string const& name, bool native) {
  std::u16string result(name);
  if (native) {
    for (char16_t& c : result) {
      if (c == u'\\') c = kSeparator;
    }
  }
  return result;
}

std::u16string extract_parent_path(std::u16string const& name) {
  auto const last = lastSeparator(name);
  if (last == std::u16string::npos) return std::u16string();
  // "a//b" has the parent "a": a run of separators before the last element
  // belongs to neither side. A run at the start is the root.
  auto const end = name.find_last_not_of(kSeparator, last);
  if (end == std::u16string::npos) return std::u16string(1, kSeparator);
  return name.substr(0, end + 1);
}

std::u16string extract_filename(std::u16string const& name) {
  auto const last = lastSeparator(name);
  return last == std::u16string::npos ? name : name.substr(last + 1);
}

std::u16string extract_extension(std::u16string const& name) {
  std::u16string const filename = extract_filename(name);
  auto const dot = filename.find_last_of(u'.');
  // No dot, a leading dot only (".profile") or a trailing dot ("a."): no extension.
  if (dot == std::u16string::npos || dot == 0 || dot + 1 == filename.size())
    return std::u16string();
  return filename.substr(dot + 1);
}

}  // namespace detail

bool exists(path const& p) {
  if (p.empty()) return false;
  std::string const utf8 = native_string(p);
  // An embedded NUL would silently cut the name short for the system call.
  if (utf8.find('\0') != std::string::npos) return false;
  struct stat info;
  return ::stat(utf8.c_str(), &info) == 0;
}

std::string native_string(path const& p) { return i18n::to_utf8(p.string()); }

}  // namespace filesystem
}  // namespace ostra
