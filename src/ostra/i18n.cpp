// UTF-8 <-> UTF-16 conversion and case-insensitive comparison of UTF-16 text.
#include "ostra/i18n.h"

namespace ostra {
namespace i18n {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void appendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Simple one-to-one lower-case fold of one UTF-16 code unit. Characters outside
// the covered blocks, and those without a one-to-one fold, map to themselves.
char16_t fold(char16_t c) {
  auto const pairEvenUpper = [](char16_t ch) -> char16_t { return (ch & 1) ? ch : ch + 1; };
  auto const pairOddUpper = [](char16_t ch) -> char16_t { return (ch & 1) ? ch + 1 : ch; };
  if (c < 0x80) return (c >= u'A' && c <= u'Z') ? c + 0x20 : c;
  if (c < 0x100) {
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;
    if (c == 0xB5) return 0x3BC;  // MICRO SIGN folds to GREEK SMALL LETTER MU
    return c;
  }
  if (c < 0x180) {
    if (c <= 0x12F || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177))
      return pairEvenUpper(c);
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return pairOddUpper(c);
    if (c == 0x178) return 0xFF;
    if (c == 0x17F) return u's';
    return c;  // U+0130, U+0131, U+0138, U+0149: no one-to-one fold
  }
  if (c >= 0x370 && c < 0x400) {
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 0x20;
    if (c == 0x386) return 0x3AC;
    if (c >= 0x388 && c <= 0x38A) return c + 0x25;
    if (c == 0x38C) return 0x3CC;
    if (c == 0x38E || c == 0x38F) return c + 0x3F;
    if (c == 0x3C2) return 0x3C3;  // final sigma
    return c;
  }
  if (c >= 0x400 && c < 0x530) {
    if (c <= 0x40F) return c + 0x50;
    if (c <= 0x42F) return c + 0x20;
    if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x52F))
      return pairEvenUpper(c);
    if (c == 0x4C0) return 0x4CF;
    if (c >= 0x4C1 && c <= 0x4CE) return pairOddUpper(c);
    return c;
  }
  return c;
}

}  // namespace

std::u16string to_ustring(std::string const& text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  std::size_t const n = text.size();
  while (i < n) {
    unsigned char const b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) {
      out.push_back(b0);
      ++i;
      continue;
    }
    // Lead byte decides the length and the allowed range of the second byte, which
    // rules out overlong forms, encoded surrogates and values above U+10FFFF.
    std::size_t length = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    char32_t cp = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      length = 2;
      cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      length = 3;
      cp = b0 & 0x0F;
      if (b0 == 0xE0) lo = 0xA0;
      if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      length = 4;
      cp = b0 & 0x07;
      if (b0 == 0xF0) lo = 0x90;
      if (b0 == 0xF4) hi = 0x8F;
    } else {
      out.push_back(static_cast<char16_t>(kReplacement));
      ++i;
      continue;
    }
    // A maximal ill-formed subpart becomes one U+FFFD; decoding resumes at the
    // first byte that does not continue it.
    std::size_t j = 1;
    bool ok = true;
    for (; j < length; ++j) {
      if (i + j >= n) {
        ok = false;
        break;
      }
      unsigned char const b = static_cast<unsigned char>(text[i + j]);
      unsigned char const low = (j == 1) ? lo : 0x80;
      unsigned char const high = (j == 1) ? hi : 0xBF;
      if (b < low || b > high) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (b & 0x3F);
    }
    if (ok) {
      appendUtf16(out, cp);
      i += length;
    } else {
      out.push_back(static_cast<char16_t>(kReplacement));
      i += j;
    }
  }
  return out;
}

std::string to_utf8(std::u16string const& text) {
  std::string out;
  out.reserve(text.size());
  std::size_t const n = text.size();
  for (std::size_t i = 0; i < n; ++i) {
    char32_t const u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      appendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      appendUtf8(out, kReplacement);
    } else {
      appendUtf8(out, u);
    }
  }
  return out;
}

namespace lcctype {

int compare(char16_t const* a, unsigned long lengthA, char16_t const* b, unsigned long lengthB,
            case_insensitive const&) {
  unsigned long const common = lengthA < lengthB ? lengthA : lengthB;
  for (unsigned long i = 0; i < common; ++i) {
    char16_t const fa = fold(a[i]);
    char16_t const fb = fold(b[i]);
    if (fa != fb) return fa < fb ? -1 : 1;
  }
  if (lengthA == lengthB) return 0;
  return lengthA < lengthB ? -1 : 1;
}

}  // namespace lcctype

}  // namespace i18n
}  // namespace ostra
