// Movie fragments for files that stay readable when their writer is killed: an
// initial moov whose one track (ID 1) declares an mvex, then moof + mdat pairs,
// each moof indexing the samples of the mdat right after it.
#pragma once

#include <cstdint>
#include <vector>

#include "IsoBoxWriter.h"

namespace sluice {
namespace support {

struct FragmentSample {
  std::uint32_t size = 0;
  std::uint32_t duration = 0;          // in the track's timescale
  std::int32_t compositionOffset = 0;  // presentation less decoding time
  bool sync = true;
};

// The mvex of the initial moov: track 1 goes on in fragments, sample entry 1.
inline void writeMvex(IsoBoxWriter& b) {
  b.begin("mvex");
  b.beginFull("trex", 0, 0);
  b.u32(1);  // track ID
  b.u32(1);  // sample description index
  b.u32(0);  // default duration, size and flags: each sample carries its own
  b.u32(0);
  b.u32(0);
  b.end();
  b.end();
}

// The size of the header of an mdat holding `payload` bytes: 16 once its size
// needs 64 bits.
inline std::uint32_t mdatHeaderSize(std::uint64_t payload) {
  return payload + 8 > 0xffffffffu ? 16 : 8;
}

// An mdat header for `payload` bytes, `headerSize` (8 or 16) bytes long.
inline void writeMdatHeader(IsoBoxWriter& b, std::uint64_t payload, std::uint32_t headerSize) {
  if (headerSize == 16) {
    b.u32(1);
    b.type("mdat");
    b.u64(payload + 16);
  } else {
    b.u32(static_cast<std::uint32_t>(payload + 8));
    b.type("mdat");
  }
}

// The moof of fragment `sequence` (from 1) of track 1, its first sample decoded
// at `baseTime`; the samples follow in this order in the mdat right after the
// moof, the first `gap` bytes after the moof's end (the mdat header at least).
inline std::vector<std::uint8_t> movieFragment(std::uint32_t sequence, std::uint64_t baseTime,
                                               std::vector<FragmentSample> const& samples,
                                               std::uint64_t gap) {
  bool offsets = false, negative = false, allSync = true;
  for (auto const& s : samples) {
    offsets = offsets || s.compositionOffset != 0;
    negative = negative || s.compositionOffset < 0;
    allSync = allSync && s.sync;
  }
  IsoBoxWriter b;
  b.begin("moof");
  b.beginFull("mfhd", 0, 0);
  b.u32(sequence);
  b.end();
  b.begin("traf");
  // Offsets count from the moof; when every sample is a sync sample, that is said
  // once here rather than per sample.
  b.beginFull("tfhd", 0, 0x020000 | (allSync ? 0x000020 : 0));
  b.u32(1);
  if (allSync) b.u32(0x02000000);  // depends on no other sample
  b.end();
  b.beginFull("tfdt", 1, 0);
  b.u64(baseTime);
  b.end();
  // Data offset, then duration, size, flags and composition offset per sample.
  b.beginFull("trun", negative ? 1 : 0,
              0x000301 | (allSync ? 0 : 0x000400) | (offsets ? 0x000800 : 0));
  b.u32(static_cast<std::uint32_t>(samples.size()));
  std::size_t const dataOffsetAt = b.bytes().size();
  b.u32(0);
  for (auto const& s : samples) {
    b.u32(s.duration);
    b.u32(s.size);
    if (!allSync) b.u32(s.sync ? 0x02000000 : 0x01010000);  // or: depends on others, not sync
    if (offsets) b.u32(static_cast<std::uint32_t>(s.compositionOffset));
  }
  b.end();  // trun
  b.end();  // traf
  b.end();  // moof
  auto& bytes = b.bytes();
  std::uint32_t const dataOffset = static_cast<std::uint32_t>(bytes.size() + gap);
  for (int i = 0; i < 4; ++i)
    bytes[dataOffsetAt + i] = static_cast<std::uint8_t>(dataOffset >> (24 - 8 * i));
  return std::move(bytes);
}

}  // namespace support
}  // namespace sluice
