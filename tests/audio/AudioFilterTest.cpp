// The audiofilter plug-in class as the service drives it: open maps, records in,
// owned interleaved records out, refusals by identifier.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>

#include "AudioFilter.h"
#include "audio/AudioTestSupport.h"

namespace {

using namespace hostlib::multimedia;
using audiotest::identifierOf;
using audiotest::Map;
using sluice::audiofilter::AudioFilter;

Map openMap(std::string const& type) {
  Map m;
  m.text("FilterTransformType", "InterleaveTranspose").text("FilterOutputDataType", type);
  return m;
}

TEST(AudioFilter, InterleavesInt16ChannelsIntoDoubleFrames) {
  AudioFilter filter;
  filter.add({});
  filter.open(openMap("double"));
  std::int16_t block[] = {16384, -16384, 0,        // channel 1, frames 0..2
                          8192,  32767,  -32768};  // channel 2
  sluice::Record in =
      sluice::makeSampleRecord(reinterpret_cast<unsigned char*>(block), 3, 2, AUDIO_INT16);
  auto out = filter.process(in);
  ASSERT_EQ(out->record.size(), 4u);
  unsigned char* const* samples = boost::any_cast<unsigned char*>(&out->record[0]);
  ASSERT_NE(samples, nullptr);
  EXPECT_EQ(*samples, out->storage.data());
  EXPECT_EQ(boost::any_cast<unsigned long>(out->record[1]), 3ul);
  EXPECT_EQ(boost::any_cast<unsigned long>(out->record[2]), 2ul);
  EXPECT_EQ(boost::any_cast<AudioDataType>(out->record[3]), AUDIO_DOUBLE);
  ASSERT_EQ(out->storage.size(), 6 * sizeof(double));
  double frames[6];
  std::memcpy(frames, out->storage.data(), sizeof frames);
  double const expected[] = {0.5, 0.25, -0.5, 32767.0 / 32768, 0.0, -1.0};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(frames[i], expected[i]) << i;

  // The record owns its copy: the caller's block may change at once.
  std::memset(block, 0, sizeof block);
  std::memcpy(frames, out->storage.data(), sizeof frames);
  EXPECT_EQ(frames[0], 0.5);
}

TEST(AudioFilter, TakesTheDevicesDataTypeValueAsIs) {
  // The writer passes on the very boost::any the device put into init's result.
  boost::any dataType(std::u16string(u"single"));
  Map m;
  m.text("FilterTransformType", "InterleaveTranspose").pointer("FilterOutputDataType", &dataType);
  AudioFilter filter;
  filter.open(m);
  double block[] = {1.5, -0.25};
  auto out = filter.process(
      sluice::makeSampleRecord(reinterpret_cast<unsigned char*>(block), 2, 1, AUDIO_DOUBLE));
  EXPECT_EQ(boost::any_cast<AudioDataType>(out->record[3]), AUDIO_SINGLE);
  float frames[2];
  std::memcpy(frames, out->storage.data(), sizeof frames);
  EXPECT_EQ(frames[0], 1.5f);  // float to float is not clipped
  EXPECT_EQ(frames[1], -0.25f);
}

TEST(AudioFilter, ClipsForTheFlacTrap) {
  AudioFilter filter;
  filter.open(openMap("int24"));
  double block[] = {1.2, -3.0, std::numeric_limits<double>::quiet_NaN()};
  auto out = filter.process(
      sluice::makeSampleRecord(reinterpret_cast<unsigned char*>(block), 3, 1, AUDIO_DOUBLE));
  unsigned char const expected[] = {0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80, 0, 0, 0};
  ASSERT_EQ(out->storage.size(), sizeof expected);
  EXPECT_EQ(std::memcmp(out->storage.data(), expected, sizeof expected), 0);
}

TEST(AudioFilter, ReopenWithAnEmptyMapKeepsTheType) {
  AudioFilter filter;
  filter.open(openMap("uint8"));
  filter.close();
  filter.open({});
  std::int16_t block[] = {0};
  auto out = filter.process(
      sluice::makeSampleRecord(reinterpret_cast<unsigned char*>(block), 1, 1, AUDIO_INT16));
  EXPECT_EQ(boost::any_cast<AudioDataType>(out->record[3]), AUDIO_UINT8);
  EXPECT_EQ(out->storage.data()[0], 128);
}

TEST(AudioFilter, ZeroFramesGiveAnEmptyRecord) {
  AudioFilter filter;
  filter.open(openMap("int16"));
  auto out = filter.process(sluice::makeSampleRecord(nullptr, 0, 2, AUDIO_DOUBLE));
  EXPECT_EQ(boost::any_cast<unsigned long>(out->record[1]), 0ul);
  EXPECT_EQ(out->storage.size(), 0u);
}

struct Refusal {
  char const* name;
  std::function<void(AudioFilter&)> call;
  char const* identifier;
};

void PrintTo(Refusal const& r, std::ostream* os) { *os << r.name; }

class AudioFilterRefuses : public ::testing::TestWithParam<Refusal> {};

TEST_P(AudioFilterRefuses, WithTheIdentifier) {
  AudioFilter filter;
  try {
    GetParam().call(filter);
    FAIL() << "no failure";
  } catch (sluice::sdk::Failure const& e) {
    EXPECT_EQ(identifierOf(e), GetParam().identifier) << e.what();
    EXPECT_EQ(std::string(e.what()).rfind("audiofilter", 0), 0u) << e.what();
  }
}

double sample = 0.5;

INSTANTIATE_TEST_SUITE_P(
    Cases, AudioFilterRefuses,
    ::testing::Values(
        Refusal{"UnknownOutputType", [](AudioFilter& f) { f.open(openMap("float")); },
                "WriteNotSupported"},
        Refusal{"UnspecifiedOutputType", [](AudioFilter& f) { f.open(openMap("")); },
                "WriteNotSupported"},
        Refusal{"NoOutputType",
                [](AudioFilter& f) {
                  Map m;
                  m.text("FilterTransformType", "InterleaveTranspose");
                  f.open(m);
                },
                "WriteNotSupported"},
        Refusal{"OutputTypeOfAnotherHeldType",
                [](AudioFilter& f) {
                  Map m;
                  m.text("FilterTransformType", "InterleaveTranspose")
                      .set("FilterOutputDataType", std::string("double"));
                  f.open(m);
                },
                "WriteNotSupported"},
        Refusal{"OtherTransform",
                [](AudioFilter& f) {
                  Map m;
                  m.text("FilterTransformType", "Transpose").text("FilterOutputDataType", "double");
                  f.open(m);
                },
                "Unexpected"},
        Refusal{"ProcessBeforeOpen",
                [](AudioFilter& f) {
                  f.process(sluice::makeSampleRecord(reinterpret_cast<unsigned char*>(&sample), 1,
                                                     1, AUDIO_DOUBLE));
                },
                "Unexpected"},
        Refusal{"RecordOfThreeEntries",
                [](AudioFilter& f) {
                  f.open(openMap("double"));
                  sluice::Record r = sluice::makeSampleRecord(
                      reinterpret_cast<unsigned char*>(&sample), 1, 1, AUDIO_DOUBLE);
                  r.pop_back();
                  f.process(r);
                },
                "Unexpected"},
        Refusal{"FrameCountOfAnotherType",
                [](AudioFilter& f) {
                  f.open(openMap("double"));
                  sluice::Record r = sluice::makeSampleRecord(
                      reinterpret_cast<unsigned char*>(&sample), 1, 1, AUDIO_DOUBLE);
                  r[1] = 1;  // int, not unsigned long
                  f.process(r);
                },
                "Unexpected"},
        Refusal{"UnspecifiedInputType",
                [](AudioFilter& f) {
                  f.open(openMap("double"));
                  f.process(sluice::makeSampleRecord(reinterpret_cast<unsigned char*>(&sample), 1,
                                                     1, AUDIO_UNSPECIFIED));
                },
                "WriteNotSupported"},
        Refusal{"InputTypeOutOfRange",
                [](AudioFilter& f) {
                  f.open(openMap("double"));
                  f.process(sluice::makeSampleRecord(reinterpret_cast<unsigned char*>(&sample), 1,
                                                     1, static_cast<AudioDataType>(11)));
                },
                "WriteNotSupported"},
        Refusal{"NullSamples",
                [](AudioFilter& f) {
                  f.open(openMap("double"));
                  f.process(sluice::makeSampleRecord(nullptr, 4, 1, AUDIO_DOUBLE));
                },
                "Unexpected"},
        Refusal{"NoChannels",
                [](AudioFilter& f) {
                  f.open(openMap("double"));
                  f.process(sluice::makeSampleRecord(reinterpret_cast<unsigned char*>(&sample), 1,
                                                     0, AUDIO_DOUBLE));
                },
                "UnsupportedOutputChannels"},
        Refusal{"SizeOverflow",
                [](AudioFilter& f) {
                  f.open(openMap("double"));
                  f.process(sluice::makeSampleRecord(reinterpret_cast<unsigned char*>(&sample),
                                                     ~0ul / 2, 4, AUDIO_DOUBLE));
                },
                "Unexpected"}),
    [](::testing::TestParamInfo<Refusal> const& info) { return std::string(info.param.name); });

}  // namespace
