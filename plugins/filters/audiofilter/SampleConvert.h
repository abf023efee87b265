// Sample conversion kernels shared by the audio filter, the audio file plug-ins
// and the benchmarks: every AudioDataType to every other, either in place order
// (interleaved to interleaved) or while turning channel-after-channel blocks into
// interleaved frames. One kernel, instantiated per pair of types.
//
// Rules: float to integer scales by 2^(bits-1), rounds to nearest (ties to even)
// and clips to the type's range, NaN becoming 0; integer to float scales by
// 2^-(bits-1) (unsigned types offset by half their range first); integer to
// integer shifts; float to float casts. 24-bit types are 3 bytes, little-endian.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "hostlib/multimedia/datatypes.h"

namespace sluice {
namespace audio {

using hostlib::multimedia::AudioDataType;

namespace detail {

// Integer samples travel between types as a signed 32-bit value aligned to the
// top bit, so that integer-to-integer conversion is a pair of shifts.
template <typename Storage, int Bits, bool Unsigned, int Bytes = sizeof(Storage)>
struct IntType {
  static constexpr bool isFloat = false;
  static constexpr int bits = Bits;
  static constexpr std::size_t size = Bytes;
  static constexpr std::uint32_t offset = Unsigned ? 0x80000000u : 0u;

  static inline std::int32_t load(unsigned char const* p) {
    std::uint32_t raw;
    if (Bytes == 3) {
      raw = std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16;
    } else {
      Storage s;
      std::memcpy(&s, p, sizeof s);
      raw = std::uint32_t(s);
    }
    return std::int32_t((raw << (32 - Bits)) ^ offset);
  }

  // `aligned` holds the value in the top Bits bits.
  static inline void storeAligned(unsigned char* p, std::int32_t aligned) {
    std::uint32_t raw = (std::uint32_t(aligned) ^ offset) >> (32 - Bits);
    if (Bytes == 3) {
      p[0] = static_cast<unsigned char>(raw);
      p[1] = static_cast<unsigned char>(raw >> 8);
      p[2] = static_cast<unsigned char>(raw >> 16);
    } else {
      Storage s = static_cast<Storage>(raw);
      std::memcpy(p, &s, sizeof s);
    }
  }

  // Full scale ±1.0 to the nearest value of the type, clipped; NaN gives 0.
  static inline void storeFloat(unsigned char* p, double x) {
    constexpr double scale = double(std::uint64_t(1) << (Bits - 1));
    constexpr double lo = -scale;
    constexpr double hi = scale - 1.0;
    double y = x * scale;
    y = (y == y) ? y : 0.0;
    y = y < lo ? lo : y;
    y = y > hi ? hi : y;
    // Adding and removing 1.5 * 2^52 rounds to nearest in the current (default)
    // rounding mode without a call to lrint.
    constexpr double magic = 6755399441055744.0;
    y = (y + magic) - magic;
    std::int32_t v = static_cast<std::int32_t>(y);
    storeAligned(p, std::int32_t(std::uint32_t(v) << (32 - Bits)));
  }

