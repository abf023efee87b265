// Every format and stored type through real files: written by the writer device
// from the filter's records, then read by our reader, probed by ffprobe and soxi
// and decoded by ffmpeg. PCM and FLAC must come back bit for bit; lossy codecs
// with the exact frame count and the signal's level.
#include <gtest/gtest.h>

#include "audio/AudioFileSupport.h"

namespace {

using namespace audiotest;

// Which outside tool vouches for the length and the samples of a lossy file:
// ffmpeg drops the first Vorbis block of libsndfile's files and keeps AAC's
// end padding, so Vorbis goes to sox and AAC's length to the container's own
// duration as ffprobe reports it.
enum class Judge { Ffmpeg, Sox, FfprobeDuration };

struct Format {
  char const* name;
  char const* extension;
  char const* fileDataType;  // "" : not sent
  int bits;                  // grid of the source signal; 0: any double
  double rate;
  bool lossless;
  char const* codec;      // ffprobe codec_name
  char const* sampleFmt;  // ffprobe sample_fmt
  char const* probeRate;  // ffprobe sample_rate (Opus always decodes at 48 kHz)
  char const* soxBits;    // soxi -b, "" when sox does not read the format
  Judge judge;
};

void PrintTo(Format const& f, std::ostream* os) { *os << f.name; }

class RoundTrip : public ::testing::TestWithParam<Format> {};

TEST_P(RoundTrip, ComesBackAsWrittenForOursAndForOtherTools) {
  Format const& f = GetParam();
  std::string const dir = scratchDirectory(std::string("roundtrip-") + f.name);
  ASSERT_FALSE(dir.empty());
  std::string const path = dir + "/signal" + f.extension;
  unsigned long const frames = 12345;  // not a multiple of any codec frame
  Signal const signal = tones(frames, 2, f.rate, f.bits);
  WriteOptions o;
  o.sampleRate = f.rate;
  o.fileDataType = f.fileDataType;
  writeThrough(path, signal, o, 1000);
  std::vector<double> const source = interleaved(signal);

  Decoded ours = readThrough(path);
  EXPECT_EQ(ours.channels, 2u);
  EXPECT_EQ(ours.sampleRate, f.rate);
  EXPECT_EQ(ours.count(), frames);
  if (f.lossless) {
    EXPECT_TRUE(ours.frames == source) << "our reader gives other samples";
  } else {
    EXPECT_GT(snr(source, ours.frames), 15.0);
    EXPECT_NEAR(rms(ours.frames), rms(source), rms(source) * 0.12);
  }

  if (!haveTool("ffprobe") || !haveTool("sox")) GTEST_SKIP() << "no ffprobe or sox";
  EXPECT_EQ(ffprobe(path, "codec_name"), f.codec);
  EXPECT_EQ(ffprobe(path, "sample_fmt"), f.sampleFmt);
  EXPECT_EQ(ffprobe(path, "channels"), "2");
  EXPECT_EQ(ffprobe(path, "sample_rate"), f.probeRate);
  if (*f.soxBits) {
    EXPECT_EQ(soxi(path, "-c"), "2");
    EXPECT_EQ(soxi(path, "-r"), std::to_string(long(f.rate)));
    EXPECT_EQ(soxi(path, "-b"), f.soxBits);
  }

  std::vector<double> const theirs =
      f.judge == Judge::Sox ? soxDecode(path) : ffmpegDecode(path, long(f.rate));
  if (f.judge == Judge::FfprobeDuration) {
    EXPECT_EQ(ffprobe(path, "duration_ts"), std::to_string(frames));
    EXPECT_GE(theirs.size(), source.size());
  } else {
    EXPECT_EQ(theirs.size(), source.size()) << "another frame count";
  }
  if (f.lossless)
    EXPECT_TRUE(theirs == source) << "other samples";
  else
    EXPECT_GT(snr(source, theirs), 15.0);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, RoundTrip,
    ::testing::Values(
        Format{"WavDefaultInt16", ".wav", "", 16, 44100, true, "pcm_s16le", "s16", "44100", "16",
               Judge::Ffmpeg},
        Format{"WavUint8", ".wav", "uint8", 8, 22050, true, "pcm_u8", "u8", "22050", "8",
               Judge::Ffmpeg},
        Format{"WavInt16", ".WAV", "int16", 16, 44100, true, "pcm_s16le", "s16", "44100", "16",
               Judge::Ffmpeg},
        Format{"WavInt24", ".wav", "int24", 24, 96000, true, "pcm_s24le", "s32", "96000", "24",
               Judge::Ffmpeg},
        Format{"WavInt32", ".wav", "int32", 32, 48000, true, "pcm_s32le", "s32", "48000", "32",
               Judge::Ffmpeg},
        Format{"WavSingle", ".wav", "single", 24, 44100, true, "pcm_f32le", "flt", "44100", "32",
               Judge::Ffmpeg},
        Format{"WavDouble", ".wav", "double", 0, 44100, true, "pcm_f64le", "dbl", "44100", "64",
               Judge::Ffmpeg},
        Format{"Flac8", ".flac", "int8", 8, 44100, true, "flac", "s16", "44100", "8",
               Judge::Ffmpeg},
        Format{"Flac16", ".flac", "", 16, 44100, true, "flac", "s16", "44100", "16", Judge::Ffmpeg},
        Format{"Flac24", ".Flac", "int24", 24, 192000, true, "flac", "s32", "192000", "24",
               Judge::Ffmpeg},
        Format{"OggVorbis", ".ogg", "", 0, 44100, false, "vorbis", "fltp", "44100", "0",
               Judge::Sox},
        Format{"OgaVorbis", ".oga", "", 0, 22050, false, "vorbis", "fltp", "22050", "", Judge::Sox},
        Format{"Opus", ".opus", "", 0, 48000, false, "opus", "fltp", "48000", "", Judge::Ffmpeg},
        Format{"Opus16k", ".opus", "", 0, 16000, false, "opus", "fltp", "48000", "", Judge::Ffmpeg},
        Format{"M4aAac", ".m4a", "", 0, 44100, false, "aac", "fltp", "44100", "",
               Judge::FfprobeDuration},
        Format{"Mp4Aac", ".mp4", "", 0, 48000, false, "aac", "fltp", "48000", "",
               Judge::FfprobeDuration}),
    [](::testing::TestParamInfo<Format> const& info) { return std::string(info.param.name); });

}  // namespace
