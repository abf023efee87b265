// Finding plug-ins by name, and refusing what is not a usable plug-in.
#include <dlfcn.h>
#include <gmock/gmock.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "Helpers.h"
#include "sluice/plugin.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using namespace sluicetest;

namespace {

// Sets SLUICE_PLUGIN_PATH (or unsets it, for null) for one test.
class PluginPath {
 public:
  explicit PluginPath(char const* value) {
    if (char const* old = std::getenv("SLUICE_PLUGIN_PATH")) old_ = old, had_ = true;
    value ? ::setenv("SLUICE_PLUGIN_PATH", value, 1) : ::unsetenv("SLUICE_PLUGIN_PATH");
  }
  ~PluginPath() {
    had_ ? ::setenv("SLUICE_PLUGIN_PATH", old_.c_str(), 1) : ::unsetenv("SLUICE_PLUGIN_PATH");
  }

 private:
  std::string old_;
  bool had_ = false;
};

// A fresh directory for one test; the current directory is restored after it.
class Lookup : public ::testing::Test {
 protected:
  void SetUp() override {
    scripted::reset();
    char const* base = std::getenv("HOSTLIB_TEST_TMP");
    fs::path root = base ? fs::path(base) : fs::temp_directory_path();
    fs::create_directories(root);
    std::string pattern = (root / "sluice-lookup-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    cwd = fs::current_path();
  }
  void TearDown() override {
    fs::current_path(cwd);
    fs::remove_all(dir);
  }
  // A copy of the shipped passthrough converter under another file name.
  std::string copyPassthrough(std::string const& file) {
    fs::copy_file(SLUICE_TEST_PASSTHROUGH, dir / file);
    return (dir / file).string();
  }
  std::string refusal(std::string const& name) {
    try {
      sluice::Converter converter(name);
    } catch (sluice::Exception const& e) {
      return e.what();
    }
    ADD_FAILURE() << name << " was loaded";
    return std::string();
  }

  fs::path dir, cwd;
  PluginPath path{nullptr};
};

TEST_F(Lookup, DefaultDirectoryBesideTheServiceHoldsPassthrough) {
  EXPECT_EQ(fs::path(sluice::defaultPluginDirectory()),
            fs::canonical(SLUICE_TEST_PASSTHROUGH).parent_path());
  EXPECT_NO_THROW(sluice::Converter{"passthrough"});
  EXPECT_NO_THROW(sluice::Converter{"passthrough.so"});
}

TEST_F(Lookup, StaleAbsolutePathFailsWhileItsBareNameSucceeds) {
  EXPECT_THAT(refusal("/no/such/directory/passthrough"),
              HasSubstr("converter plug-in not found: /no/such/directory/passthrough"));
  EXPECT_NO_THROW(sluice::Converter{"passthrough"});
}

TEST_F(Lookup, PathWithDirectoryIsThatFileOrThatFileWithSo) {
  std::string file = copyPassthrough("mine.so");
  EXPECT_NO_THROW(sluice::Converter{file});
  EXPECT_NO_THROW(sluice::Converter{(dir / "mine").string()});
}

TEST_F(Lookup, BareNameIsNeverFoundInTheCurrentDirectory) {
  copyPassthrough("onlyhere.so");
  fs::current_path(dir);
  EXPECT_THAT(refusal("onlyhere"), HasSubstr("converter plug-in not found: onlyhere"));
  PluginPath relative(
      ".:./:"
      "onlyhere");
  EXPECT_THAT(refusal("onlyhere"), HasSubstr("not found"));
  EXPECT_NO_THROW(sluice::Converter{"./onlyhere"});  // a directory part: an explicit path
}

TEST_F(Lookup, AbsoluteSearchPathEntriesComeBeforeTheDefaultDirectory) {
  copyPassthrough("elsewhere.so");
  fs::copy_file(fs::path(SLUICE_TEST_MODULES) / "wrongversion.so", dir / "passthrough.so");
  PluginPath searched(("relative:/no/such/dir:" + dir.string()).c_str());
  EXPECT_NO_THROW(sluice::Converter{"elsewhere"});
  // The copy in the search path hides the shipped one.
  EXPECT_THAT(refusal("passthrough"), HasSubstr("built against SDK version 99"));
}

TEST_F(Lookup, InProcessRegistrationComesFirst) {
  static int made = 0;
  static sluice::sdk::PluginDescriptor const local = {
      sluice::sdk::SDK_VERSION,
      sluice::sdk::Kind::Converter,
      "local",
      nullptr,
      nullptr,
      []() -> sluice::sdk::Converter* {
        struct Same : sluice::sdk::Converter {
          std::unique_ptr<sluice::OwnedRecord> convert(
              std::unique_ptr<sluice::OwnedRecord> in) override {
            return in;
          }
        };
        ++made;
        return new Same();
      }};
  sluice::registerPlugin("passthrough", &local);
  EXPECT_NO_THROW(sluice::Converter{"passthrough"});
  sluice::unregisterPlugin("passthrough");
  EXPECT_EQ(made, 1);
  EXPECT_NO_THROW(sluice::Converter{"passthrough"});
  EXPECT_EQ(made, 1);
}

TEST_F(Lookup, EveryRefusalSaysWhy) {
  std::string modules = SLUICE_TEST_MODULES;
  EXPECT_THAT(refusal(modules + "/wrongversion.so"),
              HasSubstr("was built against SDK version 99, this service is 1"));
  EXPECT_THAT(refusal(modules + "/noentry.so"),
              HasSubstr("is not a sluice plug-in (no sluice_plugin_descriptor)"));
  std::ofstream(dir / "text.so") << "not a shared object\n";
  EXPECT_THAT(refusal((dir / "text.so").string()), HasSubstr("cannot load plug-in file"));
  EXPECT_THAT(refusal(""), HasSubstr("no plug-in name given"));
  EXPECT_THAT(refusal(scripted::DEVICE), HasSubstr("is a device, not a converter"));

  Handler handler;
  sluice::Converter converter("passthrough");
  try {
    sluice::Channel channel("passthrough", converter, handler, 0, 0);
    ADD_FAILURE() << "a converter was loaded as a device";
  } catch (sluice::Exception const& e) {
    EXPECT_THAT(e.what(), HasSubstr("is a converter, not a device"));
  }
  EXPECT_TRUE(handler.errors.empty());
}

TEST_F(Lookup, FileWithoutTheEntryPointIsRefusedBeforeItsCodeRuns) {
  ::unsetenv("SLUICE_TEST_NOENTRY_RAN");
  fs::copy_file(fs::path(SLUICE_TEST_MODULES) / "noentry.so", dir / "noentry.so");
  PluginPath searched(dir.c_str());
  EXPECT_THAT(refusal("noentry"),
              HasSubstr("is not a sluice plug-in (no sluice_plugin_descriptor)"));
  EXPECT_EQ(std::getenv("SLUICE_TEST_NOENTRY_RAN"), nullptr) << "its constructor ran";
  void* h = ::dlopen((dir / "noentry.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
  EXPECT_EQ(h, nullptr) << "it was mapped";
  if (h) ::dlclose(h);
}

TEST_F(Lookup, DamagedSharedObjectsAreRefusedWithAReason) {
  // Cut short inside its section table, and cut to the header alone.
  std::string whole = copyPassthrough("whole.so");
  auto size = fs::file_size(whole);
  fs::copy_file(whole, dir / "cut.so");
  fs::resize_file(dir / "cut.so", size - 100);
  EXPECT_THAT(refusal((dir / "cut.so").string()), HasSubstr("cannot load plug-in file"));
  fs::copy_file(whole, dir / "header.so");
  fs::resize_file(dir / "header.so", 64);
  EXPECT_THAT(refusal((dir / "header.so").string()), HasSubstr("truncated section table"));
  std::ofstream(dir / "empty.so");
  EXPECT_THAT(refusal((dir / "empty.so").string()), HasSubstr("not an ELF file"));
  // A program (position-independent, so ELF calls it a shared object too).
  EXPECT_THAT(refusal("/bin/sh"), HasSubstr("/bin/sh is not a sluice plug-in"));
}

TEST_F(Lookup, FilterThatCannotBeLoadedThrowsWithoutOnError) {
  Handler handler;
  sluice::Converter converter(scripted::CONVERTER);
  sluice::Channel channel(scripted::DEVICE, converter, handler, 0, 0);
  sluice::PropertyMap none, result;
  channel.init(none, result);
  EXPECT_THROW(channel.getOutputStream()->addFilter("/no/such/filter", none), sluice::Exception);
  EXPECT_THROW(channel.getOutputStream()->addFilter("passthrough", none), sluice::Exception);
  EXPECT_TRUE(handler.errors.empty());
  EXPECT_EQ(scripted::loadAttempts("/no/such/filter"), 1);
}

TEST_F(Lookup, LoadedModuleStaysWhileAnObjectMadeFromItLives) {
  std::string file = copyPassthrough("held.so");
  auto loaded = [&] {
    void* h = ::dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (h) ::dlclose(h);
    return h != nullptr;
  };
  {
    auto converter = std::make_unique<sluice::Converter>(file);
    EXPECT_TRUE(loaded());
    sluice::Converter second(file);
    converter.reset();
    EXPECT_TRUE(loaded());
  }
  EXPECT_FALSE(loaded());
}

}  // namespace
