// Shared pieces of the reliability tests: exact int16 signals written through
// the library with the shipped plug-ins and read back through its reader.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/AudioTestSupport.h"
#include "hostlib/multimedia/exceptions.h"
#include "hostlib/multimedia/fmmfb2audioreader.h"
#include "hostlib/multimedia/tmmfb2audiowriter.h"

namespace reliability {

namespace hm = hostlib::multimedia;

inline std::u16string wide(std::string const& s) { return std::u16string(s.begin(), s.end()); }

// Sample `frame` of `channel` in signal `seed`: every value distinct over long
// stretches, so a lost, repeated or reordered block shows.
inline std::int16_t sampleAt(unsigned long frame, unsigned long channel, unsigned seed) {
  return static_cast<std::int16_t>(
      static_cast<long>((frame * 7 + channel * 1301 + seed * 977) % 65536) - 32768);
}

// One block of `frames` frames from `first` on, channel after channel, as the
// writer takes it.
inline std::vector<std::int16_t> block(unsigned long first, unsigned long frames,
                                       unsigned long channels, unsigned seed) {
  std::vector<std::int16_t> b(frames * channels);
  for (unsigned long c = 0; c < channels; ++c)
    for (unsigned long f = 0; f < frames; ++f) b[c * frames + f] = sampleAt(first + f, c, seed);
  return b;
}

inline std::unique_ptr<hm::tmmfb2audiowriter> openWriter(std::string const& path,
                                                         unsigned long channels,
                                                         unsigned long rate = 48000) {
  auto writer = std::make_unique<hm::tmmfb2audiowriter>(wide(path), "audiofilewriter",
                                                        "passthrough", "audiofilter");
  writer->setSampleRate(rate);
  writer->setNumChannels(channels);
  writer->setInputDataType(hm::AUDIO_INT16);
  // Lossy files take no sample type.
  if (path.size() < 4 || path.compare(path.size() - 4, 4, ".ogg") != 0)
    writer->setFileDataType(hm::AUDIO_INT16);
  writer->open();
  return writer;
}

inline void writeBlocks(hm::tmmfb2audiowriter& writer, unsigned long frames, unsigned long block_,
                        unsigned long channels, unsigned seed) {
  for (unsigned long f0 = 0; f0 < frames; f0 += block_) {
    unsigned long n = std::min(block_, frames - f0);
    auto b = block(f0, n, channels, seed);
    writer.writeAudio(reinterpret_cast<unsigned char const*>(b.data()), n, hm::AUDIO_INT16);
  }
}

// Writes `frames` frames of signal `seed` in blocks of `block_` frames and closes.
inline void writeFile(std::string const& path, unsigned long frames, unsigned long channels,
                      unsigned seed, unsigned long block_ = 480) {
  auto writer = openWriter(path, channels);
  writeBlocks(*writer, frames, block_, channels, seed);
  writer->close();
}

// Reads the whole file through the library; "" when every frame equals signal
// `seed` and there are exactly `frames` of them, else what differs first.
inline std::string verifyFile(std::string const& path, unsigned long frames, unsigned long channels,
                              unsigned seed, unsigned long count = 777) {
  hm::fmmfb2audioreader reader(wide(path), "audiofilereader", "passthrough");
  reader.open();
  unsigned long at = 0;
  for (;;) {
    unsigned char* data = nullptr;
    unsigned long n = reader.readAudio(&data, count);
    std::unique_ptr<unsigned char[]> owned(data);
    if (n == 0 && reader.isEndOfAudio()) break;
    double const* x = reinterpret_cast<double const*>(data);
    for (unsigned long f = 0; f < n; ++f)
      for (unsigned long c = 0; c < channels; ++c)
        if (x[f * channels + c] != sampleAt(at + f, c, seed) / 32768.0)
          return path + ": frame " + std::to_string(at + f) + " channel " + std::to_string(c) +
                 " differs";
    at += n;
  }
  reader.close();
  if (at != frames)
    return path + ": " + std::to_string(at) + " frames, not " + std::to_string(frames);
  return "";
}

}  // namespace reliability
