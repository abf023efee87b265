// The audio writer against the scripted plug-ins: its settings, the exact maps it
// sends (the WAV-or-FLAC rule included), the sample record and its close guards.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/any.hpp>
#include <functional>
#include <set>
#include <string>
#include <typeinfo>
#include <vector>

#include "hostlib/multimedia/exceptions.h"
#include "hostlib/multimedia/tmmfb2audiowriter.h"
#include "library/ExpectFailure.h"
#include "scripted/Scripted.h"

namespace hm = hostlib::multimedia;

namespace {

std::set<std::string> keysOf(scripted::MapCopy const& map) {
  std::set<std::string> keys;
  for (auto const& entry : map) keys.insert(entry.first);
  return keys;
}

std::u16string heldText(scripted::MapCopy const& map, std::string const& key) {
  auto entry = map.find(key);
  if (entry == map.end() || entry->second.isNull()) return u"<absent>";
  std::u16string const* text = boost::any_cast<std::u16string>(&entry->second.value);
  return text ? *text : u"<not a u16string>";
}

double heldDouble(scripted::MapCopy const& map, std::string const& key) {
  auto entry = map.find(key);
  if (entry == map.end() || entry->second.isNull()) return -1.0;
  double const* value = boost::any_cast<double>(&entry->second.value);
  return value ? *value : -2.0;
}

class AudioWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scripted::reset();
    // What the device reports as the type it takes when the writer names none.
    scripted::setInitResult(
        {{"DataType", boost::any(std::u16string(u"single"))}, {"Extra", boost::any(42)}});
  }

  static std::unique_ptr<hm::tmmfb2audiowriter> makeWriter(std::u16string const& name) {
    return std::make_unique<hm::tmmfb2audiowriter>(name, scripted::DEVICE, scripted::CONVERTER,
                                                   scripted::FILTER);
  }
};

TEST_F(AudioWriterTest, NewWriterHasTheDefaultSettingsAndIsClosed) {
  auto writer = makeWriter(u"out.wav");
  EXPECT_EQ(0UL, writer->getSampleRate());
  EXPECT_EQ(0UL, writer->getNumChannels());
  EXPECT_EQ(128000.0, writer->getMpeg4AudioBitRate());
  EXPECT_EQ(0.5, writer->getOggQuality());
  EXPECT_EQ(hm::AUDIO_UNSPECIFIED, writer->getFileDataType());
  EXPECT_EQ(hm::AUDIO_UNSPECIFIED, writer->getInputDataType());
  EXPECT_FALSE(writer->getIsOpen());
  EXPECT_EQ(128000.0, hm::tmmfb2audiowriter::DEFAULT_MPEG4_AUDIO_BITRATE);
  EXPECT_EQ(0.5, hm::tmmfb2audiowriter::DEFAULT_OGG_QUALITY);
  EXPECT_STREQ("InterleaveTranspose", hm::tmmfb2audiowriter::CHOSEN_TRANSFORM_TYPE);
}

TEST_F(AudioWriterTest, SettersStoreAnyValueUnchecked) {
  auto writer = makeWriter(u"out.wav");
  writer->setSampleRate(0);
  writer->setNumChannels(0);
  writer->setOggQuality(-3.5);
  writer->setMpeg4AudioBitRate(1.25);
  writer->setFileDataType(static_cast<hm::AudioDataType>(42));
  writer->setInputDataType(static_cast<hm::AudioDataType>(-1));
  EXPECT_EQ(-3.5, writer->getOggQuality());
  EXPECT_EQ(1.25, writer->getMpeg4AudioBitRate());
  EXPECT_EQ(42, writer->getFileDataType());
  EXPECT_EQ(-1, writer->getInputDataType());
}

