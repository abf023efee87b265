// Three column-major planes into packed 3-byte pixels, the layout of a BGR24
// frame. The generic version is three transposePlane passes; 8-bit planes (what
// hosts hand over most) go through 16 x 16 byte transposes in vector registers
// and leave as whole 48-byte runs of a row, about ten times fewer memory
// operations than one byte at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <tmmintrin.h>
#include <xmmintrin.h>
#endif

#include "PlaneTranspose.h"

namespace videofilter {

// Pixel (r, c) goes to first + r * rowStride + 3 * c as the codes of (q0, q1, q2)
// at (r, c); a negative rowStride with `first` on the last row writes bottom-up.
template <typename T>
void packThree(unsigned char const* q0, unsigned char const* q1, unsigned char const* q2,
               std::size_t w, std::size_t h, std::uint8_t* first, std::ptrdiff_t rowStride) {
  transposePlane<T, std::uint8_t>(q0, w, h, first, 3, rowStride);
  transposePlane<T, std::uint8_t>(q1, w, h, first + 1, 3, rowStride);
  transposePlane<T, std::uint8_t>(q2, w, h, first + 2, 3, rowStride);
}

#if defined(__SSE2__)
namespace detail {

// x[j] holds 16 bytes of column j; afterwards x[i] holds byte i of every column.
inline void transpose16(__m128i x[16]) {
  __m128i a[16], b[16];
  for (int k = 0; k < 8; ++k) {
    a[k] = _mm_unpacklo_epi8(x[2 * k], x[2 * k + 1]);
    a[k + 8] = _mm_unpackhi_epi8(x[2 * k], x[2 * k + 1]);
  }
  for (int half = 0; half < 2; ++half)
    for (int k = 0; k < 4; ++k) {
      b[8 * half + k] = _mm_unpacklo_epi16(a[8 * half + 2 * k], a[8 * half + 2 * k + 1]);
      b[8 * half + k + 4] = _mm_unpackhi_epi16(a[8 * half + 2 * k], a[8 * half + 2 * k + 1]);
    }
  // b[4q + k]: bytes 4q .. 4q + 3 of columns 4k .. 4k + 3.
  for (int q = 0; q < 4; ++q) {
    __m128i const lo01 = _mm_unpacklo_epi32(b[4 * q], b[4 * q + 1]);
    __m128i const hi01 = _mm_unpackhi_epi32(b[4 * q], b[4 * q + 1]);
    __m128i const lo23 = _mm_unpacklo_epi32(b[4 * q + 2], b[4 * q + 3]);
    __m128i const hi23 = _mm_unpackhi_epi32(b[4 * q + 2], b[4 * q + 3]);
    x[4 * q] = _mm_unpacklo_epi64(lo01, lo23);
    x[4 * q + 1] = _mm_unpackhi_epi64(lo01, lo23);
    x[4 * q + 2] = _mm_unpacklo_epi64(hi01, hi23);
    x[4 * q + 3] = _mm_unpackhi_epi64(hi01, hi23);
  }
}

// Four pixels held as 32-bit (b0, b1, b2, 0) into their 12 bytes, low first.
inline __m128i squeeze(__m128i p) {
  __m128i const low3 = _mm_set1_epi64x(0x0000000000FFFFFFll);
  __m128i const next3 = _mm_set1_epi64x(0x0000FFFFFF000000ll);
  __m128i const lanes =
      _mm_or_si128(_mm_and_si128(p, low3), _mm_and_si128(_mm_srli_epi64(p, 8), next3));
  return _mm_or_si128(_mm_move_epi64(lanes), _mm_slli_si128(_mm_srli_si128(lanes, 8), 6));
}

// 16 pixels of a row from the bytes of its three planes: exactly 48 bytes.
inline void storeRow(__m128i b0, __m128i b1, __m128i b2, std::uint8_t* out) {
  __m128i const zero = _mm_setzero_si128();
  __m128i const lo01 = _mm_unpacklo_epi8(b0, b1), hi01 = _mm_unpackhi_epi8(b0, b1);
  __m128i const lo2 = _mm_unpacklo_epi8(b2, zero), hi2 = _mm_unpackhi_epi8(b2, zero);
  __m128i const s0 = squeeze(_mm_unpacklo_epi16(lo01, lo2));
  __m128i const s1 = squeeze(_mm_unpackhi_epi16(lo01, lo2));
  __m128i const s2 = squeeze(_mm_unpacklo_epi16(hi01, hi2));
  __m128i const s3 = squeeze(_mm_unpackhi_epi16(hi01, hi2));
  // Each 16-byte store's last 4 bytes are rewritten by the next; the last
  // group stores its 12 bytes alone so nothing past the run is touched.
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), s0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), s1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 24), s2);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 36), s3);
  std::uint32_t const tail = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(s3, 8)));
  std::memcpy(out + 44, &tail, 4);
}

