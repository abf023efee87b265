// The sample conversion kernel behind AudioKernels.h: every AudioDataType to
// every other, either in place order (interleaved to interleaved) or while
// turning channel-after-channel blocks into interleaved frames. One template,
// instantiated per pair of types in AudioKernels.cpp; the vector fast paths
// (Vector<In, Out>) are specialised here, beside it.
//
// The conversion rules are those AudioKernels.h states.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#endif

namespace sluice {
namespace kernels {
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
  static inline void one(unsigned char const* s, unsigned char* d) {
    Out::storeFloat(d, In::load(s));
  }
};
template <typename In, typename Out>
struct Convert<In, Out, true, false> {
  static inline void one(unsigned char const* s, unsigned char* d) {
    Out::storeFloat(d, In::load(s));
  }
};
template <typename In, typename Out>
struct Convert<In, Out, false, true> {
  static inline void one(unsigned char const* s, unsigned char* d) {
    Out::storeFloat(d, In::toDouble(In::load(s)));
  }
};
template <typename In, typename Out>
struct Convert<In, Out, false, false> {
  static inline void one(unsigned char const* s, unsigned char* d) {
    Out::storeAligned(d, In::load(s));
  }
};

// One vector (16 bytes) of Out samples from the In samples at p, for the
// conversions hosts use most: bit for bit what Convert gives (NaN masked to 0
// before clipping, rounding in the same default mode). `count` is the number
// of samples in a vector; 0 where there is no vector path.
template <typename In, typename Out>
struct Vector {
  static constexpr std::size_t count = 0;
};

#if defined(__SSE2__)
using Double = FloatType<double>;
using Single = FloatType<float>;
using Int16 = IntType<std::int16_t, 16, false>;
using Int32 = IntType<std::int32_t, 32, false>;

// Two doubles, scaled, NaN to 0 and clipped, rounded to int32 in the low half.
inline __m128i roundClipped(double const* p, __m128d scale, __m128d lo, __m128d hi) {
  __m128d x = _mm_mul_pd(_mm_loadu_pd(p), scale);
  x = _mm_and_pd(x, _mm_cmpeq_pd(x, x));
  return _mm_cvtpd_epi32(_mm_min_pd(_mm_max_pd(x, lo), hi));
}

template <>
struct Vector<Double, Int16> {
  static constexpr std::size_t count = 8;
  static __m128i load(unsigned char const* p) {
    __m128d const scale = _mm_set1_pd(32768.0), lo = _mm_set1_pd(-32768.0),
                  hi = _mm_set1_pd(32767.0);
    double const* in = reinterpret_cast<double const*>(p);
    __m128i a = roundClipped(in, scale, lo, hi), b = roundClipped(in + 2, scale, lo, hi);
    __m128i c = roundClipped(in + 4, scale, lo, hi), d = roundClipped(in + 6, scale, lo, hi);
    return _mm_packs_epi32(_mm_unpacklo_epi64(a, b), _mm_unpacklo_epi64(c, d));
  }
};

template <>
struct Vector<Double, Int32> {
  static constexpr std::size_t count = 4;
  static __m128i load(unsigned char const* p) {
    __m128d const scale = _mm_set1_pd(2147483648.0), lo = _mm_set1_pd(-2147483648.0),
                  hi = _mm_set1_pd(2147483647.0);
    double const* in = reinterpret_cast<double const*>(p);
    return _mm_unpacklo_epi64(roundClipped(in, scale, lo, hi), roundClipped(in + 2, scale, lo, hi));
  }
};

template <>
struct Vector<Double, Single> {
  static constexpr std::size_t count = 4;
  static __m128i load(unsigned char const* p) {
    double const* in = reinterpret_cast<double const*>(p);
    __m128 a = _mm_cvtpd_ps(_mm_loadu_pd(in)), b = _mm_cvtpd_ps(_mm_loadu_pd(in + 2));
    return _mm_castps_si128(_mm_movelh_ps(a, b));
  }
};

template <>
struct Vector<Single, Int16> {
  static constexpr std::size_t count = 8;
  static __m128i load(unsigned char const* p) {
    // Scaling a float by 2^15 is exact (or overflows to infinity, clipped alike).
    __m128 const scale = _mm_set1_ps(32768.0f), lo = _mm_set1_ps(-32768.0f),
                 hi = _mm_set1_ps(32767.0f);
    float const* in = reinterpret_cast<float const*>(p);
    __m128i v[2];
    for (int k = 0; k < 2; ++k) {
      __m128 x = _mm_mul_ps(_mm_loadu_ps(in + 4 * k), scale);
      x = _mm_and_ps(x, _mm_cmpeq_ps(x, x));
      v[k] = _mm_cvtps_epi32(_mm_min_ps(_mm_max_ps(x, lo), hi));
    }
    return _mm_packs_epi32(v[0], v[1]);
  }
};

template <>
struct Vector<Int16, Double> {
  static constexpr std::size_t count = 2;
  static __m128i load(unsigned char const* p) {
    std::int16_t v[2];
    std::memcpy(v, p, sizeof v);
    __m128i x = _mm_set_epi32(0, 0, v[1], v[0]);
    return _mm_castpd_si128(_mm_mul_pd(_mm_cvtepi32_pd(x), _mm_set1_pd(1.0 / 32768.0)));
  }
};

template <>
struct Vector<Int16, Single> {
  static constexpr std::size_t count = 4;
  static __m128i load(unsigned char const* p) {
    __m128i x = _mm_loadl_epi64(reinterpret_cast<__m128i const*>(p));
    x = _mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16);
    return _mm_castps_si128(_mm_mul_ps(_mm_cvtepi32_ps(x), _mm_set1_ps(1.0f / 32768.0f)));
  }
};
#endif

