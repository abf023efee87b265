// Audio test signals, and files written and read back through the library with
// the shipped plug-ins.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hostlib/multimedia/fmmfb2audioreader.h"
#include "hostlib/multimedia/tmmfb2audiowriter.h"
#include "support/Maps.h"

namespace testsupport {

namespace hm = hostlib::multimedia;

// Sample `frame` of `channel` in signal `seed`: every value distinct over long
// stretches, so that a lost, repeated or reordered block shows.
inline std::int16_t sampleAt(unsigned long frame, unsigned long channel, unsigned seed) {
  return static_cast<std::int16_t>(
      static_cast<long>((frame * 7 + channel * 1301 + seed * 977) % 65536) - 32768);
}

// Frames [first, first + frames) of signal `seed`, channel after channel, as a
// writer takes them.
inline std::vector<std::int16_t> block(unsigned long first, unsigned long frames,
                                       unsigned long channels, unsigned seed) {
  std::vector<std::int16_t> b(frames * channels);
  for (unsigned long c = 0; c < channels; ++c)
    for (unsigned long f = 0; f < frames; ++f) b[c * frames + f] = sampleAt(first + f, c, seed);
  return b;
}

// Two tones a channel, 0.6 peak, channel after channel; on the grid of
// `bits`-bit integers when bits is not 0, so that integer files hold them exactly.
inline std::vector<double> tones(unsigned long frames, unsigned long channels, double rate,
                                 int bits = 0) {
  double const pi = 3.14159265358979323846;
  std::vector<double> s(frames * channels);
  for (unsigned long c = 0; c < channels; ++c)
    for (unsigned long f = 0; f < frames; ++f) {
      double const t = f / rate;
      double v = 0.4 * std::sin(2 * pi * (440.0 + 110.0 * c) * t) +
                 0.2 * std::sin(2 * pi * 1230.0 * t + c);
      if (bits) v = std::round(v * std::ldexp(1.0, bits - 1)) / std::ldexp(1.0, bits - 1);
      s[c * frames + f] = v;
    }
  return s;
}

// Channel after channel into interleaved frames.
template <typename T>
std::vector<T> interleave(std::vector<T> const& s, unsigned long channels) {
  unsigned long const frames = s.size() / channels;
  std::vector<T> out(s.size());
  for (unsigned long f = 0; f < frames; ++f)
    for (unsigned long c = 0; c < channels; ++c) out[f * channels + c] = s[c * frames + f];
  return out;
}

// Signal-to-noise ratio in dB of `test` against `reference`.
inline double snr(std::vector<double> const& reference, std::vector<double> const& test) {
  double signal = 0, noise = 0;
  for (std::size_t i = 0; i < std::min(reference.size(), test.size()); ++i) {
    signal += reference[i] * reference[i];
    noise += (reference[i] - test[i]) * (reference[i] - test[i]);
  }
  return noise == 0 ? 200.0 : 10 * std::log10(signal / noise);
}

// An audio writer on the shipped plug-ins, opened.
inline std::unique_ptr<hm::tmmfb2audiowriter> openWriter(
    std::string const& path, unsigned long channels, unsigned long rate, hm::AudioDataType input,
    hm::AudioDataType file = hm::AUDIO_UNSPECIFIED) {
  auto writer = std::make_unique<hm::tmmfb2audiowriter>(u16(path), "audiofilewriter", "passthrough",
                                                        "audiofilter");
  writer->setSampleRate(rate);
  writer->setNumChannels(channels);
  writer->setInputDataType(input);
  writer->setFileDataType(file);
  writer->open();
  return writer;
}

// Writes `frames` frames of signal `seed` as int16 in blocks of `blockFrames`.
inline void writeBlocks(hm::tmmfb2audiowriter& writer, unsigned long frames,
                        unsigned long blockFrames, unsigned long channels, unsigned seed) {
  for (unsigned long f0 = 0; f0 < frames; f0 += blockFrames) {
    unsigned long const n = std::min(blockFrames, frames - f0);
    auto const b = block(f0, n, channels, seed);
    writer.writeAudio(reinterpret_cast<unsigned char const*>(b.data()), n, hm::AUDIO_INT16);
  }
}

// Every frame of a file of `channels` channels through the library's reader,
// `count` frames a read, as interleaved doubles.
inline std::vector<double> readFile(std::string const& path, unsigned long channels,
                                    unsigned long count = 777) {
  hm::fmmfb2audioreader reader(u16(path), "audiofilereader", "passthrough");
  reader.open();
  std::vector<double> all;
  for (;;) {
    unsigned char* data = nullptr;
    unsigned long const n = reader.readAudio(&data, count);
    std::unique_ptr<unsigned char[]> owned(data);
    if (n == 0 && reader.isEndOfAudio()) break;
    double const* x = reinterpret_cast<double const*>(data);
    if (x) all.insert(all.end(), x, x + n * channels);
  }
  reader.close();
  return all;
}

// "" when `got` holds exactly `frames` frames of signal `seed` as int16 scaled to
// doubles, else what differs first.
inline std::string differenceFrom(std::vector<double> const& got, unsigned long frames,
                                  unsigned long channels, unsigned seed) {
  for (unsigned long i = 0; i < std::min<std::size_t>(got.size(), frames * channels); ++i)
    if (got[i] != sampleAt(i / channels, i % channels, seed) / 32768.0)
      return "frame " + std::to_string(i / channels) + " channel " + std::to_string(i % channels) +
             " differs";
  if (got.size() != frames * channels)
    return std::to_string(got.size() / channels) + " frames, not " + std::to_string(frames);
  return "";
}

}  // namespace testsupport
