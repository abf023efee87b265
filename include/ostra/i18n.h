// Text helpers: UTF-8 <-> UTF-16 and case-insensitive comparison.
#pragma once

#include <string>

namespace ostra {
namespace i18n {

// UTF-8 to UTF-16 (ASCII character for character); ill-formed input becomes U+FFFD.
std::u16string to_ustring(std::string const& text);
// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string to_utf8(std::u16string const& text);

struct case_insensitive {};

namespace lcctype {
// <0, 0, >0 like strcmp on the two counted strings, folding case (ASCII and the
// simple one-to-one folds of Latin-1, Latin Extended-A, Greek and Cyrillic).
int compare(char16_t const* a, unsigned long lengthA, char16_t const* b, unsigned long lengthB,
            case_insensitive const&);
}  // namespace lcctype

}  // namespace i18n
}  // namespace ostra
