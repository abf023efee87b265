// Finding plug-ins by name, and refusing what is not a usable plug-in.
#include <gmock/gmock.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "sluice/plugin.h"
#include "support/Failures.h"
#include "support/Scratch.h"

namespace {

namespace fs = std::filesystem;

// A converter asked for by `name` from the test's own folder, with
// SLUICE_PLUGIN_PATH set to `path` (null: unset). "@" stands for the folder, which
// holds mine.so (a copy of the shipped passthrough), passthrough.so (a plug-in of
// another SDK version), noentry.so (no entry point; its constructor leaves a
// mark), registered.so (a good converter, under a name registered in-process for
// a device) and damaged files. The outcome is "no failure" or a part of the refusal.
struct Lookup {
  char const *behaviour, *path, *name, *outcome;
};

Lookup const kLookups[] = {
    {"RegisteredNameComesFirstAndAWrongKindIsRefused", "@", "registered",
     "plug-in registered is a device, not a converter"},
    {"BareNameIsFoundBesideTheService", nullptr, "passthrough", "no failure"},
    {"BareNameMayEndInSo", nullptr, "passthrough.so", "no failure"},
    {"NameWithADirectoryIsThatFile", nullptr, "@/mine.so", "no failure"},
    {"NameWithADirectoryMayLeaveOutSo", nullptr, "@/mine", "no failure"},
    {"MissingFileIsNotLookedForElsewhere", nullptr, "/no/dir/passthrough",
     "converter plug-in not found: /no/dir/passthrough"},
    {"DotSlashNamesAFile", nullptr, "./mine", "no failure"},
    {"BareNameIsNeverLookedForInTheCurrentDirectory", nullptr, "mine", "not found: mine"},
    {"RelativeSearchPathEntriesAreIgnored", ".:./:mine", "mine", "not found: mine"},
    {"AbsoluteSearchPathEntriesAreSearched", "rel:/no/dir:@", "mine", "no failure"},
    {"SearchPathComesFirstAndOtherSdkVersionsAreRefused", "@", "passthrough",
     "plug-in @/passthrough.so was built against SDK version 99, this service is 1"},
    {"FileWithoutTheEntryPointIsRefusedBeforeItsCodeRuns", "@", "noentry",
     "@/noentry.so is not a sluice plug-in (no sluice_plugin_descriptor)"},
    {"EmptyFile", nullptr, "@/empty.so", "cannot load plug-in file @/empty.so: not an ELF"},
    {"CutSharedObject", nullptr, "@/cut.so", "cannot load plug-in file @/cut.so"},
    {"HeaderAlone", nullptr, "@/header.so", "@/header.so: truncated section table"},
    {"NoName", nullptr, "", "no plug-in name given"}};

class PluginLookup : public ::testing::TestWithParam<Lookup> {};

TEST_P(PluginLookup, FindsThePlugInOrSaysWhyNot) {
  using namespace sluice::sdk;
  static PluginDescriptor const device{SDK_VERSION, Kind::Device, "device", {}, {}, {}};
  sluice::registerPlugin("registered", &device);
  testsupport::Scratch dir;
  auto at = [&](std::string s) {  // every text holds "@" at most once
    return s.find('@') == s.npos ? s : s.replace(s.find('@'), 1, dir.dir());
  };
  fs::path const modules = SLUICE_TEST_MODULES, folder = dir.dir(), cwd = fs::current_path();
  for (auto const* copy : {"mine.so", "registered.so", "cut.so", "header.so"})
    fs::copy_file(SLUICE_TEST_PASSTHROUGH, folder / copy);
  fs::resize_file(folder / "cut.so", fs::file_size(folder / "cut.so") - 100);
  fs::resize_file(folder / "header.so", 64);
  fs::copy_file(modules / "wrongversion.so", folder / "passthrough.so");
  fs::copy_file(modules / "noentry.so", folder / "noentry.so");
  std::ofstream(folder / "empty.so");
  ::unsetenv("SLUICE_TEST_NOENTRY_RAN");
  Lookup const& c = GetParam();
  c.path ? ::setenv("SLUICE_PLUGIN_PATH", at(c.path).c_str(), 1) : ::unsetenv("SLUICE_PLUGIN_PATH");
  fs::current_path(folder);
  EXPECT_THAT(testsupport::refusalOf([&] { sluice::Converter{at(c.name)}; }),
              ::testing::HasSubstr(at(c.outcome)));
  EXPECT_EQ(std::getenv("SLUICE_TEST_NOENTRY_RAN"), nullptr) << "a lookup ran a file's code";
  fs::current_path(cwd);
}

INSTANTIATE_TEST_SUITE_P(Names, PluginLookup, ::testing::ValuesIn(kLookups),
                         [](auto const& info) { return std::string(info.param.behaviour); });

}  // namespace