  static inline double toDouble(std::int32_t aligned) {
    return double(aligned) * (1.0 / 2147483648.0);
  }
};

template <typename Storage>
struct FloatType {
  static constexpr bool isFloat = true;
  static constexpr std::size_t size = sizeof(Storage);
  static inline double load(unsigned char const* p) {
    Storage s;
    std::memcpy(&s, p, sizeof s);
    return double(s);
  }
  static inline void storeFloat(unsigned char* p, double x) {
    Storage s = static_cast<Storage>(x);
    std::memcpy(p, &s, sizeof s);
  }
};

// One sample from In to Out.
template <typename In, typename Out, bool InFloat = In::isFloat, bool OutFloat = Out::isFloat>
struct Convert;

template <typename In, typename Out>
struct Convert<In, Out, true, true> {
  static inline void one(unsigned char const* s, unsigned char* d) { Out::storeFloat(d, In::load(s)); }
};
template <typename In, typename Out>
struct Convert<In, Out, true, false> {
  static inline void one(unsigned char const* s, unsigned char* d) { Out::storeFloat(d, In::load(s)); }
};
template <typename In, typename Out>
struct Convert<In, Out, false, true> {
  static inline void one(unsigned char const* s, unsigned char* d) {
    Out::storeFloat(d, In::toDouble(In::load(s)));
  }
};
template <typename In, typename Out>
struct Convert<In, Out, false, false> {
  static inline void one(unsigned char const* s, unsigned char* d) { Out::storeAligned(d, In::load(s)); }
};

template <typename In, typename Out>
void convertRun(unsigned char const* src, unsigned char* dst, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) Convert<In, Out>::one(src + i * In::size, dst + i * Out::size);
}

// Channel-after-channel (frames per channel contiguous) to interleaved frames.
// Tiles of channels x frames keep both the rows read and the frames written in
// cache when there are many channels.
template <typename In, typename Out>
void transposeRun(unsigned char const* src, unsigned char* dst, std::size_t frames,
                  std::size_t channels) {
  if (channels == 1) {
    convertRun<In, Out>(src, dst, frames);
    return;
  }
  constexpr std::size_t frameTile = 256;
  constexpr std::size_t channelTile = 16;
  for (std::size_t f0 = 0; f0 < frames; f0 += frameTile) {
    std::size_t const f1 = std::min(frames, f0 + frameTile);
    for (std::size_t c0 = 0; c0 < channels; c0 += channelTile) {
      std::size_t const c1 = std::min(channels, c0 + channelTile);
      for (std::size_t c = c0; c < c1; ++c) {
        unsigned char const* s = src + (c * frames) * In::size;
        unsigned char* d = dst + c * Out::size;
        for (std::size_t f = f0; f < f1; ++f)
          Convert<In, Out>::one(s + f * In::size, d + f * channels * Out::size);
      }
    }
  }
}

// Calls fn.template operator()<Tag>() with the tag of `type`; false for a value
// that names no sample type.
template <typename Fn>
bool withType(long type, Fn&& fn) {
  switch (type) {
    case 0: fn(FloatType<double>()); return true;
    case 1: fn(FloatType<float>()); return true;
    case 2: fn(IntType<std::int8_t, 8, false>()); return true;
    case 3: fn(IntType<std::uint8_t, 8, true>()); return true;
    case 4: fn(IntType<std::int16_t, 16, false>()); return true;
    case 5: fn(IntType<std::uint16_t, 16, true>()); return true;
    case 6: fn(IntType<std::int32_t, 32, false>()); return true;
    case 7: fn(IntType<std::uint32_t, 32, true>()); return true;
    case 9: fn(IntType<std::int32_t, 24, false, 3>()); return true;
    case 10: fn(IntType<std::uint32_t, 24, true, 3>()); return true;
    default: return false;
  }
}

}  // namespace detail

// Converts `count` samples, in order. Returns null for a type that names none.
typedef void (*ConvertFunction)(unsigned char const* src, unsigned char* dst, std::size_t count);
// Turns frames x channels samples, channel after channel, into interleaved frames.
typedef void (*TransposeFunction)(unsigned char const* src, unsigned char* dst,
                                  std::size_t frames, std::size_t channels);

inline bool isSampleType(long type) { return type >= 0 && type <= 10 && type != 8; }

inline ConvertFunction convertFunction(long in, long out) {
  ConvertFunction result = nullptr;
  detail::withType(in, [&](auto i) {
    detail::withType(out, [&](auto o) {
      result = &detail::convertRun<decltype(i), decltype(o)>;
    });
  });
  return result;
}

inline TransposeFunction transposeFunction(long in, long out) {
  TransposeFunction result = nullptr;
  detail::withType(in, [&](auto i) {
    detail::withType(out, [&](auto o) {
      result = &detail::transposeRun<decltype(i), decltype(o)>;
    });
  });
  return result;
}

// The sample type names that travel in property maps ("double", "int24", ...);
// empty for a value that names no type.
inline std::string sampleTypeName(long type) {
  static char const* const names[] = {"double", "single", "int8",  "uint8", "int16", "uint16",
                                      "int32",  "uint32", "",      "int24", "uint24"};
  return (type >= 0 && type <= 10) ? names[type] : "";
}

// The type a name gives; false for a name of no sample type.
inline bool sampleTypeFromName(std::string const& name, AudioDataType& type) {
  for (long t = 0; t <= 10; ++t) {
    if (t != 8 && name == sampleTypeName(t)) {
      type = static_cast<AudioDataType>(t);
      return true;
    }
  }
  return false;
}

}  // namespace audio
}  // namespace sluice
