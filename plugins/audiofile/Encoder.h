// The writer's backends: one encoder per open file, fed interleaved frames of
// the sample type it asks for, on the channel's worker thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "sluice/media.h"

namespace sluice {
namespace audiofile {

enum class Container { Wav, Flac, Vorbis, Opus, Aac };

struct EncoderSettings {
  std::string path;  // UTF-8
  Container container = Container::Wav;
  int sampleRate = 0;
  int channels = 0;
  double bitRate = 0;  // AAC and Opus, bits per second
  double quality = 0;  // Vorbis, 0 to 1
  // WAV and FLAC: the sample type stored in the file.
  AudioDataType fileType = hostlib::multimedia::AUDIO_INT16;
  // The sample type records arrive in ("FilterOutputDataType"); double when not said.
  AudioDataType receivedType = hostlib::multimedia::AUDIO_DOUBLE;
};

class Encoder {
 public:
  virtual ~Encoder() = default;  // an encoder not finished closes what it can, quietly
  // The type whose rounding and clipping the file's samples get.
  virtual AudioDataType storedType() const = 0;
  // The type write() takes: storedType() or a wider type holding it exactly.
  virtual AudioDataType writeType() const = 0;
  // Appends `frames` interleaved frames of writeType(); throws on a short write.
  virtual void write(unsigned char const* samples, std::size_t frames) = 0;
  // Completes the file; throws when it cannot.
  virtual void finish() = 0;
};

// Frames written between two refreshes of the length a WAV or FLAC header
// declares: a quarter of a second, so that a killed writer's file declares all
// but its last second, what the writer gathered, the queue and the encoder's
// own delay counted in.
inline std::uint64_t headerRefreshFrames(int sampleRate) {
  return std::uint64_t(sampleRate > 3 ? sampleRate / 4 : 1);
}

// Each throws sdk::Failure ("audiofilewriter:<Identifier>") when the file cannot
// be created with these settings.
std::unique_ptr<Encoder> createSndfileEncoder(EncoderSettings const& settings);
std::unique_ptr<Encoder> createFlacEncoder(EncoderSettings const& settings);
std::unique_ptr<Encoder> createVorbisEncoder(EncoderSettings const& settings);
std::unique_ptr<Encoder> createAacEncoder(EncoderSettings const& settings);

}  // namespace audiofile
}  // namespace sluice
