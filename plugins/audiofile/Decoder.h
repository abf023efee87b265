// The reader's backends: one decoder per open file, delivering interleaved
// doubles at full scale ±1.0 from frame 0 on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "sluice/media.h"

namespace sluice {
namespace audiofile {

// What a file is, as the reader reports it at init.
struct AudioFacts {
  std::int64_t totalFrames = -1;  // exactly what a full read delivers; -1: not known
  AudioDataType fileType = hostlib::multimedia::AUDIO_UNSPECIFIED;  // stored PCM/FLAC type
  int bitsPerSample = 0;                                            // 0 for lossy codecs
  double bitRate = 0;         // bits of audio packets per second
  std::string format, codec;  // "WAV", "FLAC", ...; "PCM", "Vorbis", ...
};

class Decoder {
 public:
  virtual ~Decoder() = default;
  // The facts of the file at `path`, which this decoder reads; some take a pass
  // over the file's packets, so they are asked for only when wanted.
  virtual AudioFacts facts(std::string const& path) const = 0;
  virtual int channels() const = 0;
  virtual int sampleRate() const = 0;
  // Frames in the file when the container says, else -1.
  virtual std::int64_t frames() const = 0;
  // Up to `frames` frames into `out`; 0 only at the end. Throws sdk::Failure
  // ("audiofilereader:FileCorrupt", ...) on damaged data.
  virtual std::size_t read(double* out, std::size_t frames) = 0;
};

// libsndfile for what it reads exactly (WAV, FLAC, Ogg Vorbis and Opus, AIFF...),
// FFmpeg for the rest (MP3, MPEG-4 AAC, ...). Throws sdk::Failure with the
// identifier of what went wrong.
std::unique_ptr<Decoder> openDecoder(std::string const& path);

// Why a backend could not open a file: `corrupt` when it knows the type but
// cannot read the file, and what it said.
struct Refusal {
  bool corrupt = false;
  std::string why;
};

// Each backend: null when it cannot open the file, with `refusal` saying why.
std::unique_ptr<Decoder> openSndfileDecoder(std::string const& path, Refusal& refusal);
std::unique_ptr<Decoder> openFfmpegDecoder(std::string const& path, Refusal& refusal);

}  // namespace audiofile
}  // namespace sluice
