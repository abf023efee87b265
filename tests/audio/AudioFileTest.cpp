// The audio plug-ins driven as the service drives them: the audiofilter's
// records; every container and stored type written through it and read back,
// checked by ffprobe, soxi, sox and ffmpeg; files other tools made, read as they
// decode them or refused; what the devices refuse; then the whole stack through
// the library; failures on eight threads at once.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "AudioKernels.h"
#include "support/Audio.h"
#include "support/AudioDevices.h"
#include "support/Plugins.h"
#include "support/Scratch.h"
#include "support/Tools.h"

namespace {

using namespace hostlib::multimedia;
using namespace testsupport;
using namespace sluice::audiofile;
using sluice::audiofilter::AudioFilter;

// What the library sends to open a stereo file at 48 kHz.
Map openMap(boost::any type = u16("double"), std::string const& transform = "InterleaveTranspose") {
  Map m;
  m.text("FilterTransformType", transform).number("SampleRate", 48000).number("Quality", 0.5);
  m.number("NumberOfChannels", 2).number("BitRate", 128000);
  return std::move(type.empty() ? m : m.set("FilterOutputDataType", type));
}

sluice::Record samples(void* p, unsigned long frames, unsigned long channels, AudioDataType type) {
  return sluice::makeSampleRecord(static_cast<unsigned char*>(p), frames, channels, type);
}

TEST(AudioFilter, InterleavesIntoAnOwnedRecordKeepsItsTypeOnAnEmptyReopenAndRefusesByIdentifier) {
  AudioFilter filter;
  double x = 0.5;
  auto process = [&](void* p, unsigned long frames, unsigned long channels, AudioDataType type) {
    return refusedBy("audiofilter", [&] { filter.process(samples(p, frames, channels, type)); });
  };
  EXPECT_EQ(process(&x, 1, 1, AUDIO_DOUBLE), "Unexpected");  // not open
  filter.open(openMap(u16("uint8")));
  filter.close();
  filter.open({});
  std::int16_t block[] = {16384, -16384, 0, 8192, 32767, -32768};  // channel 1, then channel 2
  auto out = filter.process(samples(block, 3, 2, AUDIO_INT16));
  std::memset(block, 0, sizeof block);  // the record holds its own copy
  sluice::SampleRecordView v;
  ASSERT_TRUE(sluice::parseSampleRecord(out->record, v) && out->storage.size() == 6);
  EXPECT_TRUE(v.samples == out->storage.data() && v.frames == 3 && v.channels == 2 &&
              v.type == AUDIO_UINT8);
  EXPECT_EQ(std::vector<int>(v.samples, v.samples + 6),
            (std::vector<int>{192, 160, 64, 255, 128, 0}));
  EXPECT_EQ(filter.process(samples(nullptr, 0, 2, AUDIO_DOUBLE))->storage.size(), 0u);
  for (auto const& type : {boost::any(u16("float")), boost::any(), boost::any(std::string("x"))})
    EXPECT_EQ(refusedBy("audiofilter", [&] { AudioFilter().open(openMap(type)); }),
              "WriteNotSupported");
  EXPECT_EQ(refusedBy("audiofilter", [] { AudioFilter().open(openMap(u16("int8"), "Other")); }),
            "Unexpected");
  EXPECT_EQ(process(&x, 1, 1, AUDIO_UNSPECIFIED), "WriteNotSupported");
  EXPECT_EQ(process(&x, 1, 1, AudioDataType(11)), "WriteNotSupported");
  EXPECT_EQ(process(nullptr, 4, 1, AUDIO_DOUBLE), "Unexpected");
  EXPECT_EQ(process(&x, 1, 0, AUDIO_DOUBLE), "UnsupportedOutputChannels");
  EXPECT_EQ(process(&x, ~0ul / 2, 4, AUDIO_DOUBLE), "Unexpected");
}

struct Device {
  AudioFileWriter writer;
  ResultMap result;
  Device(std::string const& path, Map const& open) {
    writer.init(Map().text("Filename", path), result.map);
    writer.open(open);
  }
  void write(void* p, unsigned long frames, AudioDataType type, unsigned long channels = 2) {
    sluice::OwnedRecord r{samples(p, frames, channels, type), {}, {}};
    writer.write(r);
  }
};

struct Format {
  char const *name, *extension, *fileDataType;  // fileDataType "": not sent
  int bits;                                     // grid of the signal, 0: any double
  double rate;
  char const *codec, *soxBits;  // as ffprobe names it; soxi -b of a lossless file
};

void PrintTo(Format const& f, std::ostream* os) { *os << f.name; }

class RoundTrip : public ::testing::TestWithParam<Format> {};

TEST_P(RoundTrip, ComesBackAsWrittenToOurReaderAndToOtherTools) {
  Format const& f = GetParam();
  Scratch dir;
  std::string const path = dir / (std::string("a") + f.extension), codec = f.codec;
  unsigned long const frames = 12345;  // not a multiple of any codec's frame
  bool const lossless = *f.soxBits;
  auto signal = tones(frames, 2, f.rate, f.bits);
  auto source = interleave(signal, 2);
  if (lossless) {
    // libFLAC drops a whole block holding one sample past full scale, and says
    // nothing: integer files get such samples clipped, float files keep them.
    bool const floating = codec.find("pcm_f") == 0;
    signal[100] = 1.5;
    signal[frames + 5000] = -7.0;
    source[200] = floating ? 1.5 : 1 - std::ldexp(1.0, 1 - f.bits);
    source[2 * 5000 + 1] = floating ? -7.0 : -1;
  }
  writeThrough(path, signal, WriteOptions{f.rate, 2, 128000, 0.5, f.fileDataType, ""}, 1000);
  Decoded const ours = readThrough(path);
  EXPECT_EQ(ours.sampleRate, f.rate);
  // ffmpeg drops the first Vorbis block of libsndfile's files, so sox judges
  // Vorbis; ffmpeg keeps AAC's end padding, so the container's own length (the
  // edit list hiding the priming) judges AAC.
  auto probed = ffprobe(path, "a", "codec_name,channels,duration_ts");
  EXPECT_EQ(probed["codec_name"] + " " + probed["channels"], codec + " 2");
  auto theirs = decodeAudio(path, codec == "vorbis" ? 0 : long(f.rate));
  if (codec == "aac" && theirs.size() > source.size()) theirs.resize(source.size());
  EXPECT_EQ(probed["duration_ts"], codec == "aac" ? std::to_string(frames) : probed["duration_ts"]);
  EXPECT_EQ(ours.frames.size(), source.size());
  EXPECT_EQ(theirs.size(), source.size());
  EXPECT_EQ(lossless ? soxi(path, "-b") : "", f.soxBits);
  EXPECT_TRUE(lossless ? ours.frames == source : snr(source, ours.frames) > 15) << "ours differ";
  EXPECT_TRUE(lossless ? theirs == source : snr(source, theirs) > 15) << "theirs differ";
}

INSTANTIATE_TEST_SUITE_P(
    Formats, RoundTrip,
    ::testing::Values(Format{"WavDefault", ".WAV", "", 16, 44100, "pcm_s16le", "16"},
                      Format{"WavUint8", ".wav", "uint8", 8, 22050, "pcm_u8", "8"},
                      Format{"WavInt24", ".wav", "int24", 24, 96000, "pcm_s24le", "24"},
                      Format{"WavInt32", ".wav", "int32", 32, 48000, "pcm_s32le", "32"},
                      Format{"WavSingle", ".wav", "single", 24, 44100, "pcm_f32le", "32"},
                      Format{"WavDouble", ".wav", "double", 0, 44100, "pcm_f64le", "64"},
                      Format{"Flac8FromUint8", ".flac", "uint8", 8, 8000, "flac", "8"},
                      Format{"FlacDefault", ".flac", "", 16, 44100, "flac", "16"},
                      Format{"Flac24", ".Flac", "int24", 24, 192000, "flac", "24"},
                      Format{"OggVorbis", ".ogg", "", 0, 22050, "vorbis", ""},
                      Format{"Opus16k", ".opus", "", 0, 16000, "opus", ""},
                      Format{"M4aAac", ".m4a", "", 0, 44100, "aac", ""},
                      Format{"Mp4Aac", ".mp4", "", 0, 48000, "aac", ""}),
    [](auto const& info) { return std::string(info.param.name); });

// Completed by destruction, started again by a reopen with an empty map, and a
// valid stream of no frames when closed without any ('v'); FFmpeg's MPEG-4 muxer
// leaves an empty track out ('n'); libsndfile 1.2.0 ends an empty Opus stream
// without its last page ('-').
TEST(AudioFileWriter, CompletesFilesOnDestructionRestartsThemOnReopenAndKeepsEmptyOnesValid) {
  for (std::string const ext : {"wav v", "flac v", "ogg v", "opus -", "m4a n"}) {
    Scratch dir;
    std::string const path = dir / ("a." + ext.substr(0, ext.size() - 2));
    std::vector<double> quarter(2 * 3000, 0.25);
    {
      Device d(path, openMap());
      d.write(quarter.data(), 1000, AUDIO_DOUBLE);
      d.writer.close();
      d.writer.open({});
      d.write(quarter.data(), 3000, AUDIO_DOUBLE);
    }
    EXPECT_EQ(readThrough(path).count(), 3000u) << ext;  // not 4000
    Device(path, openMap()).writer.close();
    if (ext.back() == '-') continue;
    auto const read = [&] { EXPECT_EQ(readThrough(path).count(), 0u) << ext; };
    EXPECT_EQ(refusedBy("audiofilereader", read), ext.back() == 'n' ? "NoAudio" : "no failure");
    EXPECT_EQ(ffprobe(path, "a", "channels")["channels"], ext.back() == 'n' ? "" : "2") << ext;
  }
}

TEST(AudioFileWriter, ConvertsRecordsThatFitRefusesOthersAndStopsAtTheWavSizeLimit) {
  sluice::OwnedRecord bad{{1, 2}, {}, {}};  // not a sample record, and the writer not open
  auto const refused = [](std::function<void()> f) { return refusedBy("audiofilewriter", f); };
  EXPECT_EQ(refused([&] { AudioFileWriter().write(bad); }), "Unexpected");
  Scratch dir;
  ::setenv("SLUICE_WAV_SIZE_LIMIT", "1000", 1);  // 500 frames of two uint8 samples
  Device d(dir / "a.wav", openMap().text("FileDataType", "uint8"));
  ::unsetenv("SLUICE_WAV_SIZE_LIMIT");
  std::vector<std::int16_t> loud(2 * 498, 32767);
  loud[1] = -32768;
  float single[] = {0.5f, 2.0f};
  EXPECT_EQ(refused([&] { d.write(single, 2, AUDIO_SINGLE, 1); }), "UnsupportedOutputChannels");
  EXPECT_EQ(refused([&] { d.write(single, 1, AUDIO_UNSPECIFIED); }), "WriteNotSupported");
  EXPECT_EQ(refused([&] { d.writer.write(bad); }), "Unexpected");
  d.write(loud.data(), 1, AUDIO_INT16);
  d.write(single, 1, AUDIO_SINGLE);
  d.write(loud.data(), 498, AUDIO_INT16);  // up to the limit exactly
  EXPECT_EQ(refused([&] { d.write(single, 1, AUDIO_SINGLE); }), "WavSizeLimit");
  d.writer.close();
  EXPECT_EQ(std::filesystem::file_size(dir / "a.wav"), 44u + 1000);
  auto const back = readThrough(dir / "a.wav").frames;
  ASSERT_EQ(back.size(), 1000u);
  EXPECT_EQ(std::vector<double>(back.begin(), back.begin() + 4),
            (std::vector<double>{127.0 / 128, -1, 0.5, 127.0 / 128}));
}

TEST(AudioFileWriter, RefusesWithTheIdentifierAndLeavesNoFile) {
  // The file (in the scratch folder unless absolute), the open setting changed.
  std::tuple<char const*, char const*, boost::any, char const*> const refusals[] = {
      {"a.mp3", "", {}, "FileTypeNotSupported"},
      {"wav", "", {}, "FileTypeNotSupported"},
      {"missing/a.wav", "", {}, "FilePermissionDenied"},
      {"/proc/a.wav", "", {}, "FilePermissionDenied"},
      {"a.wav", "SampleRate", 44100.5, "UnsupportedSampleRate"},
      {"a.wav", "SampleRate", 44100, "UnsupportedSampleRate"},  // held as an int
      {"a.flac", "SampleRate", 655351.0, "MaxFlacSampleRate"},
      {"a.ogg", "SampleRate", 600.0, "MinOggSampleRate"},
      {"a.oga", "SampleRate", 200001.0, "UnsupportedSampleRate"},
      {"a.opus", "SampleRate", 44100.0, "UnsupportedSampleRate"},
      {"a.m4a", "SampleRate", 12345.0, "UnsupportedSampleRate"},
      {"a.wav", "NumberOfChannels", 0.0, "UnsupportedOutputChannels"},
      {"a.flac", "NumberOfChannels", 9.0, "UnsupportedOutputChannels"},
      {"a.wav", "FileDataType", u16("uint16"), "WriteNotSupported"},
      {"a.flac", "FileDataType", u16("int32"), "WriteNotSupported"},
      {"a.wav", "FilterOutputDataType", u16("float"), "WriteNotSupported"},
      {"a.opus", "BitRate", 600000.0, "UnsupportedBitRate"},
      {"a.mp4", "BitRate", 0.0, "UnsupportedBitRate"},
      {"a.ogg", "Quality", 1.5, "Unexpected"},
  };
  for (auto const& [file, key, value, identifier] : refusals) {
    Scratch dir;
    std::string const path = file[0] == '/' ? file : dir / file;
    Map open = openMap();
    if (*key) open.set(key, value);
    EXPECT_EQ(refusedBy("audiofilewriter", [&] { Device d(path, open); }), identifier) << file;
    EXPECT_FALSE(std::filesystem::exists(path));
  }
}

TEST(AudioFileReader, ReadsFilesOthersMadeAsFfmpegDecodesThemOrRefusesThem) {
  // Each command writes $F, most from $S: 0.5 s of two tones, 44.1 kHz, stereo,
  // 16-bit. Then our reader gives what ffmpeg decodes ("+": within 60 dB, ffmpeg
  // keeping AAC's end padding), or refuses the file with the identifier (":Id").
  std::tuple<char const*, char const*, char const*> const files[] = {
      {"lame.mp3", "ffmpeg -v error -i $S -c:a libmp3lame $F", ""},
      {"aac.m4a", "ffmpeg -v error -i $S -c:a aac $F", "+"},
      {"missing.wav", "true", ":ReadFailed"},
      {"empty.wav", ": > $F", ":FileCorrupt"},
      {"text.wav", "echo not audio, just words > $F", ":FileTypeNotSupported"},
      {"video.mp4", "ffmpeg -v error -f lavfi -i testsrc=d=0.2 $F", ":NoAudio"},
      {"cutdata.wav", "head -c 4000 $S > $F", ":FileCorrupt"},
      {"cutframes.flac", "sox $S $F.flac && head -c 6000 $F.flac > $F", ":FileCorrupt"},
      {"damaged.flac",
       "sox $S $F && printf '\\377\\377\\377\\377' | dd of=$F bs=1 seek=9000 conv=notrunc",
       ":FileCorrupt"},
      {"cutmoov.m4a",
       "ffmpeg -v error -i $S $F.m4a && head -c $(($(stat -c %s $F.m4a) - 200)) $F.m4a >$F",
       ":FileCorrupt"}};
  Scratch dir;
  std::string const source = dir / "source.wav";
  run("sox -n -r 44100 -c 2 -b 16 " + source + " synth 0.5 sine 440 sine 1000 vol 0.5");
  for (auto const& f : files) {
    std::string const file = dir / std::get<0>(f), outcome = std::get<2>(f);
    std::string const make = "S=" + source + " F=" + file + " && " + std::get<1>(f);
    ASSERT_EQ(run(make + " && echo made"), "made\n") << make;
    std::string const refused = refusedBy("audiofilereader", [&] {
      Decoded const ours = readThrough(file);
      auto theirs = decodeAudio(file, 44100);
      EXPECT_TRUE(ours.count() == 22050 && ours.sampleRate == 44100) << file;
      theirs.resize(outcome == "+" ? ours.frames.size() : theirs.size());
      EXPECT_TRUE(outcome == "+" ? snr(theirs, ours.frames) > 60 : theirs == ours.frames) << file;
    });
    EXPECT_EQ(refused, outcome[0] == ':' ? outcome.substr(1) : "no failure") << file;
  }
}

// A data chunk of an odd number of bytes ends with a pad byte: the file is whole.
TEST(AudioFileReader, ReadsWavFilesWhoseDataChunkHasAnOddLength) {
  Scratch dir;
  std::string const file = dir / "odd.wav";
  run("sox -n -r 48000 -c 1 -b 24 " + file + " synth 10007s sine 440");
  EXPECT_EQ(readThrough(file).frames, decodeAudio(file));
  EXPECT_EQ(readThrough(file).count(), 10007u);
}

// Through the library and the service, with the shipped plug-ins found by their
// bare names: tmmfb2audiowriter -> channel -> audiofilter -> audiofilewriter ->
// file -> audiofilereader -> fmmfb2audioreader.

// The samples of `in`, of type `from`, converted to type `to` by the kernels.
template <typename T>
std::vector<unsigned char> converted(std::vector<T> const& in, AudioDataType from,
                                     AudioDataType to) {
  std::size_t const count = in.size() * sizeof(T) / sluice::audioSampleSize(from);
  std::vector<unsigned char> out(count * sluice::audioSampleSize(to));
  sluice::kernels::convertFunction(from, to)(reinterpret_cast<unsigned char const*>(in.data()),
                                             out.data(), count);
  return out;
}

// One read of `count` frames of a one-channel file.
std::vector<double> readFrames(fmmfb2audioreader& reader, unsigned long count) {
  unsigned char* data = nullptr;
  unsigned long const n = reader.readAudio(&data, count);
  std::unique_ptr<unsigned char[]> owned(data);
  auto const* x = reinterpret_cast<double const*>(data);
  return std::vector<double>(x, x + n);
}

struct Road {
  char const *name, *file;
  unsigned long rate;
  AudioDataType input, stored;  // stored AUDIO_UNSPECIFIED: not set, so int16
};

void PrintTo(Road const& r, std::ostream* os) { *os << r.name; }

class ThroughTheLibrary : public ::testing::TestWithParam<Road> {};

// WAV and FLAC get a double, single, int16 or int32 input as it is (or, when
// the stored type is one of these, converted to it by the filter under the same
// rules), so that the file holds it converted straight to the stored type:
// integers are shifted, never rounded through doubles. Other inputs go through the type the device
// names (as do other containers, whose round trips are above). The reader gives
// the count asked, its natural block for 0, and starts again at frame 0 on a reset.
TEST_P(ThroughTheLibrary, FileHoldsTheInputConvertedStraightToItsStoredType) {
  Road const& r = GetParam();
  Scratch dir;
  std::string const path = dir / r.file;
  auto const source = tones(10006, 1, double(r.rate));  // off every integer grid
  auto const input = converted(source, AUDIO_DOUBLE, r.input);
  std::size_t const size = sluice::audioSampleSize(r.input), block = 1500;
  auto writer = openWriter(path, 1, r.rate, r.input, r.stored);
  for (std::size_t f0 = 0; f0 < source.size(); f0 += block)
    writer->writeAudio(&input[f0 * size], std::min(block, source.size() - f0), r.input);
  writer->close();
  fmmfb2audioreader reader(u16(path), "audiofilereader", "passthrough");
  reader.open();
  EXPECT_EQ(readFrames(reader, 100).size(), 100u);
  EXPECT_EQ(readFrames(reader, 0).size(), 4096u);  // the reader's natural block
  EXPECT_EQ(readFrames(reader, 20000).size(), source.size() - 4096 - 100);
  EXPECT_TRUE(readFrames(reader, 10).empty() && reader.isEndOfAudio());
  reader.resetAudio();
  auto const back = readFrames(reader, 20000);
  ASSERT_EQ(back.size(), source.size());
  AudioDataType const stored = r.stored == AUDIO_UNSPECIFIED ? AUDIO_INT16 : r.stored;
  auto const held = converted(input, r.input, stored);
  EXPECT_TRUE(converted(back, AUDIO_DOUBLE, stored) == held) << "our reader differs";
  EXPECT_TRUE(converted(decodeAudio(path, r.rate), AUDIO_DOUBLE, stored) == held)
      << "ffmpeg differs";
}

INSTANTIATE_TEST_SUITE_P(
    Files, ThroughTheLibrary,
    ::testing::Values(Road{"WavFromInt16", "a.wav", 44100, AUDIO_INT16, AUDIO_UNSPECIFIED},
                      Road{"WavSingleFromSingle", "a.wav", 44100, AUDIO_SINGLE, AUDIO_SINGLE},
                      Road{"WavInt32FromInt32", "a.wav", 48000, AUDIO_INT32, AUDIO_INT32},
                      Road{"WavFromInt32", "a.wav", 8000, AUDIO_INT32, AUDIO_UNSPECIFIED},
                      Road{"FlacInt24FromInt32", "a.flac", 96000, AUDIO_INT32, AUDIO_INT24},
                      Road{"FlacFromUint8", "a.flac", 44100, AUDIO_UINT8, AUDIO_UNSPECIFIED},
                      Road{"FlacFromDouble", "a.flac", 48000, AUDIO_DOUBLE, AUDIO_UNSPECIFIED},
                      Road{"WavInt16FromDouble", "a.wav", 48000, AUDIO_DOUBLE, AUDIO_INT16},
                      Road{"FlacInt16FromSingle", "a.flac", 44100, AUDIO_SINGLE, AUDIO_INT16}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(ThroughTheLibrary, PlugInRefusalsReachTheHostAsTheCataloguesMessages) {
  Scratch dir;
  expectFailure<Exception>([&] { openWriter(dir / "a.opus", 2, 44100, AUDIO_DOUBLE); },
                           "AudioWrite", "Unsupported Sample Rate value.");
  std::ofstream(dir / "notes.wav") << "no audio here\n";
  fmmfb2audioreader reader(u16(dir / "notes.wav"), "audiofilereader", "passthrough");
  expectFailure<Exception>([&] { reader.open(); }, "AudioWrite",
                           "The specified file type is not supported.");
}

// libsndfile keeps the error of a failed open in one process-wide value: the
// reader and the writer must read it under one lock, or one may report the
// other's. Writers fail on a FIFO (WAV cannot be written to a pipe), readers on
// a file of text; every failure must name its own file and its own reason.
TEST(AudioFilesAtOnce, OpenFailuresOnEightThreadsEachNameTheirOwnFile) {
  Scratch dir;
  for (int round = 0; round < 25; ++round) {
    std::vector<std::string> problems(8);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
      std::string const path = dir / (std::to_string(round * 8 + i) + (i % 2 ? ".bin" : ".wav"));
      EXPECT_TRUE(i % 2 ? bool(std::ofstream(path) << "not a sound file, only some text")
                        : ::mkfifo(path.c_str(), 0600) == 0);
      threads.emplace_back([&, i, path] {
        ResultMap result;
        Map options;
        options.text("Filename", path).number("SampleRate", 48000).number("NumberOfChannels", 2);
        for (++ready; ready.load() < 8;) std::this_thread::yield();
        std::string const text = refusalOf([&] {
          if (i % 2) return AudioFileReader().init(options, result.map);
          AudioFileWriter writer;
          writer.init(options, result.map);
          writer.open(options);
        });
        char const* reason = i % 2 ? "Format not recognised" : "pipe write";
        if (text.find(path + ":") == text.npos || text.find(reason) == text.npos)
          problems[i] = text;
      });
    }
    for (auto& t : threads) t.join();
    ASSERT_EQ(problems, std::vector<std::string>(8));
  }
}

}  // namespace
