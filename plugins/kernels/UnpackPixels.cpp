// Packed rows into column-major planes (VideoKernels.h), cache-blocked: each
// tile of kRows rows by kCols columns is read along its rows and written down
// its columns while both stay in the first-level cache. Bytes go through vector
// registers in tiles of 16 x 16 (SSSE3 shuffles split the bands of RGB24), the
// frame's edges and 16-bit words through the scalar tiles.
#include <algorithm>
#include <cstring>

#include "PlaneTranspose.h"
#include "VideoKernels.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#include <tmmintrin.h>
#endif

namespace sluice {
namespace kernels {

namespace {

constexpr std::size_t kRows = 64, kCols = 64;

// One tile: rows [r0, r0 + rows) and columns [c0, c0 + cols) through a local
// column-major copy, so that the frame's columns are written in runs of `rows`
// words.
template <typename Word, std::size_t Bands>
void unpackTile(Word const* in, std::size_t w, std::size_t h, Word* const planes[3], std::size_t r0,
                std::size_t rows, std::size_t c0, std::size_t cols) {
  alignas(64) Word tile[Bands][kCols][kRows];
  for (std::size_t i = 0; i < rows; ++i) {
    Word const* row = in + ((r0 + i) * w + c0) * Bands;
    for (std::size_t c = 0; c < cols; ++c)
      for (std::size_t k = 0; k < Bands; ++k) tile[k][c][i] = row[c * Bands + k];
  }
  for (std::size_t k = 0; k < Bands; ++k)
    for (std::size_t c = 0; c < cols; ++c)
      std::memcpy(planes[k] + (c0 + c) * h + r0, tile[k][c], rows * sizeof(Word));
}

template <typename Word, std::size_t Bands>
void unpackAll(Word const* in, std::size_t w, std::size_t h, Word* const planes[3]) {
  for (std::size_t r0 = 0; r0 < h; r0 += kRows)
    for (std::size_t c0 = 0; c0 < w; c0 += kCols)
      unpackTile<Word, Bands>(in, w, h, planes, r0, std::min(kRows, h - r0), c0,
                              std::min(kCols, w - c0));
}

template <typename Word>
void unpack(Word const* in, std::size_t w, std::size_t h, std::size_t bands,
            Word* const planes[3]) {
  if (bands == 1)
    unpackAll<Word, 1>(in, w, h, planes);
  else
    unpackAll<Word, 3>(in, w, h, planes);
}

#if defined(__SSE2__)
// 16 rows of 16 bytes into 16 columns: four rounds of interleaving row i with
// row i + 8, each of which rotates the bits of (row, byte) by one.
inline void transpose16(__m128i x[16]) {
  for (int round = 0; round < 4; ++round) {
    __m128i y[16];
    for (int i = 0; i < 8; ++i) {
      y[2 * i] = _mm_unpacklo_epi8(x[i], x[i + 8]);
      y[2 * i + 1] = _mm_unpackhi_epi8(x[i], x[i + 8]);
    }
    for (int i = 0; i < 16; ++i) x[i] = y[i];
  }
}

inline void storeColumns(__m128i x[16], std::uint8_t* plane, std::size_t h, std::size_t r0,
                         std::size_t c0) {
  transpose16(x);
  for (std::size_t c = 0; c < 16; ++c)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(plane + (c0 + c) * h + r0), x[c]);
}

// Whole 16 x 16 tiles of grey bytes, or of RGB24 split with byte shuffles.
template <bool Rgb>
__attribute__((target("ssse3"))) void unpackTiles(std::uint8_t const* in, std::size_t w,
                                                  std::size_t h, std::uint8_t* const planes[3],
                                                  std::size_t rows, std::size_t cols) {
  // Byte j of band k comes from byte 3j + k of the 48 bytes of a row: from the
  // first, second or third 16 (-1 clears the lanes another load fills).
  alignas(16) static const signed char masks[3][3][16] = {
      {{0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1},
       {-1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14, -1, -1, -1, -1, -1},
       {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, 4, 7, 10, 13}},
      {{1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1},
       {-1, -1, -1, -1, -1, 0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1},
       {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14}},
      {{2, 5, 8, 11, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1},
       {-1, -1, -1, -1, -1, 1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1},
       {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 3, 6, 9, 12, 15}}};
  constexpr std::size_t kBand = 256;  // rows a pass: their columns' lines stay in cache
  for (std::size_t b0 = 0; b0 < rows; b0 += kBand)
    for (std::size_t c0 = 0; c0 < cols; c0 += 16)
      for (std::size_t r0 = b0; r0 < std::min(rows, b0 + kBand); r0 += 16) {
        if constexpr (Rgb) {
          __m128i band[3][16];
          for (std::size_t i = 0; i < 16; ++i) {
            auto const* p = reinterpret_cast<__m128i const*>(in + ((r0 + i) * w + c0) * 3);
            __m128i const thirds[3] = {_mm_loadu_si128(p), _mm_loadu_si128(p + 1),
                                       _mm_loadu_si128(p + 2)};
            for (int k = 0; k < 3; ++k) {
              __m128i v = _mm_setzero_si128();
              for (int q = 0; q < 3; ++q)
                v = _mm_or_si128(
                    v,
                    _mm_shuffle_epi8(
                        thirds[q], _mm_load_si128(reinterpret_cast<__m128i const*>(masks[k][q]))));
              band[k][i] = v;
            }
          }
          for (int k = 0; k < 3; ++k) storeColumns(band[k], planes[k], h, r0, c0);
        } else {
          __m128i x[16];
          for (std::size_t i = 0; i < 16; ++i)
            x[i] = _mm_loadu_si128(reinterpret_cast<__m128i const*>(in + (r0 + i) * w + c0));
          storeColumns(x, planes[0], h, r0, c0);
        }
      }
}
#endif

}  // namespace

void unpackPixels(std::uint8_t const* in, std::size_t w, std::size_t h, std::size_t bands,
                  std::uint8_t* const planes[3]) {
#if defined(__SSE2__)
  if (detail::haveSsse3() && w >= 16 && h >= 16) {
    std::size_t const rows = h / 16 * 16, cols = w / 16 * 16;
    if (bands == 1)
      unpackTiles<false>(in, w, h, planes, rows, cols);
    else
      unpackTiles<true>(in, w, h, planes, rows, cols);
    // The edges: columns right of the tiles (every row), rows below them.
    for (std::size_t r0 = 0; r0 < h; r0 += kRows)
      for (std::size_t c0 = cols; c0 < w; c0 += kCols) {
        if (bands == 1)
          unpackTile<std::uint8_t, 1>(in, w, h, planes, r0, std::min(kRows, h - r0), c0,
                                      std::min(kCols, w - c0));
        else
          unpackTile<std::uint8_t, 3>(in, w, h, planes, r0, std::min(kRows, h - r0), c0,
                                      std::min(kCols, w - c0));
      }
    for (std::size_t r0 = rows; r0 < h; r0 += kRows)
      for (std::size_t c0 = 0; c0 < cols; c0 += kCols) {
        std::size_t const n = std::min(kCols, cols - c0);
        if (bands == 1)
          unpackTile<std::uint8_t, 1>(in, w, h, planes, r0, h - r0, c0, n);
        else
          unpackTile<std::uint8_t, 3>(in, w, h, planes, r0, h - r0, c0, n);
      }
    return;
  }
#endif
  unpack(in, w, h, bands, planes);
}

void unpackPixels(std::uint16_t const* in, std::size_t w, std::size_t h, std::size_t bands,
                  std::uint16_t* const planes[3]) {
  unpack(in, w, h, bands, planes);
}

}  // namespace kernels
}  // namespace sluice