// The whole 16 x 16 tiles, each row of a tile leaving through StoreRow.
template <void (*StoreRow)(__m128i, __m128i, __m128i, std::uint8_t*)>
__attribute__((always_inline)) inline void packTiles(unsigned char const* const planes[3],
                                                     std::size_t w16, std::size_t h16,
                                                     std::size_t h, std::uint8_t* first,
                                                     std::ptrdiff_t rowStride) {
  // Bands of 64 rows: each column's 64 bytes (one cache line) are used up
  // within a band, and the rows are written left to right.
  for (std::size_t band = 0; band < h16; band += 64) {
    std::size_t const bandEnd = std::min(h16, band + 64);
    for (std::size_t c0 = 0; c0 < w16; c0 += 16) {
      // The next 16 columns' part of the band: 48 scattered lines that no
      // hardware prefetcher foresees; asking for them now hides the latency.
      if (c0 + 16 < w16)
        for (int k = 0; k < 3; ++k)
          for (std::size_t j = 16; j < 32; ++j) {
            char const* at = reinterpret_cast<char const*>(planes[k] + (c0 + j) * h + band);
            _mm_prefetch(at, _MM_HINT_T0);
            _mm_prefetch(at + (bandEnd - band) - 1, _MM_HINT_T0);
          }
      for (std::size_t r0 = band; r0 < bandEnd; r0 += 16) {
        __m128i rows[3][16];
        for (int k = 0; k < 3; ++k) {
          for (std::size_t j = 0; j < 16; ++j)
            rows[k][j] =
                _mm_loadu_si128(reinterpret_cast<__m128i const*>(planes[k] + (c0 + j) * h + r0));
          transpose16(rows[k]);
        }
        for (std::size_t i = 0; i < 16; ++i)
          StoreRow(rows[0][i], rows[1][i], rows[2][i],
                   first + static_cast<std::ptrdiff_t>(r0 + i) * rowStride + 3 * c0);
      }
    }
  }
}

inline void packTilesSse2(unsigned char const* const planes[3], std::size_t w16, std::size_t h16,
                          std::size_t h, std::uint8_t* first, std::ptrdiff_t rowStride) {
  packTiles<storeRow>(planes, w16, h16, h, first, rowStride);
}

#if defined(__GNUC__)
// With SSSE3 (nearly every x86-64 in use), byte shuffles build each 16-byte
// piece of the row directly: chosen at run time, the shipped build stays SSE2.
struct ShuffleMasks {
  alignas(16) signed char m[3][3][16];  // [output vector][plane][byte]
};
constexpr ShuffleMasks makeShuffleMasks() {
  ShuffleMasks s{};
  for (int v = 0; v < 3; ++v)
    for (int k = 0; k < 3; ++k)
      for (int j = 0; j < 16; ++j) {
        int const at = 16 * v + j;  // byte of the 48; pixel at / 3, plane at % 3
        s.m[v][k][j] = static_cast<signed char>(at % 3 == k ? at / 3 : -128);
      }
  return s;
}
inline constexpr ShuffleMasks kShuffleMasks = makeShuffleMasks();

__attribute__((target("ssse3"))) inline void storeRowSsse3(__m128i b0, __m128i b1, __m128i b2,
                                                           std::uint8_t* out) {
  for (int v = 0; v < 3; ++v) {
    auto mask = [&](int k) {
      return _mm_load_si128(reinterpret_cast<__m128i const*>(kShuffleMasks.m[v][k]));
    };
    __m128i const piece =
        _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(b0, mask(0)), _mm_shuffle_epi8(b1, mask(1))),
                     _mm_shuffle_epi8(b2, mask(2)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * v), piece);
  }
}

__attribute__((target("ssse3"))) inline void packTilesSsse3(unsigned char const* const planes[3],
                                                            std::size_t w16, std::size_t h16,
                                                            std::size_t h, std::uint8_t* first,
                                                            std::ptrdiff_t rowStride) {
  packTiles<storeRowSsse3>(planes, w16, h16, h, first, rowStride);
}

inline bool haveSsse3() {
  static bool const have = __builtin_cpu_supports("ssse3");
  return have;
}
#else
inline bool haveSsse3() { return false; }
inline void packTilesSsse3(unsigned char const* const[3], std::size_t, std::size_t, std::size_t,
                           std::uint8_t*, std::ptrdiff_t) {}
#endif

// `vectorShuffles`: the SSSE3 rows (the caller knows the processor has it).
inline void packThreeBytes(unsigned char const* q0, unsigned char const* q1,
                           unsigned char const* q2, std::size_t w, std::size_t h,
                           std::uint8_t* first, std::ptrdiff_t rowStride, bool vectorShuffles) {
  std::size_t const w16 = w / 16 * 16, h16 = h / 16 * 16;
  unsigned char const* const planes[3] = {q0, q1, q2};
  if (vectorShuffles)
    packTilesSsse3(planes, w16, h16, h, first, rowStride);
  else
    packTilesSse2(planes, w16, h16, h, first, rowStride);
  // What the whole tiles left: the last columns of every row, the last rows.
  auto edge = [&](std::size_t r, std::size_t c) {
    std::uint8_t* p = first + static_cast<std::ptrdiff_t>(r) * rowStride + 3 * c;
    p[0] = q0[c * h + r];
    p[1] = q1[c * h + r];
    p[2] = q2[c * h + r];
  };
  for (std::size_t c = w16; c < w; ++c)
    for (std::size_t r = 0; r < h; ++r) edge(r, c);
  for (std::size_t r = h16; r < h; ++r)
    for (std::size_t c = 0; c < w16; ++c) edge(r, c);
}

}  // namespace detail

template <>
inline void packThree<std::uint8_t>(unsigned char const* q0, unsigned char const* q1,
                                    unsigned char const* q2, std::size_t w, std::size_t h,
                                    std::uint8_t* first, std::ptrdiff_t rowStride) {
  detail::packThreeBytes(q0, q1, q2, w, h, first, rowStride, detail::haveSsse3());
}
#endif

}  // namespace videofilter
