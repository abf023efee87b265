// The path and text helpers the library names files with: UTF-8 both ways,
// case folding, path parts, and what exists.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "ostra/filesystem.h"
#include "ostra/i18n.h"
#include "support/Scratch.h"

namespace {

namespace fs = ostra::filesystem;
using ostra::i18n::to_ustring;
using ostra::i18n::to_utf8;

std::u16string const kFffd = u"\uFFFD";

TEST(Utf8, DecodesEveryPlaneAndReplacesEachIllFormedSubpartOnce) {
  struct {
    char const* bytes;
    std::u16string text;
  } const rows[] = {{"InterleaveTranspose", u"InterleaveTranspose"},
                    {"\xC3\xA9\xE6\x97\xA5", u"\u00E9\u65E5"},
                    {"\xF0\x9F\x8E\xB5", u"\xD83C\xDFB5"},
                    {"\xF4\x8F\xBF\xBF", u"\xDBFF\xDFFF"},
                    {"\x80z", kFffd + u"z"},
                    {"\xC0\x80z", kFffd + kFffd + u"z"},
                    {"\xED\xA0\x80z", kFffd + kFffd + kFffd + u"z"},
                    {"\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},
                    {"\xF5z", kFffd + u"z"},
                    {"\xE6\x97z", kFffd + u"z"},
                    {"a\xE6\x97", u"a" + kFffd},
                    {"\xC3\xC3\xA9", kFffd + u"\u00E9"}};
  for (auto const& r : rows) EXPECT_EQ(to_ustring(r.bytes), r.text) << r.bytes;
  EXPECT_EQ(to_ustring(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
}

TEST(Utf8, EncodesSurrogatePairsAndReplacesUnpairedOnes) {
  std::string const fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(to_utf8(u"\u00E9\u65E5"), "\xC3\xA9\xE6\x97\xA5");
  EXPECT_EQ(to_utf8(u"\xD83C\xDFB5"), "\xF0\x9F\x8E\xB5");
  EXPECT_EQ(to_utf8(std::u16string{char16_t(0xD83C), u'x'}), fffd + "x");
  EXPECT_EQ(to_utf8(std::u16string{char16_t(0xDFB5), char16_t(0xD83C)}), fffd + fffd);
  std::u16string const text = u"x\u00E9\u0416\u65E5\U0001F3B5\U0010FFFF";
  EXPECT_EQ(to_ustring(to_utf8(text)), text);
}

TEST(CaseInsensitive, FoldsLettersOfEveryScriptItKnowsAndOrdersByFoldedText) {
  auto compare = [](std::u16string const& a, std::u16string const& b) {
    int const v = ostra::i18n::lcctype::compare(a.data(), a.size(), b.data(), b.size(),
                                                ostra::i18n::case_insensitive());
    return (v > 0) - (v < 0);
  };
  struct {
    std::u16string a, b;
    int sign;
  } const rows[] = {{u"wav", u"WAV", 0},
                    {u"FLAC", u"flac", 0},
                    {u"", u"", 0},
                    {u"wav", u"wave", -1},
                    {u"a", u"B", -1},
                    {u"B", u"a", 1},
                    {u"\u00C9T\u00C9", u"\u00E9t\u00E9", 0},
                    {u"\u0141\u00D3D\u0179", u"\u0142\u00F3d\u017A", 0},
                    {u"\u0178", u"\u00FF", 0},
                    {u"\u03A3\u0386", u"\u03C3\u03AC", 0},
                    {u"\u041C\u0401", u"\u043C\u0451", 0},
                    {u"\u00D7", u"\u00F7", -1},
                    {u"e", u"\u00E9", -1}};
  for (auto const& r : rows) EXPECT_EQ(compare(r.a, r.b), r.sign) << to_utf8(r.a);
  EXPECT_EQ(ostra::i18n::lcctype::compare(u"wavexyz", 3, u"WAV!", 3, {}), 0);
}

TEST(PathParts, SplitParentFileNameAndExtension) {
  struct {
    std::u16string name, parent, filename, extension;
  } const rows[] = {{u"", u"", u"", u""},
                    {u"a.WAV", u"", u"a.WAV", u"WAV"},
                    {u"/x", u"/", u"x", u""},
                    {u"//x.wav", u"/", u"x.wav", u"wav"},
                    {u"rel/dir/a.b.ogg", u"rel/dir", u"a.b.ogg", u"ogg"},
                    {u"dir.d/file", u"dir.d", u"file", u""},
                    {u"a/b.wav/", u"a/b.wav", u"", u""},
                    {u"a//b", u"a", u"b", u""},
                    {u"home/.profile", u"home", u".profile", u""},
                    {u"a.", u"", u"a.", u""},
                    {u"\u65E5/\u00E9.Wav", u"\u65E5", u"\u00E9.Wav", u"Wav"}};
  for (auto const& r : rows) {
    EXPECT_EQ(fs::detail::extract_parent_path(r.name), r.parent) << to_utf8(r.name);
    EXPECT_EQ(fs::detail::extract_filename(r.name), r.filename) << to_utf8(r.name);
    EXPECT_EQ(fs::detail::extract_extension(r.name), r.extension) << to_utf8(r.name);
  }
  EXPECT_EQ(fs::detail::make_native_form(u"a\\b\\c.wav", true), u"a/b/c.wav");
  EXPECT_EQ(fs::detail::make_native_form(u"a\\b", false), u"a\\b");
}

TEST(Exists, FindsFilesAndFoldersByTheirUtf8NamesAndNothingElse) {
  testsupport::Scratch scratch;
  std::u16string const dir = to_ustring(scratch.dir());
  for (char const* name :
       {"plain.wav", "\xC3\xA9t\xC3\xA9.wav", "\xF0\x9F\x8E\xB5.ogg", "\xEF\xBF\xBD.wav"})
    std::ofstream(scratch / name) << "x";
  auto exists = [](std::u16string const& name) {
    fs::path p;
    p.set_path_name(name);
    return fs::exists(p);
  };
  EXPECT_TRUE(exists(dir) && exists(dir + u"/") && exists(dir + u"\\plain.wav"));
  EXPECT_TRUE(exists(dir + u"/\u00E9t\u00E9.wav") && exists(dir + u"/\xD83C\xDFB5.ogg"));
  EXPECT_TRUE(exists(dir + u"/" + char16_t(0xD83C) + u".wav"));  // a lone surrogate is U+FFFD
  EXPECT_FALSE(exists(u"") || exists(dir + u"/missing.wav") || exists(dir + u"/plain.wav/"));
  EXPECT_FALSE(exists(dir + u"/\u00C9t\u00E9.wav") || exists(dir + u"/e\u0301t\u00E9.wav"));
  EXPECT_FALSE(exists(dir + std::u16string(1, u'\0') + u"ghost"));
}

}  // namespace
