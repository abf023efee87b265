#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include "ostra/filesystem.h"
#include "ostra/i18n.h"

namespace fs = ostra::filesystem;
using fs::detail::extract_extension;
using fs::detail::extract_filename;
using fs::detail::extract_parent_path;
using fs::detail::make_native_form;

namespace {

fs::path makePath(std::u16string const& name) {
  fs::path p;
  p.set_path_name(name);
  return p;
}

TEST(NativeForm, TurnsBackslashesIntoSlashesOnlyWhenNative) {
  EXPECT_EQ(make_native_form(u"a\\b\\c.wav", true), u"a/b/c.wav");
  EXPECT_EQ(make_native_form(u"a\\b\\c.wav", false), u"a\\b\\c.wav");
  EXPECT_EQ(make_native_form(u"a//b/", true), u"a//b/");
  EXPECT_EQ(make_native_form(u"", true), u"");
}

TEST(BasicPath, StoresNativeFormAndLeavesEmptyNamesEmpty) {
  fs::path p;
  EXPECT_TRUE(p.is_native());
  EXPECT_TRUE(p.empty());
  p.set_path_name(u"dir\\f\u00E9.wav");
  EXPECT_EQ(p.string(), u"dir/f\u00E9.wav");
  EXPECT_EQ(fs::native_string(p), "dir/f\xC3\xA9.wav");
  p.set_path_name(u"");
  EXPECT_TRUE(p.empty());
  fs::path raw(false);
  raw.set_path_name(u"a\\b");
  EXPECT_EQ(raw.string(), u"a\\b");
}

struct PathParts {
  std::u16string name;
  std::u16string parent;
  std::u16string filename;
  std::u16string extension;
};

// Names the case by its input in test listings.
void PrintTo(PathParts const& parts, std::ostream* os) {
  *os << '"' << ostra::i18n::to_utf8(parts.name) << '"';
}

class PathDecomposition : public ::testing::TestWithParam<PathParts> {};

TEST_P(PathDecomposition, SplitsParentFilenameAndExtension) {
  EXPECT_EQ(extract_parent_path(GetParam().name), GetParam().parent);
  EXPECT_EQ(extract_filename(GetParam().name), GetParam().filename);
  EXPECT_EQ(extract_extension(GetParam().name), GetParam().extension);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PathDecomposition,
    ::testing::Values(PathParts{u"", u"", u"", u""}, PathParts{u"a.WAV", u"", u"a.WAV", u"WAV"},
                      PathParts{u"/x", u"/", u"x", u""}, PathParts{u"/", u"/", u"", u""},
                      PathParts{u"//x.wav", u"/", u"x.wav", u"wav"},
                      PathParts{u"/tmp/out/song.flac", u"/tmp/out", u"song.flac", u"flac"},
                      PathParts{u"rel/dir/a.b.ogg", u"rel/dir", u"a.b.ogg", u"ogg"},
                      PathParts{u"dir.d/file", u"dir.d", u"file", u""},
                      PathParts{u"dir/", u"dir", u"", u""},
                      PathParts{u"a/b.wav/", u"a/b.wav", u"", u""},
                      PathParts{u"a//b", u"a", u"b", u""},
                      PathParts{u"home/.profile", u"home", u".profile", u""},
                      PathParts{u"a.", u"", u"a.", u""}, PathParts{u"..", u"", u"..", u""},
                      PathParts{u"\u65E5\u672C/\u00E9t\u00E9.Wav", u"\u65E5\u672C",
                                u"\u00E9t\u00E9.Wav", u"Wav"}));

// A scratch directory under the build tree, removed with its files afterwards.
class Exists : public ::testing::Test {
 protected:
  void SetUp() override {
    char const* base = std::getenv("HOSTLIB_TEST_TMP");
    std::string root = base ? base : ::testing::TempDir();
    ::mkdir(root.c_str(), 0755);
    dir_ = root + "/ostra-" + std::to_string(::getpid());
    ASSERT_EQ(::mkdir(dir_.c_str(), 0755), 0) << dir_;
  }
  void TearDown() override {
    for (auto it = created_.rbegin(); it != created_.rend(); ++it) {
      if (std::remove(it->c_str()) != 0) ::rmdir(it->c_str());
    }
    ::rmdir(dir_.c_str());
  }
  // Creates a file named by UTF-8 `name` inside the scratch directory.
  std::u16string touch(std::string const& name) {
    std::string const full = dir_ + "/" + name;
    std::FILE* f = std::fopen(full.c_str(), "w");
    EXPECT_NE(f, nullptr) << full;
    if (f) std::fclose(f);
    created_.push_back(full);
    return ostra::i18n::to_ustring(full);
  }
  std::u16string dir() const { return ostra::i18n::to_ustring(dir_); }

