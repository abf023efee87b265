// The audiofilereader device: files that sox and ffmpeg produced in every
// format against their own decode, records and blocks, restarting at frame 0,
// and every refusal's identifier.
#include <gtest/gtest.h>

#include <fstream>

#include "audio/AudioFileSupport.h"

namespace {

using namespace audiotest;
using sluice::audiofile::AudioFileReader;

struct Foreign {
  char const* name;
  char const* make;  // shell command writing $OUT from the tone $SRC (44.1 kHz, stereo, s16)
  long rate;
  unsigned long frames;          // 0: whatever the reference decoder gives
  bool exact;                    // our samples equal the reference decoder's
  bool referenceIsSox;           // else ffmpeg
  bool referencePadded = false;  // ffmpeg keeps AAC's end padding
};

void PrintTo(Foreign const& f, std::ostream* os) { *os << f.name; }

class ForeignFile : public ::testing::TestWithParam<Foreign> {};

TEST_P(ForeignFile, ReadsLikeTheToolsOwnDecoder) {
  if (!haveTool("sox") || !haveTool("ffmpeg")) GTEST_SKIP() << "no sox or ffmpeg";
  Foreign const& f = GetParam();
  std::string dir = scratchDirectory(std::string("foreign-") + f.name);
  std::string src = dir + "/source.wav";
  bool ok = false;
  run("sox -n -r 44100 -c 2 -b 16 '" + src + "' synth 0.5 sine 440 sine 1000 vol 0.5", &ok);
  ASSERT_TRUE(ok);
  std::string out = dir + "/" + f.name;
  run(std::string("SRC='") + src + "' OUT='" + out + "'; " + f.make, &ok);
  ASSERT_TRUE(ok) << f.make;

  Decoded ours = readThrough(out);
  std::vector<double> theirs = f.referenceIsSox ? soxDecode(out) : ffmpegDecode(out, f.rate);
  ASSERT_FALSE(theirs.empty());
  EXPECT_EQ(ours.channels, 2u);
  EXPECT_EQ(ours.sampleRate, double(f.rate));
  if (f.frames) {
    EXPECT_EQ(ours.count(), f.frames);
  }
  if (f.referencePadded) {
    EXPECT_GT(theirs.size(), ours.frames.size());
    theirs.resize(ours.frames.size());
  }
  EXPECT_EQ(ours.frames.size(), theirs.size());
  if (f.exact) {
    EXPECT_TRUE(ours.frames == theirs);
  } else {
    EXPECT_GT(snr(theirs, ours.frames), 60.0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tools, ForeignFile,
    ::testing::Values(
        Foreign{"sox-u8.wav", "sox $SRC -e unsigned -b 8 $OUT", 44100, 22050, true, true},
        Foreign{"sox-s16.wav", "sox $SRC $OUT", 44100, 22050, true, true},
        Foreign{"sox-s24.wav", "sox $SRC -b 24 $OUT", 44100, 22050, true, true},
        Foreign{"sox-s32.wav", "sox $SRC -b 32 $OUT", 44100, 22050, true, true},
        Foreign{"sox-f32.wav", "sox $SRC -e float -b 32 $OUT", 44100, 22050, true, true},
        Foreign{"sox-f64.wav", "sox $SRC -e float -b 64 $OUT", 44100, 22050, true, true},
        Foreign{"ffmpeg-s24.wav", "ffmpeg -v error -i $SRC -c:a pcm_s24le -rf64 auto $OUT", 44100,
                22050, true, false},
        Foreign{"sox-16.flac", "sox $SRC $OUT", 44100, 22050, true, true},
        Foreign{"sox-24.flac", "sox $SRC -b 24 $OUT", 44100, 22050, true, true},
        Foreign{"ffmpeg.flac", "ffmpeg -v error -i $SRC $OUT", 44100, 22050, true, false},
        Foreign{"sox.ogg", "sox $SRC $OUT", 44100, 22050, false, true},
        Foreign{"ffmpeg-libvorbis.ogg", "ffmpeg -v error -i $SRC -c:a libvorbis $OUT", 44100, 0,
                false, true},
        Foreign{"ffmpeg-libopus.opus", "ffmpeg -v error -i $SRC -ar 48000 -c:a libopus $OUT", 48000,
                24000, false, false},
        Foreign{"sox.mp3", "sox $SRC $OUT", 44100, 0, true, false},
        Foreign{"ffmpeg-lame.mp3", "ffmpeg -v error -i $SRC -c:a libmp3lame $OUT", 44100, 22050,
                true, false},
        Foreign{"ffmpeg-aac.m4a", "ffmpeg -v error -i $SRC -c:a aac $OUT", 44100, 22050, false,
                false, true},
        Foreign{"ffmpeg-aac.mp4", "ffmpeg -v error -i $SRC -c:a aac -b:a 96k $OUT", 44100, 22050,
                false, false, true}),
    [](::testing::TestParamInfo<Foreign> const& info) {
      std::string n;
      for (char c : std::string(info.param.name)) n += std::isalnum((unsigned char)c) ? c : '_';
      return n;
    });

std::string writeTone(std::string const& dir, std::string const& name, unsigned long frames) {
  std::string path = dir + "/" + name;
  WriteOptions o;
  writeThrough(path, tones(frames, 2, 44100, 16), o);
  return path;
}

struct OpenReader {
  AudioFileReader reader;
  ResultMap result;
  explicit OpenReader(std::string const& path) {
    Map map;
    map.text("Filename", path);
    reader.init(map, result.map);
    reader.open(map);
  }
  // One read; the records it delivered, taken over.
  unsigned long read(unsigned long count, double* first = nullptr) {
    std::vector<void*> records;
    unsigned long got = 99;
    reader.read(count, records, got);
    EXPECT_LE(records.size(), 1u);
    for (void* p : records) {
      std::unique_ptr<sluice::Record> record(static_cast<sluice::Record*>(p));
      EXPECT_EQ(record->size(), 4u);
      unsigned char* samples = boost::any_cast<unsigned char*>((*record)[0]);
      std::unique_ptr<unsigned char[]> owned(samples);  // allocated with new[]
      EXPECT_EQ(boost::any_cast<unsigned long>((*record)[1]), got);
      EXPECT_EQ(boost::any_cast<unsigned long>((*record)[2]), 2ul);
      EXPECT_EQ(boost::any_cast<AudioDataType>((*record)[3]), AUDIO_DOUBLE);
      if (first) std::memcpy(first, samples, sizeof(double));
    }
    if (records.empty()) {
      EXPECT_EQ(got, 0ul);
    }
    return got;
  }
};

TEST(AudioFileReader, InitReportsRateAndChannels) {
  std::string dir = scratchDirectory("reader-init");
  std::string path = writeTone(dir, "a.flac", 100);
  OpenReader r(path);
  EXPECT_EQ(boost::any_cast<double>(*static_cast<boost::any*>(r.result.map["SampleRate"])),
            44100.0);
  EXPECT_EQ(boost::any_cast<double>(*static_cast<boost::any*>(r.result.map["NumberOfChannels"])),
            2.0);
  EXPECT_EQ(boost::any_cast<std::u16string>(*static_cast<boost::any*>(r.result.map["DataType"])),
            u"double");
}

TEST(AudioFileReader, DeliversTheCountAskedOrTheNaturalBlockThenTheEnd) {
  std::string dir = scratchDirectory("reader-blocks");
  for (char const* name : {"a.wav", "a.m4a"}) {
    std::string path = writeTone(dir, name, 5000);
    OpenReader r(path);
    EXPECT_EQ(r.read(100), 100ul) << name;
    EXPECT_EQ(r.read(0), AudioFileReader::kNaturalBlock) << name;
    EXPECT_EQ(r.read(100000), 5000ul - 100 - AudioFileReader::kNaturalBlock) << name;
    EXPECT_EQ(r.read(10), 0ul) << name;
    EXPECT_EQ(r.read(10), 0ul) << name;  // and stays at the end
  }
}

TEST(AudioFileReader, FlushAndReopenStartAtFrameZero) {
  std::string dir = scratchDirectory("reader-restart");
  for (char const* name : {"a.flac", "a.opus", "a.mp4"}) {
    std::string path = dir + "/" + name;
    WriteOptions o;
    o.sampleRate = 48000;
    writeThrough(path, tones(3000, 2, 48000), o);
    OpenReader r(path);
    double first = 0, again = 0;
    r.read(10, &first);
    r.read(2000);
    r.reader.close();
    r.reader.flush();
    r.reader.open({});
    r.read(10, &again);
    EXPECT_EQ(first, again) << name;
    // close and open again without flush restarts as well
    r.read(100000);
    EXPECT_EQ(r.read(1), 0ul);
    r.reader.close();
    r.reader.open({});
    EXPECT_EQ(r.read(100000), 3000ul) << name;
  }
}

struct Bad {
  char const* name;
  char const* make;  // shell command making $F in the scratch directory
  char const* identifier;
};

void PrintTo(Bad const& b, std::ostream* os) { *os << b.name; }

class AudioFileReaderRefuses : public ::testing::TestWithParam<Bad> {};

TEST_P(AudioFileReaderRefuses, WithTheIdentifierAtInitOrRead) {
  Bad const& b = GetParam();
  std::string dir = scratchDirectory(std::string("reader-refuse-") + b.name);
  std::string f = dir + "/" + b.name;
  bool ok = false;
  run(std::string("F='") + f + "'; " + b.make, &ok);
  ASSERT_TRUE(ok) << b.make;
  try {
    Decoded d = readThrough(f);
    FAIL() << "read " << d.count() << " frames";
  } catch (sluice::sdk::Failure const& e) {
    EXPECT_EQ(identifierOf(e), b.identifier) << e.what();
    EXPECT_EQ(std::string(e.what()).rfind("audiofilereader", 0), 0u) << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, AudioFileReaderRefuses,
    ::testing::Values(
        Bad{"missing.wav", "true", "ReadFailed"}, Bad{"directory.wav", "mkdir $F", "ReadFailed"},
        Bad{"empty.wav", ": > $F", "FileCorrupt"},
        Bad{"text.wav", "echo 'not audio at all, just some words' > $F", "FileTypeNotSupported"},
        Bad{"random.flac", "head -c 20000 /dev/urandom > $F", "FileTypeNotSupported"},
        Bad{"image.png", "ffmpeg -v error -f lavfi -i color=red:s=16x16 -frames:v 1 $F",
            "FileTypeNotSupported"},
        Bad{"video-only.mp4", "ffmpeg -v error -f lavfi -i testsrc=s=64x64:d=0.2 -c:v mpeg4 $F",
            "NoAudio"},
        Bad{"truncated-data.wav",
            "sox -n -r 8000 -c 1 -b 16 $F.full.wav synth 1 sine 440 && head -c 4000 $F.full.wav > "
            "$F",
            "FileCorrupt"},
        Bad{"truncated-header.wav", "printf 'RIFF\\x24\\x00\\x00\\x00WAVEfmt ' > $F",
            "FileCorrupt"},
        Bad{"truncated-frames.flac",
            "sox -n -r 8000 -c 1 $F.full.flac synth 2 noise && head -c 6000 $F.full.flac > $F",
            "FileCorrupt"},
        Bad{"damaged-frames.flac",
            "sox -n -r 8000 -c 1 $F synth 2 noise && "
            "printf "
            "'\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff' | "
            "dd of=$F bs=1 seek=9000 conv=notrunc status=none",
            "FileCorrupt"},
        Bad{"truncated-moov.m4a",
            "ffmpeg -v error -f lavfi -i sine=d=1 -c:a aac $F.full.m4a && "
            "head -c $(( $(stat -c %s $F.full.m4a) - 200 )) $F.full.m4a > $F",
            "FileCorrupt"}),
    [](::testing::TestParamInfo<Bad> const& info) {
      std::string n;
      for (char c : std::string(info.param.name)) n += std::isalnum((unsigned char)c) ? c : '_';
      return n;
    });

TEST(AudioFileReader, RefusesReadingBeforeOpen) {
  AudioFileReader reader;
  std::vector<void*> records;
  unsigned long got = 5;
  try {
    reader.read(10, records, got);
    FAIL();
  } catch (sluice::sdk::Failure const& e) {
    EXPECT_EQ(identifierOf(e), "Unexpected");
  }
  EXPECT_TRUE(records.empty());
  EXPECT_EQ(got, 0ul);
  try {
    reader.open({});
    FAIL();
  } catch (sluice::sdk::Failure const& e) {
    EXPECT_EQ(identifierOf(e), "Unexpected");
  }
}

}  // namespace
