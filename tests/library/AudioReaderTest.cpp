// The audio reader against the scripted plug-ins: finding the file, the one-entry
// map, gathering records into the caller's buffer, end of audio, reset and close,
// and records that must be refused rather than copied past the buffer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/any.hpp>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "hostlib/multimedia/exceptions.h"
#include "hostlib/multimedia/fmmfb2audioreader.h"
#include "library/ExpectFailure.h"
#include "scripted/Scripted.h"

namespace hm = hostlib::multimedia;
using ::testing::ElementsAre;

namespace {

const char* const kReadMessage = "Unexpected exception occurred when reading data from the file";
const char* const kInitMessage =
    "Unexpected exception occurred when initializing channel to read from the file";
const char* const kOpenMessage =
    "Unexpected exception occurred when opening channel to read from the file";
const char* const kCloseMessage =
    "Unexpected exception occurred when closing channel to read from the file";

scripted::Fault badAlloc(int times = -1) {
  scripted::Fault fault;
  fault.what = scripted::Throw::BadAlloc;
  fault.times = times;
  return fault;
}

std::u16string u16(std::string const& text) { return std::u16string(text.begin(), text.end()); }

std::u16string heldText(scripted::MapCopy const& map, std::string const& key) {
  auto entry = map.find(key);
  if (entry == map.end() || entry->second.isNull()) return u"<absent>";
  std::u16string const* text = boost::any_cast<std::u16string>(&entry->second.value);
  return text ? *text : u"<not a u16string>";
}

// The caller's side of readAudio: the buffer it receives, freed with delete[].
struct Block {
  std::unique_ptr<unsigned char[]> data;
  unsigned long frames = 0;
};

std::vector<unsigned char> bytesOf(Block const& block, std::size_t size) {
  return std::vector<unsigned char>(block.data.get(), block.data.get() + size);
}

class AudioReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scripted::reset();
    char const* root = std::getenv("HOSTLIB_TEST_TMP");
    directory = std::filesystem::path(root ? root : "/tmp") / "audio-reader-test";
    std::filesystem::create_directories(directory);
    file = directory / "clip.wav";
    std::ofstream(file) << "RIFF";
  }

  std::unique_ptr<hm::fmmfb2audioreader> makeReader(std::u16string const& name) {
    return std::make_unique<hm::fmmfb2audioreader>(name, scripted::DEVICE, scripted::CONVERTER);
  }
  std::unique_ptr<hm::fmmfb2audioreader> openReader() {
    auto reader = makeReader(u16(file.string()));
    reader->open();
    return reader;
  }
  static Block read(hm::fmmfb2audioreader& reader, unsigned long count) {
    unsigned char* data = reinterpret_cast<unsigned char*>(&data);  // not null before the call
    Block block;
    block.frames = reader.readAudio(&data, count);
    block.data.reset(data);
    return block;
  }

  std::filesystem::path directory;
  std::filesystem::path file;
};

// ---- Construction and open ------------------------------------------------

TEST_F(AudioReaderTest, ExistingNameIsSentAsPassed) {
  std::u16string name = u16(directory.string() + "//clip.wav");
  auto reader = makeReader(name);
  reader->open();
  scripted::MapCopy init = scripted::lastMap("device.init");
  EXPECT_EQ(1u, init.size());
  EXPECT_EQ(name, heldText(init, "Filename"));
  scripted::MapCopy open = scripted::lastMap("device.open");
  EXPECT_EQ(1u, open.size());
  EXPECT_EQ(name, heldText(open, "Filename"));
}

TEST_F(AudioReaderTest, StaleDirectoryFallsBackToTheBareNameInTheWorkingDirectory) {
  std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(directory);
  std::unique_ptr<hm::fmmfb2audioreader> reader;
  EXPECT_NO_THROW(reader = makeReader(u"/no/such/dir/clip.wav"));
  std::filesystem::current_path(previous);
  ASSERT_TRUE(reader);
  reader->open();
  EXPECT_EQ(u"clip.wav", heldText(scripted::lastMap("device.init"), "Filename"));
}

