// A tour of the library: writes a test signal to every audio format through
// tmmfb2audiowriter, asks fmmfb2audioinfo what each file is, reads it back through
// fmmfb2audioreader and prints what came back; then renders a short animation
// into every video format.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "demo_video.h"
#include "hostlib/multimedia/exceptions.h"
#include "hostlib/multimedia/fmmfb2audioinfo.h"
#include "hostlib/multimedia/fmmfb2audioreader.h"
#include "hostlib/multimedia/tmmfb2audiowriter.h"

using namespace hostlib::multimedia;
namespace fs = std::filesystem;

namespace {

std::u16string widen(std::string const& s) { return std::u16string(s.begin(), s.end()); }

struct AudioCase {
  char const* label;
  char const* file;
  AudioDataType stored;  // AUDIO_UNSPECIFIED: the format's own
  bool lossless;
  unsigned long rate;
};

// Two channels, 2 s: a 440 Hz sine on the left, a 1 kHz sine at -6 dB on the right,
// held channel after channel as a host's column-major matrix holds them.
std::vector<double> testSignal(unsigned long frames, unsigned long rate) {
  std::vector<double> s(frames * 2);
  const double pi = 3.14159265358979323846;
  for (unsigned long i = 0; i < frames; ++i) {
    s[i] = 0.8 * std::sin(2 * pi * 440.0 * i / rate);
    s[frames + i] = 0.5 * std::sin(2 * pi * 1000.0 * i / rate);
  }
  return s;
}

void audioTour(fs::path const& dir) {
  const AudioCase cases[] = {
      {"WAV int16", "tour-int16.wav", AUDIO_INT16, true, 48000},
      {"WAV int24", "tour-int24.wav", AUDIO_INT24, true, 48000},
      {"WAV float", "tour-float.wav", AUDIO_SINGLE, true, 48000},
      {"FLAC 16-bit", "tour-16.flac", AUDIO_INT16, true, 48000},
      {"FLAC 24-bit", "tour-24.flac", AUDIO_INT24, true, 48000},
      {"OGG Vorbis", "tour.ogg", AUDIO_UNSPECIFIED, false, 48000},
      {"Opus", "tour.opus", AUDIO_UNSPECIFIED, false, 48000},
      {"M4A AAC", "tour.m4a", AUDIO_UNSPECIFIED, false, 48000},
  };
  const unsigned long channels = 2;
  std::printf(
      "\nAudio: 2 channels, 2 s, written from column-major doubles; what the info\n"
      "class reports of each file, and what a full read gives back\n");
  std::printf("%-12s %-14s %6s %3s %7s %4s %8s %8s  %s\n", "written as", "info: format", "rate",
              "ch", "frames", "bits", "kbit/s", "read", "fidelity");
  for (auto const& c : cases) {
    const unsigned long frames = 2 * c.rate;
    std::vector<double> source = testSignal(frames, c.rate);
    std::string file = (dir / c.file).string();
    try {
      {
        tmmfb2audiowriter writer(widen(file), "audiofilewriter", "passthrough", "audiofilter");
        writer.setSampleRate(c.rate);
        writer.setNumChannels(channels);
        writer.setInputDataType(AUDIO_DOUBLE);
        if (c.stored != AUDIO_UNSPECIFIED) writer.setFileDataType(c.stored);
        writer.open();
        // Blocks of 4800 frames, each channel after channel.
        const unsigned long block = 4800;
        std::vector<double> chunk(block * channels);
        for (unsigned long at = 0; at < frames; at += block) {
          unsigned long n = std::min(block, frames - at);
          for (unsigned long ch = 0; ch < channels; ++ch)
            std::copy(&source[ch * frames + at], &source[ch * frames + at + n], &chunk[ch * n]);
          writer.writeAudio(reinterpret_cast<unsigned char const*>(chunk.data()), n, AUDIO_DOUBLE);
        }
        writer.close();
      }
      fmmfb2audioinfo info(widen(file), "audiofilereader", "passthrough");
      std::u16string const format = info.getFormat() + u"/" + info.getCodec();
      fmmfb2audioreader reader(widen(file), "audiofilereader", "passthrough");
      reader.open();
      std::vector<double> back;  // interleaved
      for (;;) {
        unsigned char* data = nullptr;
        unsigned long n = reader.readAudio(&data, 0);
        std::unique_ptr<unsigned char[]> owned(data);
        if (n == 0 && reader.isEndOfAudio()) break;
        if (!data) continue;
        double const* d = reinterpret_cast<double const*>(data);
        back.insert(back.end(), d, d + n * channels);
      }
      reader.close();
      unsigned long got = back.size() / channels;
      double worst = 0, signal = 0, noise = 0;
      for (unsigned long i = 0; i < std::min(got, frames); ++i)
        for (unsigned long ch = 0; ch < channels; ++ch) {
          double a = source[ch * frames + i], b = back[i * channels + ch];
          worst = std::max(worst, std::fabs(a - b));
          signal += a * a;
          noise += (a - b) * (a - b);
        }
      char fidelity[64];
      if (c.lossless)
        std::snprintf(fidelity, sizeof fidelity, "worst error %.2e", worst);
      else
        std::snprintf(fidelity, sizeof fidelity, "SNR %.1f dB",
                      noise > 0 ? 10 * std::log10(signal / noise) : 999.0);
      std::printf("%-12s %-14s %6.0f %3lu %7lu %4lu %8.1f %8lu  %s\n", c.label,
                  std::string(format.begin(), format.end()).c_str(), info.getSampleRate(),
                  info.getNumChannels(), info.getTotalFrames(), info.getBitsPerSample(),
                  info.getBitRate() / 1000, got, fidelity);
    } catch (Exception const& e) {
      std::printf("%-12s failed: %s: %s\n", c.label, e.name(), e.what());
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::printf("libzelhostlibmultimedia %s (built %s)\n", libzelhostlibmultimedia_version,
              libzelhostlibmultimedia_build_date);
  fs::path dir = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "hostlib-demo";
  fs::create_directories(dir);
  std::printf("files in %s\n", dir.string().c_str());

  // Every failure is an exception with an identifier and a catalogue message.
  try {
    tmmfb2audiowriter nowhere(u"/no/such/folder/out.wav", "audiofilewriter", "passthrough",
                              "audiofilter");
  } catch (Exception const& e) {
    std::printf("a writer into a missing folder: %s: %s\n", e.name(), e.what());
  }

  audioTour(dir);
  videoTour(dir);
  return 0;
}
