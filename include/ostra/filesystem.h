// Path helpers on UTF-16 names. The native form on this platform uses '/' as the
// separator; names reach the file system as UTF-8 (ill-formed UTF-16 becomes
// U+FFFD, never a crash).
#pragma once

#include <string>

namespace ostra {
namespace filesystem {
namespace detail {

template <class Char8, class Char16>
struct path_traits {
  typedef Char8 narrow_type;
  typedef Char16 wide_type;
};

// The name in native form: '\\' separators become '/' (when `native`), repeated
// separators are kept as given.
std::u16string make_native_form(std::u16string const& name, bool native);
// Directory part: everything before the last separator, without the separators
// that end it ("a//b" gives "a", "dir/" gives "dir", "/x" gives "/"); empty for
// a bare or empty name.
std::u16string extract_parent_path(std::u16string const& name);
// Last element: everything after the last separator (empty for "dir/").
std::u16string extract_filename(std::u16string const& name);
// Extension of the last element without its dot; empty when there is none, and
// for names such as ".profile" or "a.".
std::u16string extract_extension(std::u16string const& name);

}  // namespace detail

// A path named in wide (UTF-16) text, which reaches the operating system in its
// narrow (UTF-8) form; Traits names the two character types.
template <class Char8, class Char16, class Traits>
class basic_path {
 public:
  typedef typename Traits::narrow_type narrow_type;
  typedef typename Traits::wide_type wide_type;
  typedef std::basic_string<wide_type> string_type;
  static_assert(sizeof(narrow_type) == sizeof(Char8) && sizeof(wide_type) == sizeof(Char16),
                "the traits name the path's own character types");

  explicit basic_path(bool native = true) : native_(native) {}
  // An empty name leaves the path empty; any other is stored in native form.
  void set_path_name(string_type const& name) {
    name_ = name.empty() ? string_type() : detail::make_native_form(name, native_);
  }
  string_type const& string() const { return name_; }
  bool empty() const { return name_.empty(); }
  bool is_native() const { return native_; }

 private:
  string_type name_;
  bool native_;
};

typedef basic_path<char, char16_t, detail::path_traits<char, char16_t>> path;

// True when the file system holds an entry (file, directory, ...) under the path;
// false for an empty path or a name holding a NUL.
bool exists(path const& p);
// The path's name as UTF-8 for the operating system.
std::string native_string(path const& p);

}  // namespace filesystem
}  // namespace ostra
