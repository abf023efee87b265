#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "ostra/i18n.h"

using ostra::i18n::to_ustring;
using ostra::i18n::to_utf8;

namespace {

int compare(std::u16string const& a, std::u16string const& b) {
  return ostra::i18n::lcctype::compare(a.data(), a.size(), b.data(), b.size(),
                                       ostra::i18n::case_insensitive());
}

int sign(int v) { return (v > 0) - (v < 0); }

TEST(ToUstring, WidensAsciiCharacterForCharacter) {
  EXPECT_EQ(to_ustring("InterleaveTranspose"), u"InterleaveTranspose");
  EXPECT_EQ(to_ustring(""), u"");
  std::string const withNul("a\0b", 3);
  EXPECT_EQ(to_ustring(withNul), std::u16string(u"a\0b", 3));
}

TEST(ToUstring, DecodesMultiByteSequencesAndSupplementaryCharacters) {
  EXPECT_EQ(to_ustring("\xC3\xA9"), u"\u00E9");
  EXPECT_EQ(to_ustring("\xE6\x97\xA5\xE6\x9C\xAC"), u"\u65E5\u672C");
  EXPECT_EQ(to_ustring("\xF0\x9F\x8E\xB5"), std::u16string(u"\xD83C\xDFB5"));
  EXPECT_EQ(to_ustring("\xF4\x8F\xBF\xBF"), std::u16string(u"\xDBFF\xDFFF"));
  EXPECT_EQ(to_ustring("\xEF\xBF\xBD"), u"\uFFFD");
}

struct IllFormed {
  char const* what;
  char const* bytes;
  char16_t const* expected;
};

void PrintTo(IllFormed const& c, std::ostream* os) { *os << c.what; }

class ToUstringIllFormed : public ::testing::TestWithParam<IllFormed> {};

// Each maximal ill-formed subpart becomes exactly one U+FFFD and the following
// well-formed text survives.
TEST_P(ToUstringIllFormed, ReplacesEachMaximalSubpartWithOneReplacementCharacter) {
  EXPECT_EQ(to_ustring(GetParam().bytes), std::u16string(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToUstringIllFormed,
    ::testing::Values(IllFormed{"lone continuation", "\x80z", u"\uFFFDz"},
                      IllFormed{"overlong NUL", "\xC0\x80z", u"\uFFFD\uFFFDz"},
                      IllFormed{"overlong three-byte", "\xE0\x80\x80", u"\uFFFD\uFFFD\uFFFD"},
                      IllFormed{"encoded surrogate", "\xED\xA0\x80z", u"\uFFFD\uFFFD\uFFFDz"},
                      IllFormed{"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
                      IllFormed{"lead byte F5", "\xF5z", u"\uFFFDz"},
                      IllFormed{"byte FF", "\xFFz", u"\uFFFDz"},
                      IllFormed{"truncated before ASCII", "\xE6\x97z", u"\uFFFDz"},
                      IllFormed{"truncated at the end", "a\xE6\x97", u"a\uFFFD"},
                      IllFormed{"truncated four-byte", "\xF0\x9F\x8E", u"\uFFFD"},
                      IllFormed{"lead byte restarts", "\xC3\xC3\xA9", u"\uFFFD\u00E9"}));

TEST(ToUtf8, EncodesBmpAndSurrogatePairs) {
  EXPECT_EQ(to_utf8(u"wav"), "wav");
  EXPECT_EQ(to_utf8(u"\u00E9\u65E5"), "\xC3\xA9\xE6\x97\xA5");
  EXPECT_EQ(to_utf8(std::u16string(u"\xD83C\xDFB5")), "\xF0\x9F\x8E\xB5");
  EXPECT_EQ(to_utf8(std::u16string(u"a\0b", 3)), std::string("a\0b", 3));
}

TEST(ToUtf8, TurnsUnpairedSurrogatesIntoReplacementCharacters) {
  std::string const fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(to_utf8(std::u16string(1, char16_t(0xD800))), fffd);
  EXPECT_EQ(to_utf8(std::u16string(1, char16_t(0xDC00))), fffd);
  std::u16string highThenText{char16_t(0xD83C), u'x'};
  EXPECT_EQ(to_utf8(highThenText), fffd + "x");
  std::u16string reversedPair{char16_t(0xDFB5), char16_t(0xD83C)};
  EXPECT_EQ(to_utf8(reversedPair), fffd + fffd);
  std::u16string twoHighsThenLow{char16_t(0xD83C), char16_t(0xD83C), char16_t(0xDFB5)};
  EXPECT_EQ(to_utf8(twoHighsThenLow), fffd + "\xF0\x9F\x8E\xB5");
}

TEST(Utf8RoundTrip, SurvivesEveryWellFormedPlane) {
  std::u16string const text = u"x\u00E9\u0416\u65E5\uFFFD\U0001F3B5\U0010FFFF";
  EXPECT_EQ(to_ustring(to_utf8(text)), text);
}

TEST(CaseInsensitiveCompare, EqualWithoutRegardToCase) {
  EXPECT_EQ(compare(u"wav", u"WAV"), 0);
  EXPECT_EQ(compare(u"wav", u"Wav"), 0);
  EXPECT_EQ(compare(u"FLAC", u"flac"), 0);
  EXPECT_EQ(compare(u"", u""), 0);
}

TEST(CaseInsensitiveCompare, OrdersByFoldedTextThenByLength) {
  EXPECT_LT(compare(u"wav", u"wave"), 0);
  EXPECT_GT(compare(u"WAVE", u"wav"), 0);
  EXPECT_LT(compare(u"", u"a"), 0);
  // Folding decides the order: 'a' < 'B' once case is ignored, unlike raw code units.
  EXPECT_LT(compare(u"a", u"B"), 0);
  EXPECT_GT(compare(u"B", u"a"), 0);
  EXPECT_EQ(sign(compare(u"ogg", u"opus")), -1);
  EXPECT_EQ(sign(compare(u"opus", u"ogg")), 1);
}

TEST(CaseInsensitiveCompare, LooksOnlyAtTheCountedCharacters) {
  char16_t const buffer[] = u"wavexyz";
  char16_t const upper[] = u"WAV!";
  ostra::i18n::case_insensitive const ci;
  EXPECT_EQ(ostra::i18n::lcctype::compare(buffer, 3, upper, 3, ci), 0);
  EXPECT_GT(ostra::i18n::lcctype::compare(buffer, 4, upper, 3, ci), 0);
  EXPECT_EQ(ostra::i18n::lcctype::compare(nullptr, 0, nullptr, 0, ci), 0);
}

TEST(CaseInsensitiveCompare, FoldsLatinGreekAndCyrillicLetters) {
  EXPECT_EQ(compare(u"\u00C9T\u00C9", u"\u00E9t\u00E9"), 0);              // ÉTÉ
  EXPECT_EQ(compare(u"\u0141\u00D3D\u0179", u"\u0142\u00F3d\u017A"), 0);  // ŁÓDŹ
  EXPECT_EQ(compare(u"\u0178", u"\u00FF"), 0);                            // Ÿ ÿ
  EXPECT_EQ(compare(u"\u03A3\u039F\u03A6\u0399\u0391", u"\u03C3\u03BF\u03C6\u03B9\u03B1"), 0);
  EXPECT_EQ(compare(u"\u0386", u"\u03AC"), 0);  // Ά ά
  EXPECT_EQ(
      compare(u"\u041C\u041E\u0421\u041A\u0412\u0410", u"\u043C\u043E\u0441\u043A\u0432\u0430"), 0);
  EXPECT_EQ(compare(u"\u0401", u"\u0451"), 0);  // Ё ё
  // Multiplication and division signs are not letters of a case pair.
  EXPECT_NE(compare(u"\u00D7", u"\u00F7"), 0);
  EXPECT_NE(compare(u"e", u"\u00E9"), 0);
}

}  // namespace