  std::string dir_;
  std::vector<std::string> created_;
};

TEST_F(Exists, TrueForFilesAndDirectoriesAlike) {
  EXPECT_TRUE(fs::exists(makePath(dir())));
  EXPECT_TRUE(fs::exists(makePath(dir() + u"/")));
  EXPECT_TRUE(fs::exists(makePath(touch("plain.wav"))));
  EXPECT_FALSE(fs::exists(makePath(dir() + u"/missing.wav")));
  EXPECT_FALSE(fs::exists(makePath(dir() + u"/missing/x.wav")));
}

TEST_F(Exists, FalseForEmptyNamesAndNamesWithNul) {
  EXPECT_FALSE(fs::exists(makePath(u"")));
  EXPECT_FALSE(fs::exists(fs::path()));
  // Cut at the NUL the name would be the existing directory.
  std::u16string withNul = dir();
  withNul.push_back(u'\0');
  withNul += u"ghost";
  EXPECT_FALSE(fs::exists(makePath(withNul)));
}

TEST_F(Exists, FileWithTrailingSeparatorIsNotADirectory) {
  std::u16string const file = touch("f.wav");
  EXPECT_TRUE(fs::exists(makePath(file)));
  EXPECT_FALSE(fs::exists(makePath(file + u"/")));
}

TEST_F(Exists, FindsNonAsciiNamesCreatedThroughUtf8) {
  std::u16string const accented = touch("\xC3\xA9t\xC3\xA9.wav");
  EXPECT_EQ(accented, dir() + u"/\u00E9t\u00E9.wav");
  EXPECT_TRUE(fs::exists(makePath(accented)));
  std::u16string const japanese = touch("\xE6\x97\xA5\xE6\x9C\xAC.flac");
  EXPECT_EQ(japanese, dir() + u"/\u65E5\u672C.flac");
  EXPECT_TRUE(fs::exists(makePath(japanese)));
  // A surrogate pair must reach the file system as one four-byte character.
  std::u16string const emoji = touch("\xF0\x9F\x8E\xB5.ogg");
  EXPECT_EQ(emoji, dir() + std::u16string(u"/\xD83C\xDFB5.ogg"));
  EXPECT_TRUE(fs::exists(makePath(emoji)));
  // Differently-cased or unnormalised spellings are other names.
  EXPECT_FALSE(fs::exists(makePath(dir() + u"/\u00C9t\u00E9.wav")));
  EXPECT_FALSE(fs::exists(makePath(dir() + u"/e\u0301t\u00E9.wav")));
}

TEST_F(Exists, LoneSurrogatesNameTheReplacementCharacter) {
  std::u16string const lone = dir() + u"/" + char16_t(0xD83C) + u".wav";
  EXPECT_FALSE(fs::exists(makePath(lone)));
  touch("\xEF\xBF\xBD.wav");
  EXPECT_TRUE(fs::exists(makePath(lone)));
  EXPECT_TRUE(fs::exists(makePath(dir() + u"/" + char16_t(0xDC00) + u".wav")));
}

TEST_F(Exists, ResolvesBackslashSeparatedNames) {
  touch("x.wav");
  std::u16string name = dir() + u"\\x.wav";
  EXPECT_TRUE(fs::exists(makePath(name)));
}

}  // namespace
