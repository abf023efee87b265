// The file writer base against the scripted plug-ins: output location check,
// filter fallback, the failure conversion of every channel call and the wait for
// output space.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/any.hpp>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <typeinfo>
#include <vector>

#include "channel/ChannelManager.h"
#include "channel/EventHandler.h"
#include "hostlib/multimedia/exceptions.h"
#include "hostlib/multimedia/tmmfb2filewriter.h"
#include "library/ExpectFailure.h"
#include "scripted/Scripted.h"

namespace hm = hostlib::multimedia;

namespace {

class CountedHandler : public hm::AudioEventHandler {
 public:
  static int destroyed;
  ~CountedHandler() override { ++destroyed; }
};
int CountedHandler::destroyed = 0;

// The smallest writer: the base's own operations, driven one by one.
class BareWriter : public hm::tmmfb2filewriter {
 public:
  explicit BareWriter(std::u16string const& fileName, char const* converter = scripted::CONVERTER,
                      char const* filter = scripted::FILTER)
      : tmmfb2filewriter(fileName, scripted::DEVICE, converter, filter, new CountedHandler()) {}
  void open() override {}
  void close() override {}
};

std::filesystem::path scratchDirectory() {
  char const* root = std::getenv("HOSTLIB_TEST_TMP");
  std::filesystem::path dir = std::filesystem::path(root ? root : "/tmp") / "file-writer-test";
  std::filesystem::create_directories(dir);
  return dir;
}

std::u16string u16(std::string const& text) { return std::u16string(text.begin(), text.end()); }

class FileWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scripted::reset();
    CountedHandler::destroyed = 0;
  }
};

TEST_F(FileWriterTest, BareAndEmptyNamesPassTheLocationCheck) {
  { BareWriter writer(u"out.wav"); }
  { BareWriter writer(u""); }
  EXPECT_EQ(2, CountedHandler::destroyed);
}

TEST_F(FileWriterTest, MissingDirectoryIsRefusedBeforeAnyPluginIsLoaded) {
  expectFailure<hm::OutputFileLocationNotFoundException>(
      [] { BareWriter writer(u"/no/such/dir/out.wav"); }, "OutputFileLocationNotFound",
      "The output file location specified is invalid");
  EXPECT_TRUE(scripted::loadAttempts().empty());
  EXPECT_EQ(1, CountedHandler::destroyed);
}

TEST_F(FileWriterTest, ParentThatIsARegularFilePassesTheCheck) {
  std::filesystem::path file = scratchDirectory() / "plain-file";
  std::ofstream(file) << "x";
  BareWriter writer(u16((file / "out.wav").string()));
  EXPECT_EQ(std::vector<std::string>({scripted::CONVERTER, scripted::DEVICE}),
            scripted::loadAttempts());
}

TEST_F(FileWriterTest, ChannelManagerFailureArrivesAsAPlainException) {
  expectFailure<hm::Exception>([] { BareWriter writer(u"out.wav", "no-such-converter"); },
                               "ConverterCreationFailed",
                               "Unable to create the converter required to write data to the file");
  EXPECT_EQ(1, CountedHandler::destroyed);
}

TEST_F(FileWriterTest, FilterUnderAStaleDirectoryIsAddedUnderItsLastElement) {
  std::string stale = std::string("/no/such/dir/") + scripted::FILTER;
  BareWriter writer(u"out.wav", scripted::CONVERTER, stale.c_str());
  hm::PropertyMap options, result;
  writer.initChannel(options, result);
  writer.addFilter(options);
  EXPECT_EQ(1, scripted::loadAttempts(stale));
  EXPECT_EQ(1, scripted::loadAttempts(scripted::FILTER));
  EXPECT_EQ(1, scripted::count("filter.add"));
}

TEST_F(FileWriterTest, FilterRefusedOnceIsAddedOnTheSecondAttempt) {
  scripted::Fault fault;
  fault.text = "audiofilter:WriteNotSupported";
  fault.times = 1;
  scripted::fail("filter.add", fault);
  BareWriter writer(u"out.wav");
  hm::PropertyMap options, result;
  writer.initChannel(options, result);
  writer.addFilter(options);
  EXPECT_EQ(2, scripted::count("filter.add"));
}

