// The audiofilewriter device: what init reports, every refusal's identifier,
// the WAV size limit, the FLAC clipping trap, and files completed by close,
// by destruction and by a reopen.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "audio/AudioFileSupport.h"

namespace {

using namespace audiotest;
using sluice::audiofile::AudioFileWriter;

std::u16string dataTypeOf(std::string const& name) {
  AudioFileWriter writer;
  ResultMap result;
  Map init;
  init.text("Filename", "/nonexistent/" + name);
  writer.init(init, result.map);
  EXPECT_EQ(result.map.size(), 1u);
  auto* value = static_cast<boost::any*>(result.map["DataType"]);
  return value ? boost::any_cast<std::u16string>(*value) : u"";
}

TEST(AudioFileWriter, InitReportsTheDefaultDataTypeByExtension) {
  EXPECT_EQ(dataTypeOf("a.wav"), u"double");
  EXPECT_EQ(dataTypeOf("a.WAV"), u"double");
  EXPECT_EQ(dataTypeOf("a.flac"), u"double");
  EXPECT_EQ(dataTypeOf("a.FLAC"), u"double");
  EXPECT_EQ(dataTypeOf("a.ogg"), u"single");
  EXPECT_EQ(dataTypeOf("a.oga"), u"single");
  EXPECT_EQ(dataTypeOf("a.Opus"), u"single");
  EXPECT_EQ(dataTypeOf("a.m4a"), u"single");
  EXPECT_EQ(dataTypeOf("a.mp4"), u"single");
}

// Settings of one refusal: the file name and what open receives.
struct Refusal {
  char const* name;
  char const* file;  // in the scratch directory unless absolute
  std::function<void(Map&)> settings;
  char const* identifier;
};

void PrintTo(Refusal const& r, std::ostream* os) { *os << r.name; }

Map baseOpen() {
  Map m;
  m.text("FilterTransformType", "InterleaveTranspose")
      .text("FilterOutputDataType", "double")
      .number("SampleRate", 44100)
      .number("NumberOfChannels", 2)
      .number("BitRate", 128000)
      .number("Quality", 0.5);
  return m;
}

class AudioFileWriterRefuses : public ::testing::TestWithParam<Refusal> {};

TEST_P(AudioFileWriterRefuses, WithTheIdentifierAndLeavesNoFile) {
  Refusal const& r = GetParam();
  std::string dir = scratchDirectory(std::string("refuse-") + r.name);
  std::string path = r.file[0] == '/' ? r.file : dir + "/" + r.file;
  Map open = baseOpen();
  r.settings(open);
  AudioFileWriter writer;
  ResultMap result;
  try {
    Map init;
    init.text("Filename", path);
    writer.init(init, result.map);
    writer.open(open);
    FAIL() << "no failure";
  } catch (sluice::sdk::Failure const& e) {
    EXPECT_EQ(identifierOf(e), r.identifier) << e.what();
    EXPECT_EQ(std::string(e.what()).rfind("audiofilewriter", 0), 0u) << e.what();
  }
  EXPECT_EQ(fileSize(path), -1) << "a refused open left a file";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AudioFileWriterRefuses,
    ::testing::Values(
        Refusal{"Mp3", "a.mp3", [](Map&) {}, "FileTypeNotSupported"},
        Refusal{"NoExtension", "wav", [](Map&) {}, "FileTypeNotSupported"},
        Refusal{"DirectoryMissing", "missing/a.wav", [](Map&) {}, "FilePermissionDenied"},
        Refusal{"NotWritable", "/proc/a.wav", [](Map&) {}, "FilePermissionDenied"},
        Refusal{"RateZero", "a.wav", [](Map& m) { m.number("SampleRate", 0); },
                "UnsupportedSampleRate"},
        Refusal{"RateFractional", "a.wav", [](Map& m) { m.number("SampleRate", 44100.5); },
                "UnsupportedSampleRate"},
        Refusal{"RateMissing", "a.wav", [](Map& m) { m.set("SampleRate", 44100); },
                "UnsupportedSampleRate"},
        Refusal{"FlacAbove655350", "a.flac", [](Map& m) { m.number("SampleRate", 655351); },
                "MaxFlacSampleRate"},
        Refusal{"OggAt600", "a.ogg", [](Map& m) { m.number("SampleRate", 600); },
                "MinOggSampleRate"},
        Refusal{"OggAbove200k", "a.oga", [](Map& m) { m.number("SampleRate", 200001); },
                "UnsupportedSampleRate"},
        Refusal{"OpusAt44100", "a.opus", [](Map& m) { m.number("SampleRate", 44100); },
                "UnsupportedSampleRate"},
        Refusal{"AacAt12345", "a.m4a", [](Map& m) { m.number("SampleRate", 12345); },
                "UnsupportedSampleRate"},
        Refusal{"NoChannels", "a.wav", [](Map& m) { m.number("NumberOfChannels", 0); },
                "UnsupportedOutputChannels"},
        Refusal{"FlacNineChannels", "a.flac", [](Map& m) { m.number("NumberOfChannels", 9); },
                "UnsupportedOutputChannels"},
        Refusal{"AacNineChannels", "a.mp4", [](Map& m) { m.number("NumberOfChannels", 9); },
                "UnsupportedOutputChannels"},
        Refusal{"WavUint16", "a.wav", [](Map& m) { m.text("FileDataType", "uint16"); },
                "WriteNotSupported"},
        Refusal{"WavUnnamedType", "a.wav", [](Map& m) { m.text("FileDataType", ""); },
                "WriteNotSupported"},
        Refusal{"FlacInt32", "a.flac", [](Map& m) { m.text("FileDataType", "int32"); },
                "WriteNotSupported"},
        Refusal{"FlacDouble", "a.flac", [](Map& m) { m.text("FileDataType", "double"); },
                "WriteNotSupported"},
        Refusal{"UnknownFilterType", "a.wav",
                [](Map& m) { m.text("FilterOutputDataType", "float"); }, "WriteNotSupported"},
        Refusal{"OpusBitRateTooLow", "a.opus",
                [](Map& m) { m.number("SampleRate", 48000).number("BitRate", 6000); },
                "UnsupportedBitRate"},
        Refusal{"OpusBitRateTooHigh", "a.opus",
                [](Map& m) { m.number("SampleRate", 48000).number("BitRate", 600000); },
                "UnsupportedBitRate"},
        Refusal{"AacBitRateZero", "a.m4a", [](Map& m) { m.number("BitRate", 0); },
                "UnsupportedBitRate"},
        Refusal{"OggQualityAboveOne", "a.ogg", [](Map& m) { m.number("Quality", 1.5); },
                "Unexpected"}),
    [](::testing::TestParamInfo<Refusal> const& info) { return std::string(info.param.name); });

TEST(AudioFileWriter, RefusesCallsOutOfOrder) {
  AudioFileWriter writer;
  try {
    writer.open(baseOpen());
    FAIL();
  } catch (sluice::sdk::Failure const& e) {
    EXPECT_EQ(identifierOf(e), "Unexpected");
  }
  sluice::OwnedRecord record;
  record.record = sluice::makeSampleRecord(nullptr, 0, 2, AUDIO_DOUBLE);
  try {
    writer.write(record);
    FAIL();
  } catch (sluice::sdk::Failure const& e) {
    EXPECT_EQ(identifierOf(e), "Unexpected");
  }
  writer.close();  // nothing open: nothing to do
}

// An open writer for `path` taking int16 frames of 2 channels.
struct OpenWriter {
  AudioFileWriter writer;
  ResultMap result;
  explicit OpenWriter(std::string const& path, std::string const& fileType = "int16") {
    Map init;
    init.text("Filename", path);
    writer.init(init, result.map);
    Map open = baseOpen();
    open.text("FilterOutputDataType", "int16").text("FileDataType", fileType);
    writer.open(open);
  }
  void write(std::vector<std::int16_t> frames, unsigned long channels = 2,
             AudioDataType type = AUDIO_INT16) {
    sluice::OwnedRecord record;
    record.record = sluice::makeSampleRecord(reinterpret_cast<unsigned char*>(frames.data()),
                                             frames.size() / 2, channels, type);
    writer.write(record);
  }
};

TEST(AudioFileWriter, RefusesRecordsThatDoNotFitTheFile) {
  std::string dir = scratchDirectory("writer-records");
  OpenWriter w(dir + "/a.wav");
  try {
    w.write({1, 2, 3, 4}, 1);
    FAIL();
  } catch (sluice::sdk::Failure const& e) {
    EXPECT_EQ(identifierOf(e), "UnsupportedOutputChannels");
  }
  try {
    w.write({1, 2, 3, 4}, 2, AUDIO_UNSPECIFIED);
    FAIL();
  } catch (sluice::sdk::Failure const& e) {
    EXPECT_EQ(identifierOf(e), "WriteNotSupported");
  }
  sluice::OwnedRecord bad;
  bad.record = {1, 2};
  try {
    w.writer.write(bad);
    FAIL();
  } catch (sluice::sdk::Failure const& e) {
    EXPECT_EQ(identifierOf(e), "Unexpected");
  }
  w.write({5, 6});
  w.writer.close();
  EXPECT_EQ(soxi(dir + "/a.wav", "-s"), "1");  // only the record that fits
}

TEST(AudioFileWriter, RefusesWavDataPastTheLimitBeforeWritingIt) {
  std::string dir = scratchDirectory("wav-limit");
  std::string path = dir + "/limit.wav";
  ::setenv("SLUICE_WAV_SIZE_LIMIT", "1000", 1);
  OpenWriter w(path);
  ::unsetenv("SLUICE_WAV_SIZE_LIMIT");
  std::vector<std::int16_t> block(200, 1000);  // 100 frames, 400 bytes
  w.write(block);
  w.write(block);
  try {
    w.write(block);  // 1200 bytes > 1000
    FAIL() << "the limit was not enforced";
  } catch (sluice::sdk::Failure const& e) {
    EXPECT_EQ(identifierOf(e), "WavSizeLimit");
  }
  std::vector<std::int16_t> fits(100, 7);  // 200 bytes: exactly at the limit
  w.write(fits);
  w.writer.close();
  EXPECT_EQ(soxi(path, "-s"), "250");
  EXPECT_EQ(fileSize(path), 44 + 1000);
  Decoded d = readThrough(path);
  EXPECT_EQ(d.count(), 250u);
}

TEST(AudioFileWriter, ClipsSamplesPastFullScaleSoFlacKeepsTheBlock) {
  // libFLAC drops a whole block holding one sample past full scale and reports
  // no error; the writer's clipping keeps every frame.
  std::string dir = scratchDirectory("flac-clip");
  std::string path = dir + "/clip.flac";
  Signal s = tones(4096, 2, 44100, 16);
  s.samples[100] = 1.5;
  s.samples[5000] = -7.0;
  WriteOptions o;
  o.fileDataType = "int24";
  writeThrough(path, s, o, 4096);
  Decoded d = readThrough(path);
  ASSERT_EQ(d.count(), 4096u);
  EXPECT_EQ(d.frames[100 * 2], 8388607.0 / 8388608);
  EXPECT_EQ(d.frames[(5000 - 4096) * 2 + 1], -1.0);
  EXPECT_EQ(d.frames[101 * 2], s.at(101, 0));
}

TEST(AudioFileWriter, DestructionCompletesTheFile) {
  std::string dir = scratchDirectory("writer-destroyed");
  for (char const* name : {"a.wav", "a.flac", "a.ogg", "a.opus", "a.m4a"}) {
    std::string path = dir + "/" + name;
    {
      AudioFileWriter writer;
      ResultMap result;
      Map init;
      init.text("Filename", path);
      writer.init(init, result.map);
      Map open = baseOpen();
      open.number("SampleRate", 48000);
      writer.open(open);
      std::vector<double> frames(2 * 3000, 0.25);
      sluice::OwnedRecord record;
      record.record = sluice::makeSampleRecord(reinterpret_cast<unsigned char*>(frames.data()),
                                               3000, 2, AUDIO_DOUBLE);
      writer.write(record);
    }  // no close
    EXPECT_EQ(readThrough(path).count(), 3000u) << name;
  }
}

TEST(AudioFileWriter, AFullDiskIsAFailureNeverASilentShortFile) {
  // /dev/full takes nothing: every short write must surface as "Unexpected".
  // (Not Vorbis: libsndfile 1.2.0 then leaks its Vorbis encoder, which the
  // sanitizer build would report.)
  std::string dir = scratchDirectory("writer-full");
  for (char const* name : {"full.wav", "full.flac", "full.opus", "full.m4a"}) {
    std::string path = dir + "/" + name;
    ASSERT_EQ(::symlink("/dev/full", path.c_str()), 0);
    std::string identifier;
    try {
      AudioFileWriter writer;
      ResultMap result;
      Map init;
      init.text("Filename", path);
      writer.init(init, result.map);
      Map open = baseOpen();
      open.number("SampleRate", 48000);
      writer.open(open);
      std::vector<double> frames(2 * 50000, 0.25);
      sluice::OwnedRecord record;
      record.record = sluice::makeSampleRecord(reinterpret_cast<unsigned char*>(frames.data()),
                                               50000, 2, AUDIO_DOUBLE);
      for (int i = 0; i < 4; ++i) writer.write(record);
      writer.close();
    } catch (sluice::sdk::Failure const& e) {
      identifier = identifierOf(e);
    }
    EXPECT_EQ(identifier, "Unexpected") << name;
  }
}

TEST(AudioFileWriter, AFileWithNoFramesIsStillValid) {
  // Not Opus: libsndfile 1.2.0 ends an Opus stream of no frames without its
  // end-of-stream page. Not AAC: FFmpeg's MPEG-4 muxer leaves a track of no
  // samples out, so that file holds no audio (below).
  std::string dir = scratchDirectory("writer-empty");
  for (char const* name : {"a.wav", "a.flac", "a.ogg", "a.m4a"}) {
    bool const mpeg4 = std::string(name) == "a.m4a";
    std::string path = dir + "/" + name;
    {
      AudioFileWriter writer;
      ResultMap result;
      Map init;
      init.text("Filename", path);
      writer.init(init, result.map);
      Map open = baseOpen();
      open.number("SampleRate", 48000);
      writer.open(open);
      writer.close();
    }
    if (mpeg4) {
      EXPECT_GT(fileSize(path), 0);
      EXPECT_THROW(readThrough(path), sluice::sdk::Failure);
      continue;
    }
    EXPECT_EQ(readThrough(path).count(), 0u) << name;
    if (haveTool("ffprobe")) {
      EXPECT_EQ(ffprobe(path, "channels"), "2") << name;
    }
  }
}

TEST(AudioFileWriter, ReopenWithAnEmptyMapStartsTheFileAgain) {
  std::string dir = scratchDirectory("writer-reopen");
  std::string path = dir + "/again.flac";
  OpenWriter w(path);
  w.write(std::vector<std::int16_t>(2000, 100));
  w.writer.close();
  EXPECT_EQ(soxi(path, "-s"), "1000");
  w.writer.open({});
  w.write(std::vector<std::int16_t>(600, -100));
  w.writer.close();
  Decoded d = readThrough(path);
  ASSERT_EQ(d.count(), 300u);
  EXPECT_EQ(d.frames[0], -100.0 / 32768);
}

TEST(AudioFileWriter, TakesEveryRecordTypeWhateverTheFileStores) {
  // The filter may deliver any type; the device converts to what the file holds.
  std::string dir = scratchDirectory("writer-any-type");
  std::string path = dir + "/mixed.wav";
  OpenWriter w(path, "uint8");
  std::vector<std::int16_t> loud = {32767, -32768};
  w.write(loud);
  sluice::OwnedRecord record;
  float f[] = {0.5f, 2.0f};
  record.record = sluice::makeSampleRecord(reinterpret_cast<unsigned char*>(f), 1, 2, AUDIO_SINGLE);
  w.writer.write(record);
  w.writer.close();
  Decoded d = readThrough(path);
  ASSERT_EQ(d.count(), 2u);
  EXPECT_EQ(d.frames, (std::vector<double>{127.0 / 128, -1.0, 0.5, 127.0 / 128}));
}

}  // namespace
