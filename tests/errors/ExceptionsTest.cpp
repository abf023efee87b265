#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <typeinfo>

#include "hostlib/multimedia/exceptions.h"

using namespace hostlib::multimedia;

namespace {

struct ExceptionCase {
  std::function<Exception*()> make;
  char const* name;
  char const* message;
};

void PrintTo(ExceptionCase const& c, std::ostream* os) { *os << c.name; }

class ExceptionFamily : public ::testing::TestWithParam<ExceptionCase> {};

TEST_P(ExceptionFamily, CarriesItsIdentifierAndExactMessage) {
  std::unique_ptr<Exception> e(GetParam().make());
  EXPECT_STREQ(e->name(), GetParam().name);
  EXPECT_STREQ(e->what(), GetParam().message);
  // Caught as the standard bases, the message is what() all the same.
  std::runtime_error const& asRuntime = *e;
  std::exception const& asStd = *e;
  EXPECT_STREQ(asRuntime.what(), GetParam().message);
  EXPECT_STREQ(asStd.what(), GetParam().message);
  // A copy through Exception& is a plain Exception with the same texts.
  Exception copy(*e);
  EXPECT_EQ(typeid(copy), typeid(Exception));
  EXPECT_STREQ(copy.name(), GetParam().name);
  EXPECT_STREQ(copy.what(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    AllClasses, ExceptionFamily,
    ::testing::Values(
        ExceptionCase{[] { return new Exception("Id", "Text"); }, "Id", "Text"},
        ExceptionCase{[] { return new UnexpectedException("boom"); }, "Unexpected", "boom"},
        ExceptionCase{[] { return new UnexpectedException(""); }, "Unexpected", ""},
        ExceptionCase{[] { return new InputFileNotFoundException(); }, "InputFileNotFound",
                      "Input File specified not found"},
        ExceptionCase{[] { return new OutputFileLocationNotFoundException(); },
                      "OutputFileLocationNotFound", "The output file location specified is invalid"},
        ExceptionCase{[] { return new FilterCreationFailedException(); }, "FilterCreationFailed",
                      "Unable to add filter to the output stream"},
        ExceptionCase{[] { return new ConverterCreationFailedException(); },
                      "ConverterCreationFailed",
                      "Unable to create the converter required to write data to the file"},
        ExceptionCase{[] { return new ChannelCreationFailedException(); }, "ChannelCreationFailed",
                      "Could not create the channel to communicate with the file"},
        ExceptionCase{[] { return new VideoWriteException("v msg"); }, "VideoWrite", "v msg"},
        ExceptionCase{[] { return new AudioWriteException("a msg"); }, "AudioWrite", "a msg"}));

TEST(ExceptionFamilyTest, RethrownCopyThroughBaseReferenceLosesTheSubclass) {
  try {
    try {
      throw AudioWriteException("Unsupported Sample Rate value.");
    } catch (Exception const& e) {
      throw Exception(e);
    }
  } catch (AudioWriteException const&) {
    FAIL() << "the subclass must not survive the copy";
  } catch (Exception const& e) {
    EXPECT_EQ(typeid(e), typeid(Exception));
    EXPECT_STREQ(e.name(), "AudioWrite");
    EXPECT_STREQ(e.what(), "Unsupported Sample Rate value.");
  }
}

TEST(ExceptionFamilyTest, VersionSymbolsAreSet) {
  EXPECT_STRNE(libzelhostlibmultimedia_version, "");
  EXPECT_STRNE(libzelhostlibmultimedia_build_date, "");
}

}  // namespace