TEST_F(AudioReaderTest, MissingFileIsInputFileNotFoundAndLoadsNothing) {
  expectFailure<hm::InputFileNotFoundException>(
      [&] { makeReader(u16((directory / "absent.wav").string())); }, "InputFileNotFound",
      "Input File specified not found");
  expectFailure<hm::InputFileNotFoundException>([&] { makeReader(u""); }, "InputFileNotFound",
                                                "Input File specified not found");
  EXPECT_TRUE(scripted::loadAttempts().empty());
}

TEST_F(AudioReaderTest, PluginFailuresArriveAsPlainExceptions) {
  std::u16string name = u16(file.string());
  expectFailure<hm::Exception>(
      [&] { hm::fmmfb2audioreader r(name, scripted::DEVICE, "no-such-converter"); },
      "ConverterCreationFailed",
      "Unable to create the converter required to write data to the file");
  expectFailure<hm::Exception>(
      [&] { hm::fmmfb2audioreader r(name, "no-such-device", scripted::CONVERTER); },
      "ChannelCreationFailed", "Could not create the channel to communicate with the file");
}

TEST_F(AudioReaderTest, OpenTwiceInitialisesAndOpensAgain) {
  auto reader = openReader();
  reader->open();
  EXPECT_EQ(2, scripted::count("device.init"));
  EXPECT_EQ(2, scripted::count("device.open"));
  EXPECT_EQ(u16(file.string()), heldText(scripted::lastMap("device.open"), "Filename"));
}

TEST_F(AudioReaderTest, InitFailuresAreConvertedAndOpenIsNotCalled) {
  scripted::setInitResult({{"SampleRate", boost::any(44100.0)}});
  auto reader = makeReader(u16(file.string()));
  scripted::fail("device.init", badAlloc());
  expectFailure<hm::UnexpectedException>([&] { reader->open(); }, "Unexpected", kInitMessage);
  scripted::fail("device.init", "audiofilereader:FileCorrupt");
  expectFailure<hm::Exception>([&] { reader->open(); }, "AudioWrite",
                               "Unable to read the file. The file appears to be corrupt.");
  EXPECT_EQ(0, scripted::count("device.open"));
}

TEST_F(AudioReaderTest, OpenFailuresAreConverted) {
  scripted::setInitResult({{"SampleRate", boost::any(44100.0)}});
  auto reader = makeReader(u16(file.string()));
  scripted::fail("device.open", badAlloc());
  expectFailure<hm::UnexpectedException>([&] { reader->open(); }, "Unexpected", kOpenMessage);
  scripted::fail("device.open", "audiofilereader:NoAudio");
  expectFailure<hm::Exception>([&] { reader->open(); }, "AudioWrite",
                               "File does not contain any audio.");
}

// ---- Reading --------------------------------------------------------------