template <typename In, typename Out>
void convertRun(unsigned char const* src, unsigned char* dst, std::size_t count) {
  if constexpr (std::is_same<In, Out>::value) {
    // A type to itself is the identity (and an empty run may have no buffers).
    if (count) std::memcpy(dst, src, count * In::size);
  } else {
    std::size_t i = 0;
#if defined(__SSE2__)
    constexpr std::size_t n = Vector<In, Out>::count;
    if constexpr (n != 0)
      for (; i + n <= count; i += n)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i * Out::size),
                         Vector<In, Out>::load(src + i * In::size));
#endif
    for (; i < count; ++i) Convert<In, Out>::one(src + i * In::size, dst + i * Out::size);
  }
}

// Whether interleave has vector shuffles for `channels` channels of Size bytes.
template <std::size_t Size>
inline bool shuffles(std::size_t channels) {
#if defined(__SSE2__)
  switch (Size) {
    case 2:
      return channels == 2 || channels == 8;
    case 4:
      return channels == 2 || channels == 4 || channels == 8;
    case 8:
      return channels % 2 == 0;
    default:
      return false;
  }
#else
  (void)channels;
  return false;
#endif
}

#if defined(__SSE2__)
// Eight vectors of eight int16 samples, one a channel, stored as eight
// interleaved frames at `out` (128 bytes): an 8 x 8 transpose in three rounds
// of unpacking.
inline void storeEightChannelsInt16(__m128i const (&r)[8], unsigned char* out) {
  __m128i t[8], u[8];
  for (int k = 0; k < 4; ++k) {
    t[2 * k] = _mm_unpacklo_epi16(r[2 * k], r[2 * k + 1]);
    t[2 * k + 1] = _mm_unpackhi_epi16(r[2 * k], r[2 * k + 1]);
  }
  for (int k = 0; k < 2; ++k) {
    u[4 * k] = _mm_unpacklo_epi32(t[4 * k], t[4 * k + 2]);
    u[4 * k + 1] = _mm_unpackhi_epi32(t[4 * k], t[4 * k + 2]);
    u[4 * k + 2] = _mm_unpacklo_epi32(t[4 * k + 1], t[4 * k + 3]);
    u[4 * k + 3] = _mm_unpackhi_epi32(t[4 * k + 1], t[4 * k + 3]);
  }
  for (int k = 0; k < 4; ++k) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32 * k), _mm_unpacklo_epi64(u[k], u[k + 4]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32 * k + 16),
                     _mm_unpackhi_epi64(u[k], u[k + 4]));
  }
}
#endif