TEST_F(AudioWriterTest, OpenSendsTheNameAnEmptyFilterMapAndTheOpenMap) {
  auto writer = makeWriter(u"take one.ogg");
  writer->setSampleRate(44100);
  writer->setNumChannels(2);
  writer->open();
  EXPECT_TRUE(writer->getIsOpen());

  scripted::MapCopy init = scripted::lastMap("device.init");
  EXPECT_EQ(std::set<std::string>({"Filename"}), keysOf(init));
  EXPECT_EQ(u"take one.ogg", heldText(init, "Filename"));

  std::vector<scripted::ReceivedMap> filterMaps;
  for (auto const& m : scripted::maps())
    if (m.op == "filter.add") filterMaps.push_back(m);
  ASSERT_EQ(1u, filterMaps.size());
  EXPECT_TRUE(filterMaps[0].map.empty());

  scripted::MapCopy open = scripted::lastMap("device.open");
  EXPECT_EQ(std::set<std::string>({"FilterTransformType", "FilterOutputDataType", "SampleRate",
                                   "NumberOfChannels", "BitRate", "Quality"}),
            keysOf(open));
  EXPECT_EQ(u"InterleaveTranspose", heldText(open, "FilterTransformType"));
  EXPECT_EQ(u"single", heldText(open, "FilterOutputDataType"));
  std::vector<std::string> steps;
  for (auto const& m : scripted::maps())
    if (m.op != "filter.open") steps.push_back(m.op);
  EXPECT_EQ(std::vector<std::string>({"device.init", "filter.add", "device.open"}), steps);
}

TEST_F(AudioWriterTest, NumbersAreConvertedToDoublesForEveryFileType) {
  for (std::u16string name : {u"a.wav", u"a.ogg", u"a.mp4"}) {
    scripted::reset();
    auto writer = makeWriter(name);
    writer->setSampleRate(48000);
    writer->setNumChannels(6);
    writer->open();
    scripted::MapCopy open = scripted::lastMap("device.open");
    for (char const* key : {"SampleRate", "NumberOfChannels", "BitRate", "Quality"})
      EXPECT_EQ("double", scripted::typeName(open[key])) << key;
    EXPECT_EQ(48000.0, heldDouble(open, "SampleRate"));
    EXPECT_EQ(6.0, heldDouble(open, "NumberOfChannels"));
    EXPECT_EQ(128000.0, heldDouble(open, "BitRate"));
    EXPECT_EQ(0.5, heldDouble(open, "Quality"));
  }
}

// The WAV-or-FLAC rule: file name, input type, and the "FilterOutputDataType"
// expected (the channel's own "single" when the writer names none).
struct OutputTypeCase {
  char const* label;
  std::u16string fileName;
  int inputType;
  std::u16string expected;
};

std::ostream& operator<<(std::ostream& out, OutputTypeCase const& c) { return out << c.label; }

class AudioWriterOutputType : public AudioWriterTest,
                              public ::testing::WithParamInterface<OutputTypeCase> {};

TEST_P(AudioWriterOutputType, FollowsTheWavOrFlacRule) {
  auto writer = makeWriter(GetParam().fileName);
  writer->setInputDataType(static_cast<hm::AudioDataType>(GetParam().inputType));
  writer->open();
  EXPECT_EQ(GetParam().expected,
            heldText(scripted::lastMap("device.open"), "FilterOutputDataType"));
}

INSTANTIATE_TEST_SUITE_P(
    Files, AudioWriterOutputType,
    ::testing::Values(OutputTypeCase{"WavDouble", u"a.wav", 0, u"double"},
                      OutputTypeCase{"WavSingle", u"a.wav", 1, u"single"},
                      OutputTypeCase{"WavInt16", u"a.wav", 4, u"int16"},
                      OutputTypeCase{"WavInt32", u"a.wav", 6, u"int32"},
                      OutputTypeCase{"UpperWavInt16", u"/tmp/A.WAV", 4, u"int16"},
                      OutputTypeCase{"MixedWavDouble", u"a.Wav", 0, u"double"},
                      OutputTypeCase{"UpperFlacInt32", u"a.FLAC", 6, u"int32"},
                      OutputTypeCase{"FlacInt16", u"a.flac", 4, u"int16"},
                      OutputTypeCase{"WavInt8", u"a.wav", 2, u"single"},
                      OutputTypeCase{"WavUint8", u"a.wav", 3, u"single"},
                      OutputTypeCase{"WavUint16", u"a.wav", 5, u"single"},
                      OutputTypeCase{"WavUint32", u"a.wav", 7, u"single"},
                      OutputTypeCase{"WavUnspecified", u"a.wav", 8, u"single"},
                      OutputTypeCase{"WavInt24", u"a.wav", 9, u"single"},
                      OutputTypeCase{"WavUint24", u"a.wav", 10, u"single"},
                      OutputTypeCase{"WavOutOfRange", u"a.wav", 42, u"single"},
                      OutputTypeCase{"OggInt16", u"a.ogg", 4, u"single"},
                      OutputTypeCase{"Mp4Double", u"a.mp4", 0, u"single"},
                      OutputTypeCase{"M4aInt32", u"a.m4a", 6, u"single"},
                      OutputTypeCase{"NoExtensionInt16", u"wav", 4, u"single"},
                      OutputTypeCase{"WavThenOggInt16", u"a.wav.ogg", 4, u"single"}),
    [](::testing::TestParamInfo<OutputTypeCase> const& info) { return info.param.label; });

