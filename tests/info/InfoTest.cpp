// The info class on files made at test time: every fact against what outside
// tools and a full read through the reader say.
#include <gtest/gtest.h>

#include <sstream>

#include "hostlib/multimedia/fmmfb2audioinfo.h"
#include "support/Audio.h"
#include "support/Failures.h"
#include "support/Scratch.h"
#include "support/Tools.h"

namespace {

using namespace testsupport;

struct Made {
  char const* name;  // the file; made by `command` (with %s for it), or by our writer
  std::string command;
  char const* format;
  char const* codec;
  hm::AudioDataType type;
  unsigned long bits, channels;
  double rate;
};

void PrintTo(Made const& m, std::ostream* os) { *os << m.name; }

std::string made(Scratch const& dir, Made const& m) {
  std::string const path = dir / m.name;
  if (m.command.empty()) {
    auto w = openWriter(path, m.channels, m.rate, hm::AUDIO_INT16, m.type);
    writeBlocks(*w, 33333, 1000, m.channels, 1);
    w->close();
  } else {
    std::string command = m.command;
    run(command.replace(command.find("%s"), 2, "'" + path + "'"));
  }
  return path;
}

// Bytes of the audio packets as ffprobe lists them.
double packetBytes(std::string const& path) {
  std::istringstream sizes(
      run("ffprobe -v error -select_streams a:0 -show_entries packet=size -of default=nw=1:nk=1 '" +
          path + "'"));
  double total = 0;
  for (double size; sizes >> size;) total += size;
  return total;
}

class Info : public ::testing::TestWithParam<Made> {};

TEST_P(Info, ReportsEveryFactAndTheLengthAFullReadDelivers) {
  Scratch dir;
  Made const& m = GetParam();
  std::string const path = made(dir, m);
  hm::fmmfb2audioinfo info(u16(path), "audiofilereader", "passthrough");
  EXPECT_EQ(info.getFormat(), u16(m.format));
  EXPECT_EQ(info.getCodec(), u16(m.codec));
  EXPECT_EQ(info.getFileDataType(), m.type);
  EXPECT_EQ(info.getBitsPerSample(), m.bits);
  EXPECT_EQ(info.getNumChannels(), m.channels);
  EXPECT_EQ(info.getSampleRate(), m.rate);
  EXPECT_EQ(info.getTotalFrames() * m.channels, readFile(path, m.channels).size());
  EXPECT_DOUBLE_EQ(info.getDuration(), info.getTotalFrames() / m.rate);
  if (std::string(m.codec) == "PCM")
    EXPECT_EQ(info.getBitRate(), m.rate * m.channels * m.bits);
  else
    EXPECT_NEAR(info.getBitRate(), packetBytes(path) * 8 / info.getDuration(),
                info.getBitRate() * 1e-3);
}

std::string const kTone = "ffmpeg -v error -f lavfi -i sine=f=440:r=44100:d=1.3 ";

INSTANTIATE_TEST_SUITE_P(
    Files, Info,
    ::testing::Values(
        Made{"sox16.wav", "sox -n -r 44100 -c 2 -b 16 %s synth 1.234 sine 440 sine 660", "WAV",
             "PCM", hm::AUDIO_INT16, 16, 2, 44100},
        Made{"sox24.wav", "sox -n -r 48000 -c 1 -b 24 %s synth 0.5 sine 300", "WAV", "PCM",
             hm::AUDIO_INT24, 24, 1, 48000},
        Made{"float.wav", "sox -n -r 22050 -c 2 -e floating-point -b 32 %s synth 0.7 sine 300",
             "WAV", "PCM", hm::AUDIO_SINGLE, 32, 2, 22050},
        Made{"ours.wav", "", "WAV", "PCM", hm::AUDIO_INT16, 16, 3, 32000},
        Made{"sox16.flac", "sox -n -r 44100 -c 2 -b 16 %s synth 1.1 sine 440 sine 660", "FLAC",
             "FLAC", hm::AUDIO_INT16, 16, 2, 44100},
        Made{"ours24.flac", "", "FLAC", "FLAC", hm::AUDIO_INT24, 24, 2, 96000},
        Made{"streamed.flac", kTone + "-f flac - > %s", "FLAC", "FLAC", hm::AUDIO_INT16, 16, 1,
             44100},
        Made{"sox.aiff", "sox -n -r 44100 -c 2 -b 16 %s synth 0.4 sine 440", "AIFF", "PCM",
             hm::AUDIO_INT16, 16, 2, 44100},
        Made{"vorbis.ogg", kTone + "-ac 2 -c:a libvorbis %s", "OGG", "Vorbis",
             hm::AUDIO_UNSPECIFIED, 0, 2, 44100},
        Made{"opus.opus", "ffmpeg -v error -f lavfi -i sine=f=440:r=48000:d=1.3 -c:a libopus %s",
             "OGG", "Opus", hm::AUDIO_UNSPECIFIED, 0, 1, 48000},
        Made{"xing.mp3", kTone + "-c:a libmp3lame -b:a 128k %s", "MP3", "MP3",
             hm::AUDIO_UNSPECIFIED, 0, 1, 44100},
        Made{"noxing.mp3", kTone + "-c:a libmp3lame -b:a 128k -write_xing 0 %s", "MP3", "MP3",
             hm::AUDIO_UNSPECIFIED, 0, 1, 44100},
        Made{"aac.m4a", kTone + "-ac 2 -c:a aac %s", "MP4", "AAC", hm::AUDIO_UNSPECIFIED, 0, 2,
             44100}),
    [](::testing::TestParamInfo<Made> const& i) {
      std::string name = i.param.name;
      return name.replace(name.find('.'), 1, "_");
    });

TEST(InfoRefusals, EachCarriesTheReadersIdentifierAndTheCataloguesMessage) {
  Scratch dir;
  run("sox -n -r 8000 -c 1 -b 16 '" + (dir / "whole.wav") + "' synth 1 sine 300");
  run("head -c 3000 '" + (dir / "whole.wav") + "' > '" + (dir / "cut.wav") + "'");
  run("echo not audio > '" + (dir / "text.wav") + "'");
  run("ffmpeg -v error -f lavfi -i testsrc=d=0.2:s=32x24 -c:v mpeg4 '" + (dir / "video.mp4") + "'");
  auto info = [&](std::string const& name) {
    return
        [&dir, name] { hm::fmmfb2audioinfo i(u16(dir / name), "audiofilereader", "passthrough"); };
  };
  expectFailure<hm::InputFileNotFoundException>(info("none.wav"), "InputFileNotFound",
                                                "Input File specified not found");
  expectFailure<hm::Exception>(info("cut.wav"), "AudioWrite",
                               "Unable to read the file. The file appears to be corrupt.");
  expectFailure<hm::Exception>(info("text.wav"), "AudioWrite",
                               "The specified file type is not supported.");
  expectFailure<hm::Exception>(info("video.mp4"), "AudioWrite", "File does not contain any audio.");
}

}  // namespace