// Writes interleaved frames of `channels` samples of Size bytes at dst.
// load(c, f) gives the vector of 16 / Size samples of channel c from frame f;
// one(c, f, d) writes the one sample of channel c at frame f to d. Channel
// counts that `shuffles` names go through vector shuffles; the rest one sample
// at a time, writing in order.
template <std::size_t Size, typename Load, typename One>
void interleaveWith(Load load, One one, unsigned char* dst, std::size_t frames,
                    std::size_t channels) {
  std::size_t f = 0;
#if defined(__SSE2__)
  auto store = [&](std::size_t at, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + at * Size), v);
  };
  if (Size == 2 && channels == 2) {
    for (; f + 8 <= frames; f += 8) {
      __m128i a = load(0, f), b = load(1, f);
      store(2 * f, _mm_unpacklo_epi16(a, b));
      store(2 * f + 8, _mm_unpackhi_epi16(a, b));
    }
  } else if (Size == 2 && channels == 8) {
    for (; f + 8 <= frames; f += 8) {
      __m128i r[8];
      for (std::size_t c = 0; c < 8; ++c) r[c] = load(c, f);
      storeEightChannelsInt16(r, dst + 16 * f);
    }
  } else if (Size == 4 && channels == 2) {
    for (; f + 4 <= frames; f += 4) {
      __m128i a = load(0, f), b = load(1, f);
      store(2 * f, _mm_unpacklo_epi32(a, b));
      store(2 * f + 4, _mm_unpackhi_epi32(a, b));
    }
  } else if (Size == 4 && (channels == 4 || channels == 8)) {
    for (; f + 4 <= frames; f += 4) {
      for (std::size_t c0 = 0; c0 < channels; c0 += 4) {
        __m128i a = load(c0, f), b = load(c0 + 1, f), c = load(c0 + 2, f), e = load(c0 + 3, f);
        __m128i ab0 = _mm_unpacklo_epi32(a, b), ab1 = _mm_unpackhi_epi32(a, b);
        __m128i ce0 = _mm_unpacklo_epi32(c, e), ce1 = _mm_unpackhi_epi32(c, e);
        store(channels * f + c0, _mm_unpacklo_epi64(ab0, ce0));
        store(channels * (f + 1) + c0, _mm_unpackhi_epi64(ab0, ce0));
        store(channels * (f + 2) + c0, _mm_unpacklo_epi64(ab1, ce1));
        store(channels * (f + 3) + c0, _mm_unpackhi_epi64(ab1, ce1));
      }
    }
  } else if (Size == 8 && channels % 2 == 0) {
    for (; f + 2 <= frames; f += 2) {
      for (std::size_t c = 0; c < channels; c += 2) {
        __m128i a = load(c, f), b = load(c + 1, f);
        store(channels * f + c, _mm_unpacklo_epi64(a, b));
        store(channels * (f + 1) + c, _mm_unpackhi_epi64(a, b));
      }
    }
  }
#else
  (void)load;
#endif
  for (; f < frames; ++f)
    for (std::size_t c = 0; c < channels; ++c) one(c, f, dst + (f * channels + c) * Size);
}