TEST_F(AudioWriterTest, ChannelWithoutDataTypeGetsANullOutputType) {
  scripted::setInitResult({});
  auto writer = makeWriter(u"a.ogg");
  writer->open();
  scripted::MapCopy open = scripted::lastMap("device.open");
  ASSERT_EQ(1u, open.count("FilterOutputDataType"));
  EXPECT_TRUE(open["FilterOutputDataType"].isNull());
}

struct FileDataTypeCase {
  int type;
  std::u16string expected;
};

class AudioWriterFileDataType : public AudioWriterTest,
                                public ::testing::WithParamInterface<FileDataTypeCase> {};

TEST_P(AudioWriterFileDataType, IsSentByNameUnlessUnspecified) {
  auto writer = makeWriter(u"a.wav");
  writer->setFileDataType(static_cast<hm::AudioDataType>(GetParam().type));
  writer->open();
  scripted::MapCopy open = scripted::lastMap("device.open");
  EXPECT_EQ(GetParam().expected, heldText(open, "FileDataType"));
  EXPECT_EQ(GetParam().type == 8 ? 6u : 7u, open.size());
}

INSTANTIATE_TEST_SUITE_P(
    Types, AudioWriterFileDataType,
    ::testing::Values(FileDataTypeCase{8, u"<absent>"}, FileDataTypeCase{7, u"uint32"},
                      FileDataTypeCase{0, u"double"}, FileDataTypeCase{9, u"int24"},
                      FileDataTypeCase{10, u"uint24"}, FileDataTypeCase{2, u"int8"},
                      FileDataTypeCase{42, u""}, FileDataTypeCase{-1, u""}));

TEST_F(AudioWriterTest, OpenOnAnOpenWriterCallsNothing) {
  auto writer = makeWriter(u"a.wav");
  writer->open();
  std::size_t callsBefore = scripted::calls().size();
  writer->open();
  EXPECT_EQ(callsBefore, scripted::calls().size());
}

TEST_F(AudioWriterTest, FailedOpenLeavesTheWriterClosedAndRunsAgainLater) {
  auto writer = makeWriter(u"a.wav");
  scripted::Fault fault;
  fault.text = "audiofilewriter:UnsupportedSampleRate";
  fault.times = 1;
  scripted::fail("device.open", fault);
  expectFailure<hm::Exception>([&] { writer->open(); }, "AudioWrite",
                               "Unsupported Sample Rate value.");
  EXPECT_FALSE(writer->getIsOpen());
  writer->open();
  EXPECT_TRUE(writer->getIsOpen());
  EXPECT_EQ(2, scripted::count("device.init"));
  EXPECT_EQ(2, scripted::count("filter.add"));
}

TEST_F(AudioWriterTest, FailedInitIsConvertedAndNothingElseIsCalled) {
  auto writer = makeWriter(u"a.wav");
  scripted::Fault fault;
  fault.what = scripted::Throw::BadAlloc;
  scripted::fail("device.init", fault);
  expectFailure<hm::UnexpectedException>(
      [&] { writer->open(); }, "Unexpected",
      "Unexpected exception occurred when initializing the channel to write to the file");
  EXPECT_EQ(0, scripted::count("filter.add"));
  EXPECT_EQ(0, scripted::count("device.open"));
}

TEST_F(AudioWriterTest, UnaddableFilterStopsOpen) {
  auto writer = std::make_unique<hm::tmmfb2audiowriter>(u"a.wav", scripted::DEVICE,
                                                        scripted::CONVERTER, "no-such-filter");
  expectFailure<hm::FilterCreationFailedException>([&] { writer->open(); }, "FilterCreationFailed",
                                                   "Unable to add filter to the output stream");
  EXPECT_EQ(0, scripted::count("device.open"));
  EXPECT_FALSE(writer->getIsOpen());
}

