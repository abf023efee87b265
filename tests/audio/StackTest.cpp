// The whole road: tmmfb2audiowriter -> channel -> audiofilter -> worker ->
// audiofilewriter -> file -> audiofilereader -> fmmfb2audioreader, with the
// shipped plug-ins found by their bare names.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "AudioKernels.h"
#include "audio/AudioFileSupport.h"
#include "hostlib/multimedia/exceptions.h"
#include "hostlib/multimedia/fmmfb2audioreader.h"
#include "hostlib/multimedia/tmmfb2audiowriter.h"

namespace {

using namespace audiotest;
using hostlib::multimedia::fmmfb2audioreader;
using hostlib::multimedia::tmmfb2audiowriter;

std::u16string wide(std::string const& s) { return std::u16string(s.begin(), s.end()); }

// Writes the signal in blocks of `block` frames of `type`, channel after channel.
void hostWrites(std::string const& path, Signal const& s, double rate, AudioDataType inputType,
                AudioDataType fileType, unsigned long block = 1500) {
  tmmfb2audiowriter writer(wide(path), "audiofilewriter", "passthrough", "audiofilter");
  writer.setSampleRate(static_cast<unsigned long>(rate));
  writer.setNumChannels(s.channels);
  writer.setInputDataType(inputType);
  writer.setFileDataType(fileType);
  writer.open();
  std::size_t size = sluice::audioSampleSize(inputType);
  std::vector<unsigned char> chunk;
  for (unsigned long f0 = 0; f0 < s.frames; f0 += block) {
    unsigned long n = std::min(block, s.frames - f0);
    chunk.resize(n * s.channels * size);
    for (unsigned long c = 0; c < s.channels; ++c)
      sluice::kernels::convertFunction(AUDIO_DOUBLE, inputType)(
          reinterpret_cast<unsigned char const*>(&s.samples[c * s.frames + f0]),
          chunk.data() + c * n * size, n);
    writer.writeAudio(chunk.data(), n, inputType);
  }
  writer.close();
}

// Every frame through the library's reader, as interleaved doubles.
std::vector<double> hostReads(std::string const& path, unsigned long count = 1000) {
  fmmfb2audioreader reader(wide(path), "audiofilereader", "passthrough");
  reader.open();
  std::vector<double> out;
  for (;;) {
    unsigned char* data = nullptr;
    unsigned long n = reader.readAudio(&data, count);
    std::unique_ptr<unsigned char[]> owned(data);
    if (n == 0 && reader.isEndOfAudio()) break;
    double const* x = reinterpret_cast<double const*>(data);
    out.insert(out.end(), x, x + n * 2);
  }
  reader.close();
  return out;
}

struct Road {
  char const* name;
  char const* file;
  double rate;
  AudioDataType input;
  AudioDataType stored;  // AUDIO_UNSPECIFIED: not set
  int bits;              // grid of the signal; 0 for lossy files
};

void PrintTo(Road const& r, std::ostream* os) { *os << r.name; }

class ThroughTheLibrary : public ::testing::TestWithParam<Road> {};

TEST_P(ThroughTheLibrary, WritesAFileOthersReadAndReadsItBack) {
  Road const& r = GetParam();
  std::string path = scratchDirectory(std::string("stack-") + r.name) + "/" + r.file;
  Signal s = tones(10007, 2, r.rate, r.bits ? r.bits : 16);
  hostWrites(path, s, r.rate, r.input, r.stored);
  std::vector<double> source = interleaved(s);
  std::vector<double> back = hostReads(path);
  ASSERT_EQ(back.size(), source.size());
  if (r.bits) {
    EXPECT_TRUE(back == source);
  } else {
    EXPECT_GT(snr(source, back), 15.0);
  }
  if (haveTool("ffprobe")) {
    EXPECT_EQ(ffprobe(path, "channels"), "2");
    if (r.bits) {
      EXPECT_TRUE(ffmpegDecode(path, long(r.rate)) == source);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, ThroughTheLibrary,
    ::testing::Values(
        // WAV and FLAC with a double, single, int16 or int32 input name their own type...
        Road{"WavFromInt16", "a.wav", 44100, AUDIO_INT16, AUDIO_UNSPECIFIED, 16},
        Road{"WavInt24FromDouble", "a.wav", 48000, AUDIO_DOUBLE, AUDIO_INT24, 24},
        Road{"WavSingleFromSingle", "a.wav", 44100, AUDIO_SINGLE, AUDIO_SINGLE, 24},
        Road{"WavUint8FromInt32", "a.wav", 8000, AUDIO_INT32, AUDIO_UINT8, 8},
        // ...other inputs take the device's "DataType" value as the filter's type
        Road{"FlacInt24FromInt24", "a.flac", 96000, AUDIO_INT24, AUDIO_INT24, 24},
        Road{"FlacFromUint8", "a.flac", 44100, AUDIO_UINT8, AUDIO_UNSPECIFIED, 8},
        Road{"OggFromInt16", "a.ogg", 44100, AUDIO_INT16, AUDIO_UNSPECIFIED, 0},
        Road{"OpusFromDouble", "a.opus", 48000, AUDIO_DOUBLE, AUDIO_UNSPECIFIED, 0},
        Road{"M4aFromSingle", "a.m4a", 44100, AUDIO_SINGLE, AUDIO_UNSPECIFIED, 0}),
    [](::testing::TestParamInfo<Road> const& info) { return std::string(info.param.name); });

TEST(ThroughTheLibrary, RefusalsReachTheHostWithTheCataloguesMessage) {
  std::string dir = scratchDirectory("stack-refusals");
  tmmfb2audiowriter opus(wide(dir + "/a.opus"), "audiofilewriter", "passthrough", "audiofilter");
  opus.setSampleRate(44100);
  opus.setNumChannels(2);
  try {
    opus.open();
    FAIL();
  } catch (hostlib::multimedia::Exception const& e) {
    EXPECT_STREQ(e.name(), "AudioWrite");
    EXPECT_STREQ(e.what(), "Unsupported Sample Rate value.");
  }

  std::string text = dir + "/notes.wav";
  run("echo 'no audio here' > '" + text + "'");
  fmmfb2audioreader reader(wide(text), "audiofilereader", "passthrough");
  try {
    reader.open();
    FAIL();
  } catch (hostlib::multimedia::Exception const& e) {
    EXPECT_STREQ(e.name(), "AudioWrite");
    EXPECT_STREQ(e.what(), "The specified file type is not supported.");
  }
}

TEST(ThroughTheLibrary, WavSizeLimitSurfacesOnTheNextWriteOrClose) {
  std::string path = scratchDirectory("stack-wav-limit") + "/big.wav";
  ::setenv("SLUICE_WAV_SIZE_LIMIT", "40000", 1);
  tmmfb2audiowriter writer(wide(path), "audiofilewriter", "passthrough", "audiofilter");
  writer.setSampleRate(8000);
  writer.setNumChannels(2);
  writer.setInputDataType(AUDIO_INT16);
  writer.open();
  ::unsetenv("SLUICE_WAV_SIZE_LIMIT");
  std::vector<std::int16_t> block(2 * 1000, 300);  // 4000 bytes a block
  std::string caught;
  try {
    for (int i = 0; i < 30; ++i)
      writer.writeAudio(reinterpret_cast<unsigned char*>(block.data()), 1000, AUDIO_INT16);
    writer.close();
  } catch (hostlib::multimedia::Exception const& e) {
    caught = e.what();
  }
  EXPECT_EQ(caught, "Exceeded the 4GB file size limit imposed by the WAV format.");
  try {
    writer.close();
  } catch (hostlib::multimedia::Exception const&) {
  }
  EXPECT_EQ(soxi(path, "-s"), "10000");  // every block up to the limit, nothing past it
}

TEST(ThroughTheLibrary, ResetStartsAgainAtTheFirstFrame) {
  std::string path = scratchDirectory("stack-reset") + "/again.flac";
  Signal s = tones(5000, 2, 44100, 16);
  hostWrites(path, s, 44100, AUDIO_DOUBLE, AUDIO_UNSPECIFIED);
  fmmfb2audioreader reader(wide(path), "audiofilereader", "passthrough");
  reader.open();
  unsigned char* data = nullptr;
  unsigned long n = reader.readAudio(&data, 3000);
  std::unique_ptr<unsigned char[]> first(data);
  ASSERT_EQ(n, 3000ul);
  reader.resetAudio();
  n = reader.readAudio(&data, 3000);
  std::unique_ptr<unsigned char[]> again(data);
  ASSERT_EQ(n, 3000ul);
  EXPECT_EQ(std::memcmp(first.get(), again.get(), 3000 * 2 * sizeof(double)), 0);
  reader.close();
}

}  // namespace
