// The facts of an audio file that its decoder does not give by itself: what
// FFmpeg's demuxer finds in its packets (read, not decoded), and the names of
// containers and codecs.
#pragma once

#include <cstdint>
#include <string>

#include "Decoder.h"

namespace sluice {
namespace audiofile {

// The audio packets of a file's first audio stream, demuxed without decoding.
struct PacketTotals {
  bool ok = false;
  std::int64_t frames = 0;  // what a decoder delivers: packet durations less skipped samples
  std::uint64_t bytes = 0;  // packet payloads, container overhead excluded
};
PacketTotals scanPackets(std::string const& path);

// The frames of an MPEG audio file (MP3) counted from its frame headers alone,
// as a decoder that skips nothing delivers them: not ok when the file starts
// with a Xing, Info or VBRI header (whose encoder delay and padding the decoder
// honours), uses free-format bit rates or loses its frame sync.
PacketTotals scanMpegFrames(std::string const& path);

// Bytes of a FLAC file's audio frames: everything after its metadata blocks
// and before a trailing ID3v1 tag; 0 when the file is not plain FLAC.
std::uint64_t flacFrameBytes(std::string const& path);

// Our names for FFmpeg's demuxers ("mp3" -> "MP3", "mov,mp4,..." -> "MP4") and
// codecs (pcm_s16le -> "PCM", aac -> "AAC"), else FFmpeg's short names.
std::string formatName(char const* demuxer);
std::string codecName(int avCodecId);

// The bit rate once the length and stored bits are known: rate x channels x
// bits for PCM, else `audioBytes` (-1: not known) over the duration; 0 for a
// file without frames, -1 when not known.
void setBitRate(AudioFacts& facts, int rate, int channels, bool pcm, double audioBytes);

// The stored type and bits of a lossless stream of `bits` bits: the smallest
// signed type holding them (8-bit unsigned PCM stays unsigned).
void setStoredType(AudioFacts& facts, int bits, bool isFloat, bool isUnsigned);

}  // namespace audiofile
}  // namespace sluice