TEST_F(AudioReaderTest, RecordsOfOneReadAreConcatenatedInOrder) {
  auto reader = openReader();
  std::vector<unsigned char> first{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  std::vector<unsigned char> second{21, 22, 23, 24, 25, 26, 27, 28};
  scripted::queueRead({{scripted::sampleRecord(first, 3, 2, hm::AUDIO_INT16),
                        scripted::sampleRecord(second, 2, 2, hm::AUDIO_INT16)},
                       5});
  Block block = read(*reader, 1024);
  EXPECT_EQ(5UL, block.frames);
  ASSERT_NE(nullptr, block.data);
  std::vector<unsigned char> expected = first;
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(expected, bytesOf(block, 20));
  EXPECT_THAT(scripted::readCounts(), ElementsAre(1024UL));
  EXPECT_FALSE(reader->isEndOfAudio());
}

TEST_F(AudioReaderTest, Int24SamplesTakeThreeBytes) {
  auto reader = openReader();
  std::vector<unsigned char> samples{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  scripted::queueRead({{scripted::sampleRecord(samples, 4, 1, hm::AUDIO_INT24)}, 4});
  Block block = read(*reader, 4);
  EXPECT_EQ(4UL, block.frames);
  EXPECT_EQ(samples, bytesOf(block, 12));
}

TEST_F(AudioReaderTest, CountZeroAsksForTheNaturalBlockAndIsNotTheEnd) {
  auto reader = openReader();
  scripted::queueRead({{scripted::sampleRecord({9, 8}, 2, 1, hm::AUDIO_UINT8)}, 2});
  Block block = read(*reader, 0);
  EXPECT_EQ(2UL, block.frames);
  EXPECT_EQ(std::vector<unsigned char>({9, 8}), bytesOf(block, 2));
  EXPECT_THAT(scripted::readCounts(), ElementsAre(0UL));
  EXPECT_FALSE(reader->isEndOfAudio());
}

TEST_F(AudioReaderTest, EmptyReadIsTheEndAndIsRemembered) {
  auto reader = openReader();
  Block block = read(*reader, 16);
  EXPECT_EQ(0UL, block.frames);
  EXPECT_EQ(nullptr, block.data);
  EXPECT_TRUE(reader->isEndOfAudio());
  block = read(*reader, 16);
  EXPECT_EQ(0UL, block.frames);
  EXPECT_EQ(nullptr, block.data);
  EXPECT_EQ(1, scripted::count("device.read"));
}

TEST_F(AudioReaderTest, CountWithoutRecordsIsReturnedWithoutABuffer) {
  auto reader = openReader();
  scripted::queueRead({{}, 5});
  Block block = read(*reader, 16);
  EXPECT_EQ(5UL, block.frames);
  EXPECT_EQ(nullptr, block.data);
  EXPECT_FALSE(reader->isEndOfAudio());
}

TEST_F(AudioReaderTest, OpenClearsTheEndOfAudio) {
  auto reader = openReader();
  read(*reader, 16);
  ASSERT_TRUE(reader->isEndOfAudio());
  reader->open();
  EXPECT_FALSE(reader->isEndOfAudio());
}

TEST_F(AudioReaderTest, ReadFailuresAreConvertedAndLeaveNoBuffer) {
  auto reader = openReader();
  scripted::fail("device.read", badAlloc(1));
  Block block;
  unsigned char* data = nullptr;
  expectFailure<hm::UnexpectedException>([&] { reader->readAudio(&data, 8); }, "Unexpected",
                                         kReadMessage);
  EXPECT_EQ(nullptr, data);
  scripted::Fault fault;
  fault.text = "audiofilereader:ReadFailed";
  fault.times = 1;
  scripted::fail("device.read", fault);
  expectFailure<hm::Exception>([&] { reader->readAudio(&data, 8); }, "AudioWrite",
                               "Unable to read the file.");
  EXPECT_EQ(nullptr, data);
  EXPECT_FALSE(reader->isEndOfAudio());
}

TEST_F(AudioReaderTest, ReadBeforeOpenIsReportedByTheChannel) {
  auto reader = makeReader(u16(file.string()));
  unsigned char* data = nullptr;
  expectFailure<hm::Exception>([&] { reader->readAudio(&data, 8); }, "AudioWrite",
                               "File could not be processed due to an unexpected error.");
  EXPECT_EQ(nullptr, data);
}

TEST_F(AudioReaderTest, TypeEntryHoldingAPlainIntegerIsTakenAsOneBytePerSample) {
  auto reader = openReader();
  scripted::ScriptedRecord record =
      scripted::sampleRecord({1, 2, 3, 4, 5, 6}, 3, 2, hm::AUDIO_INT16);
  record.entries[3] = boost::any(4);
  scripted::queueRead({{record}, 3});
  Block block = read(*reader, 3);
  EXPECT_EQ(3UL, block.frames);
  EXPECT_EQ(std::vector<unsigned char>({1, 2, 3, 4, 5, 6}), bytesOf(block, 6));
}

TEST_F(AudioReaderTest, TypeOutsideTheTableIsTakenAsOneBytePerSample) {
  auto reader = openReader();
  scripted::queueRead(
      {{scripted::sampleRecord({7, 8, 9, 10}, 2, 2, static_cast<hm::AudioDataType>(42))}, 2});
  Block block = read(*reader, 2);
  EXPECT_EQ(2UL, block.frames);
  EXPECT_EQ(std::vector<unsigned char>({7, 8, 9, 10}), bytesOf(block, 4));
}

TEST_F(AudioReaderTest, FramesShortOfTheCountLeaveZeroesNotGarbage) {
  auto reader = openReader();
  scripted::queueRead({{scripted::sampleRecord({1, 2}, 1, 1, hm::AUDIO_INT16)}, 3});
  Block block = read(*reader, 3);
  EXPECT_EQ(3UL, block.frames);
  EXPECT_EQ(std::vector<unsigned char>({1, 2, 0, 0, 0, 0}), bytesOf(block, 6));
}

// Reads whose records cannot be gathered into a buffer sized from the first
// record and the reported count: refused, every record freed, no buffer.
struct UnsafeRead {
  char const* label;
  std::function<scripted::ReadStep()> step;
};

std::ostream& operator<<(std::ostream& out, UnsafeRead const& c) { return out << c.label; }

class AudioReaderUnsafeRecords : public AudioReaderTest,
                                 public ::testing::WithParamInterface<UnsafeRead> {};

TEST_P(AudioReaderUnsafeRecords, AreRefusedWithoutWritingPastTheBuffer) {
  auto reader = openReader();
  scripted::queueRead(GetParam().step());
  unsigned char* data = nullptr;
  expectFailure<hm::UnexpectedException>([&] { reader->readAudio(&data, 64); }, "Unexpected",
                                         kReadMessage);
  EXPECT_EQ(nullptr, data);
  EXPECT_FALSE(reader->isEndOfAudio());
  // The reader goes on with the next read.
  scripted::queueRead({{scripted::sampleRecord({5}, 1, 1, hm::AUDIO_UINT8)}, 1});
  Block block = read(*reader, 1);
  EXPECT_EQ(1UL, block.frames);
}

std::vector<unsigned char> zeros(std::size_t n) { return std::vector<unsigned char>(n, 0); }

INSTANTIATE_TEST_SUITE_P(
    Records, AudioReaderUnsafeRecords,
    ::testing::Values(
        UnsafeRead{"MoreChannelsInALaterRecord",
                   [] {
                     return scripted::ReadStep{
                         {scripted::sampleRecord(zeros(4), 2, 1, hm::AUDIO_INT16),
                          scripted::sampleRecord(zeros(16), 2, 4, hm::AUDIO_INT16)},
                         4};
                   }},
        UnsafeRead{"WiderTypeInALaterRecord",
                   [] {
                     return scripted::ReadStep{
                         {scripted::sampleRecord(zeros(2), 2, 1, hm::AUDIO_UINT8),
                          scripted::sampleRecord(zeros(16), 2, 1, hm::AUDIO_DOUBLE)},
                         4};
                   }},
        UnsafeRead{"NarrowerTypeInALaterRecord",
                   [] {
                     return scripted::ReadStep{
                         {scripted::sampleRecord(zeros(16), 2, 1, hm::AUDIO_DOUBLE),
                          scripted::sampleRecord(zeros(2), 2, 1, hm::AUDIO_UINT8)},
                         4};
                   }},
        UnsafeRead{"FramesAboveTheReportedCount",
                   [] {
                     return scripted::ReadStep{
                         {scripted::sampleRecord(zeros(8), 4, 1, hm::AUDIO_INT16),
                          scripted::sampleRecord(zeros(8), 4, 1, hm::AUDIO_INT16)},
                         6};
                   }},
        UnsafeRead{"FrameSumThatWrapsAround",
                   [] {
                     return scripted::ReadStep{
                         {scripted::sampleRecord(zeros(2), 2, 1, hm::AUDIO_UINT8),
                          scripted::sampleRecord(zeros(2), ULONG_MAX, 1, hm::AUDIO_UINT8)},
                         2};
                   }},
        UnsafeRead{"RecordWithThreeEntries",
                   [] {
                     scripted::ScriptedRecord record;
                     record.entries = {boost::any(), boost::any(2UL), boost::any(1UL)};
                     record.bytes = zeros(2);
                     return scripted::ReadStep{{record}, 2};
                   }},
        UnsafeRead{"EmptyRecordAfterAGoodOne",
                   [] {
                     scripted::ScriptedRecord empty;
                     return scripted::ReadStep{
                         {scripted::sampleRecord(zeros(2), 2, 1, hm::AUDIO_UINT8), empty}, 2};
                   }},
        UnsafeRead{"BufferSizeThatOverflows",
                   [] {
                     return scripted::ReadStep{
                         {scripted::sampleRecord(zeros(8), 1, ULONG_MAX / 4, hm::AUDIO_DOUBLE)}, 1};
                   }},
        UnsafeRead{"CountTimesFrameSizeThatOverflows",
                   [] {
                     return scripted::ReadStep{
                         {scripted::sampleRecord(zeros(8), 1, 1UL << 31, hm::AUDIO_DOUBLE)},
                         1UL << 40};
                   }},
        UnsafeRead{"NullSamplesWithFrames",
                   [] {
                     scripted::ScriptedRecord record =
                         scripted::sampleRecord({}, 2, 1, hm::AUDIO_UINT8);
                     record.bytes.reset();
                     record.entries[0] = boost::any(static_cast<unsigned char*>(nullptr));
                     return scripted::ReadStep{{record}, 2};
                   }}),
    [](::testing::TestParamInfo<UnsafeRead> const& info) { return info.param.label; });

// ---- Reset and close ------------------------------------------------------

TEST_F(AudioReaderTest, ResetClosesFlushesAndReopensWithAnEmptyMap) {
  auto reader = openReader();
  read(*reader, 16);
  ASSERT_TRUE(reader->isEndOfAudio());
  reader->resetAudio();
  EXPECT_FALSE(reader->isEndOfAudio());
  std::vector<std::string> device = scripted::calls("device.");
  ASSERT_GE(device.size(), 3u);
  EXPECT_THAT(std::vector<std::string>(device.end() - 3, device.end()),
              ElementsAre("device.close", "device.flush", "device.open"));
  EXPECT_TRUE(scripted::lastMap("device.open").empty());
  EXPECT_EQ(1, scripted::count("device.init"));
  read(*reader, 16);
  EXPECT_EQ(2, scripted::count("device.read"));
}

TEST_F(AudioReaderTest, ResetWhoseCloseFailsGoesNoFurther) {
  auto reader = openReader();
  read(*reader, 16);
  scripted::fail("device.close", badAlloc(1));
  expectFailure<hm::UnexpectedException>([&] { reader->resetAudio(); }, "Unexpected",
                                         kCloseMessage);
  EXPECT_EQ(0, scripted::count("device.flush"));
  EXPECT_EQ(1, scripted::count("device.open"));
  EXPECT_TRUE(reader->isEndOfAudio());
  reader->open();
  scripted::Fault fault;
  fault.text = "audiofilereader:SeekFailed";
  fault.times = 1;
  scripted::fail("device.close", fault);
  expectFailure<hm::Exception>(
      [&] { reader->resetAudio(); }, "AudioWrite",
      "Could not seek in file.  Sample accurate seeking is not supported for this file on the "
      "current platform.");
}

TEST_F(AudioReaderTest, ResetWhoseOpenFailsKeepsTheEndOfAudio) {
  auto reader = openReader();
  read(*reader, 16);
  scripted::fail("device.open", badAlloc(1));
  expectFailure<hm::UnexpectedException>([&] { reader->resetAudio(); }, "Unexpected", kOpenMessage);
  EXPECT_TRUE(reader->isEndOfAudio());
}

TEST_F(AudioReaderTest, CloseFailuresAreConverted) {
  auto reader = openReader();
  scripted::fail("device.close", badAlloc(1));
  expectFailure<hm::UnexpectedException>([&] { reader->close(); }, "Unexpected", kCloseMessage);
  reader->open();
  scripted::fail("device.close", "audiofilereader:Unexpected");
  expectFailure<hm::Exception>([&] { reader->close(); }, "AudioWrite",
                               "File could not be processed due to an unexpected error.");
}

TEST_F(AudioReaderTest, DestroyingAnUnclosedReaderClosesAndTerminates) {
  auto reader = openReader();
  reader.reset();
  std::vector<std::string> device = scripted::calls("device.");
  ASSERT_GE(device.size(), 2u);
  EXPECT_THAT(std::vector<std::string>(device.end() - 2, device.end()),
              ElementsAre("device.close", "device.term"));
}

}  // namespace