// Interleaves `channels` runs of `frames` samples of Size bytes (run c at
// src + c * stride * Size) into frames at dst.
template <std::size_t Size>
void interleave(unsigned char const* src, std::size_t stride, unsigned char* dst,
                std::size_t frames, std::size_t channels) {
  auto at = [&](std::size_t c, std::size_t f) { return src + (c * stride + f) * Size; };
  interleaveWith<Size>(
      [&](std::size_t c, std::size_t f) {
#if defined(__SSE2__)
        return _mm_loadu_si128(reinterpret_cast<__m128i const*>(at(c, f)));
#else
        return 0;
#endif
      },
      [&](std::size_t c, std::size_t f, unsigned char* d) { std::memcpy(d, at(c, f), Size); }, dst,
      frames, channels);
}

#if defined(__GNUC__) && defined(__x86_64__)
// With AVX (chosen at run time; the shipped build stays SSE2), double to int16
// four samples at a time: the same operations as roundClipped in the same
// order, so bit for bit the same codes.
__attribute__((target("avx"))) inline __m128i roundClippedInt16Avx(double const* p) {
  __m256d const scale = _mm256_set1_pd(32768.0), lo = _mm256_set1_pd(-32768.0),
                hi = _mm256_set1_pd(32767.0);
  __m256d x = _mm256_mul_pd(_mm256_loadu_pd(p), scale);
  x = _mm256_and_pd(x, _mm256_cmp_pd(x, x, _CMP_EQ_OQ));
  return _mm256_cvtpd_epi32(_mm256_min_pd(_mm256_max_pd(x, lo), hi));
}

// Two channels of doubles, channel after channel, into interleaved int16
// frames: the most common small write.
__attribute__((target("avx"))) inline void stereoDoubleToInt16Avx(unsigned char const* src,
                                                                  unsigned char* dst,
                                                                  std::size_t frames) {
  double const* left = reinterpret_cast<double const*>(src);
  double const* right = left + frames;
  std::size_t f = 0;
  for (; f + 8 <= frames; f += 8) {
    __m128i const a =
        _mm_packs_epi32(roundClippedInt16Avx(left + f), roundClippedInt16Avx(left + f + 4));
    __m128i const b =
        _mm_packs_epi32(roundClippedInt16Avx(right + f), roundClippedInt16Avx(right + f + 4));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * f), _mm_unpacklo_epi16(a, b));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * f + 16), _mm_unpackhi_epi16(a, b));
  }
  for (; f < frames; ++f) {
    Convert<Double, Int16>::one(src + 8 * f, dst + 4 * f);
    Convert<Double, Int16>::one(src + 8 * (frames + f), dst + 4 * f + 2);
  }
}

// Eight channels of doubles into interleaved int16 frames: the shuffles of
// interleaveWith's eight-channel path over the same codes.
__attribute__((target("avx"))) inline void eightDoubleToInt16Avx(unsigned char const* src,
                                                                 unsigned char* dst,
                                                                 std::size_t frames) {
  double const* in = reinterpret_cast<double const*>(src);
  std::size_t f = 0;
  for (; f + 8 <= frames; f += 8) {
    __m128i r[8];
    for (std::size_t c = 0; c < 8; ++c)
      r[c] = _mm_packs_epi32(roundClippedInt16Avx(in + c * frames + f),
                             roundClippedInt16Avx(in + c * frames + f + 4));
    storeEightChannelsInt16(r, dst + 16 * f);
  }
  for (; f < frames; ++f)
    for (std::size_t c = 0; c < 8; ++c)
      Convert<Double, Int16>::one(src + 8 * (c * frames + f), dst + 2 * (8 * f + c));
}

inline bool haveAvx() {
  static bool const have = __builtin_cpu_supports("avx");
  return have;
}
#endif