TEST_F(AudioWriterTest, SampleRecordCarriesThePointerCountsAndTypeWithExactTypes) {
  auto writer = makeWriter(u"a.wav");
  writer->setNumChannels(1);
  writer->setInputDataType(hm::AUDIO_INT16);
  writer->open();
  writer->setNumChannels(2);
  // Three frames of two single-precision samples.
  unsigned char const samples[24] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  writer->writeAudio(samples, 3, hm::AUDIO_SINGLE);

  std::vector<scripted::ReceivedRecord> records = scripted::filteredRecords();
  ASSERT_EQ(1u, records.size());
  sluice::Record const& r = records[0].entries;
  ASSERT_EQ(4u, r.size());
  ASSERT_EQ(typeid(unsigned char*), r[0].type());
  ASSERT_EQ(typeid(unsigned long), r[1].type());
  ASSERT_EQ(typeid(unsigned long), r[2].type());
  ASSERT_EQ(typeid(hm::AudioDataType), r[3].type());
  EXPECT_EQ(samples, boost::any_cast<unsigned char*>(r[0]));
  EXPECT_EQ(3UL, boost::any_cast<unsigned long>(r[1]));
  EXPECT_EQ(2UL, boost::any_cast<unsigned long>(r[2]));
  EXPECT_EQ(hm::AUDIO_SINGLE, boost::any_cast<hm::AudioDataType>(r[3]));
  EXPECT_EQ(1.0, heldDouble(scripted::lastMap("device.open"), "NumberOfChannels"));
}

TEST_F(AudioWriterTest, EmptyBlockAndNullPointerAreHandedOnUnchanged) {
  auto writer = makeWriter(u"a.wav");
  writer->setNumChannels(2);
  writer->open();
  writer->writeAudio(nullptr, 0, hm::AUDIO_DOUBLE);
  std::vector<scripted::ReceivedRecord> records = scripted::filteredRecords();
  ASSERT_EQ(1u, records.size());
  EXPECT_EQ(nullptr, boost::any_cast<unsigned char*>(records[0].entries[0]));
  EXPECT_EQ(0UL, boost::any_cast<unsigned long>(records[0].entries[1]));
}

TEST_F(AudioWriterTest, WriteFailureIsConverted) {
  auto writer = makeWriter(u"a.wav");
  writer->open();
  scripted::fail("filter.process", "audiofilter:WavSizeLimit");
  unsigned char const samples[2] = {0, 0};
  expectFailure<hm::Exception>([&] { writer->writeAudio(samples, 1, hm::AUDIO_INT16); },
                               "AudioWrite",
                               "Exceeded the 4GB file size limit imposed by the WAV format.");
  EXPECT_TRUE(writer->getIsOpen());
}

TEST_F(AudioWriterTest, CloseTouchesTheChannelOnlyWhenOpen) {
  auto writer = makeWriter(u"a.wav");
  writer->close();
  EXPECT_EQ(0, scripted::count("device.close"));
  writer->open();
  writer->close();
  writer->close();
  EXPECT_EQ(1, scripted::count("device.close"));
  EXPECT_FALSE(writer->getIsOpen());
}

TEST_F(AudioWriterTest, FailedCloseLeavesTheWriterOpen) {
  auto writer = makeWriter(u"a.wav");
  writer->open();
  scripted::Fault fault;
  fault.what = scripted::Throw::NonStandard;
  fault.times = 1;
  scripted::fail("device.close", fault);
  expectFailure<hm::Exception>([&] { writer->close(); }, "AudioWrite",
                               "File could not be processed due to an unexpected error.");
  EXPECT_TRUE(writer->getIsOpen());
}

TEST_F(AudioWriterTest, DestroyingAnOpenWriterClosesTheChannel) {
  auto writer = makeWriter(u"a.wav");
  writer->open();
  writer.reset();
  std::vector<std::string> device = scripted::calls("device.");
  ASSERT_GE(device.size(), 2u);
  EXPECT_EQ("device.close", device[device.size() - 2]);
  EXPECT_EQ("device.term", device.back());
}

TEST_F(AudioWriterTest, ConstructionFailuresKeepTheirIdentifiers) {
  expectFailure<hm::OutputFileLocationNotFoundException>(
      [] { makeWriter(u"/no/such/dir/a.wav"); }, "OutputFileLocationNotFound",
      "The output file location specified is invalid");
  expectFailure<hm::Exception>(
      [] {
        hm::tmmfb2audiowriter w(u"a.wav", "no-such-device", scripted::CONVERTER, scripted::FILTER);
      },
      "ChannelCreationFailed", "Could not create the channel to communicate with the file");
}

}  // namespace