TEST_F(FileWriterTest, FilterFailingTwiceIsFilterCreationFailed) {
  BareWriter writer(u"out.wav", scripted::CONVERTER, "no-such-filter");
  hm::PropertyMap options, result;
  writer.initChannel(options, result);
  expectFailure<hm::FilterCreationFailedException>([&] { writer.addFilter(options); },
                                                   "FilterCreationFailed",
                                                   "Unable to add filter to the output stream");
  EXPECT_EQ(2, scripted::loadAttempts("no-such-filter"));
}

// One channel call of the base, the plug-in operation that fails inside it, and
// the message of the UnexpectedException for failures outside the library.
struct WrapperCase {
  char const* label;
  char const* failingOperation;
  std::function<void(BareWriter&)> call;
  std::string unexpectedMessage;
};

std::ostream& operator<<(std::ostream& out, WrapperCase const& c) { return out << c.label; }

void initialise(BareWriter& writer) {
  hm::PropertyMap options, result;
  writer.initChannel(options, result);
}

void openChannel(BareWriter& writer) {
  initialise(writer);
  hm::PropertyMap options;
  writer.addFilter(options);
  writer.openChannel(options);
}

void writeOneRecord(BareWriter& writer) {
  unsigned char samples[4] = {1, 2, 3, 4};
  std::vector<boost::any> record{static_cast<unsigned char*>(samples), 2UL, 1UL, hm::AUDIO_INT16};
  std::vector<void*> buffers(1, &record);
  writer.writeDataToOutputStream(buffers);
}

class FileWriterWrappers : public FileWriterTest,
                           public ::testing::WithParamInterface<WrapperCase> {};

TEST_P(FileWriterWrappers, LibraryExceptionArrivesAsAPlainCopy) {
  BareWriter writer(u"out.wav");
  scripted::fail(GetParam().failingOperation, "scripted-device:WavSizeLimit");
  expectFailure<hm::Exception>([&] { GetParam().call(writer); }, "AudioWrite",
                               "Exceeded the 4GB file size limit imposed by the WAV format.");
}

TEST_P(FileWriterWrappers, AnythingElseIsUnexpectedWithTheOperationsMessage) {
  BareWriter writer(u"out.wav");
  scripted::Fault fault;
  fault.what = scripted::Throw::BadAlloc;
  scripted::fail(GetParam().failingOperation, fault);
  expectFailure<hm::UnexpectedException>([&] { GetParam().call(writer); }, "Unexpected",
                                         GetParam().unexpectedMessage);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, FileWriterWrappers,
    ::testing::Values(
        WrapperCase{"InitChannel", "device.init", initialise,
                    "Unexpected exception occurred when initializing the channel to write to the "
                    "file"},
        WrapperCase{"OpenChannel", "device.open", openChannel,
                    "Unexpected Exception occurred when opening the channel to write to the file"},
        WrapperCase{"WriteDataToOutputStream", "filter.process",
                    [](BareWriter& writer) {
                      openChannel(writer);
                      writeOneRecord(writer);
                    },
                    "Unexpected exception occurred when writing to the file"},
        WrapperCase{"CloseChannel", "device.close",
                    [](BareWriter& writer) {
                      openChannel(writer);
                      writer.setIsOpen(true);
                      writer.closeChannel();
                    },
                    "Unexpected error occurred when closing the channel"}),
    [](::testing::TestParamInfo<WrapperCase> const& info) { return info.param.label; });

TEST_F(FileWriterTest, CloseChannelLeavesTheChannelAloneWhileTheFlagIsDown) {
  BareWriter writer(u"out.wav");
  openChannel(writer);
  writer.closeChannel();
  EXPECT_EQ(0, scripted::count("device.close"));
  writer.setIsOpen(true);
  writer.closeChannel();
  EXPECT_EQ(1, scripted::count("device.close"));
  EXPECT_TRUE(writer.getIsOpen());
}

TEST_F(FileWriterTest, WriteWaitsUntilTheStreamReportsSpace) {
  BareWriter writer(u"out.wav");
  openChannel(writer);
  int pollsBefore = scripted::readyPolls();
  scripted::reportNoSpace(25);
  writeOneRecord(writer);
  EXPECT_GE(scripted::readyPolls() - pollsBefore, 26);
  EXPECT_EQ(1u, scripted::filteredRecords().size());
  // Closing drains the queue into the device.
  writer.setIsOpen(true);
  writer.closeChannel();
  EXPECT_EQ(1u, scripted::writtenRecords().size());
}

}  // namespace