// Channel-after-channel (frames per channel contiguous) to interleaved frames.
// A type to itself, and the conversions with a vector path at channel counts
// with vector shuffles, convert and interleave in registers, reading every
// channel a vector at a time. The rest go tile by tile: each channel's run of
// a tile is converted into a small buffer in the first-level cache, then the
// tile is interleaved from there.
template <typename In, typename Out>
void transposeRun(unsigned char const* src, unsigned char* dst, std::size_t frames,
                  std::size_t channels) {
  if (channels == 1) {
    convertRun<In, Out>(src, dst, frames);
    return;
  }
  auto at = [&](std::size_t c, std::size_t f) { return src + (c * frames + f) * In::size; };
#if defined(__GNUC__) && defined(__x86_64__)
  if constexpr (std::is_same<In, Double>::value && std::is_same<Out, Int16>::value)
    if ((channels == 2 || channels == 8) && haveAvx()) {
      (channels == 2 ? stereoDoubleToInt16Avx : eightDoubleToInt16Avx)(src, dst, frames);
      return;
    }
#endif
  if constexpr (std::is_same<In, Out>::value) {
    interleave<In::size>(src, frames, dst, frames, channels);
    return;
  } else if constexpr (Vector<In, Out>::count * Out::size == 16) {
    if (shuffles<Out::size>(channels)) {
      interleaveWith<Out::size>(
          [&](std::size_t c, std::size_t f) { return Vector<In, Out>::load(at(c, f)); },
          [&](std::size_t c, std::size_t f, unsigned char* d) {
            Convert<In, Out>::one(at(c, f), d);
          },
          dst, frames, channels);
      return;
    }
  }
  // 8 frames a tile: every channel's run is read a cache line of doubles at a
  // time, which the prefetchers follow for many channels at once.
  constexpr std::size_t bufferBytes = 16384;
  std::size_t const tile = std::min<std::size_t>(8, bufferBytes / (channels * Out::size) / 8 * 8);
  if (tile == 0) {
    // More channels than the buffer takes 8 frames of: tiles of channels x
    // frames, converting straight into place.
    constexpr std::size_t frameTile = 256;
    constexpr std::size_t channelTile = 16;
    for (std::size_t f0 = 0; f0 < frames; f0 += frameTile) {
      std::size_t const f1 = std::min(frames, f0 + frameTile);
      for (std::size_t c0 = 0; c0 < channels; c0 += channelTile) {
        std::size_t const c1 = std::min(channels, c0 + channelTile);
        for (std::size_t c = c0; c < c1; ++c) {
          unsigned char* d = dst + c * Out::size;
          for (std::size_t f = f0; f < f1; ++f)
            Convert<In, Out>::one(at(c, f), d + f * channels * Out::size);
        }
      }
    }
    return;
  }
  alignas(64) unsigned char buffer[bufferBytes];
  for (std::size_t f0 = 0; f0 < frames; f0 += tile) {
    std::size_t const n = std::min(tile, frames - f0);
    for (std::size_t c = 0; c < channels; ++c)
      convertRun<In, Out>(at(c, f0), buffer + c * tile * Out::size, n);
    interleave<Out::size>(buffer, tile, dst + f0 * channels * Out::size, n, channels);
  }
}

// Calls fn.template operator()<Tag>() with the tag of `type`; false for a value
// that names no sample type.
template <typename Fn>
bool withType(long type, Fn&& fn) {
  switch (type) {
    case 0:
      fn(FloatType<double>());
      return true;
    case 1:
      fn(FloatType<float>());
      return true;
    case 2:
      fn(IntType<std::int8_t, 8, false>());
      return true;
    case 3:
      fn(IntType<std::uint8_t, 8, true>());
      return true;
    case 4:
      fn(IntType<std::int16_t, 16, false>());
      return true;
    case 5:
      fn(IntType<std::uint16_t, 16, true>());
      return true;
    case 6:
      fn(IntType<std::int32_t, 32, false>());
      return true;
    case 7:
      fn(IntType<std::uint32_t, 32, true>());
      return true;
    case 9:
      fn(IntType<std::int32_t, 24, false, 3>());
      return true;
    case 10:
      fn(IntType<std::uint32_t, 24, true, 3>());
      return true;
    default:
      return false;
  }
}

}  // namespace detail

}  // namespace kernels
}  // namespace sluice
