// Packed rows into column-major planes (VideoKernels.h), cache-blocked: each
// tile of kRows rows by kCols columns is read along its rows and written down
// its columns while both stay in the first-level cache.
#include <algorithm>
#include <cstring>

#include "VideoKernels.h"

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

}  // namespace

void unpackPixels(std::uint8_t const* in, std::size_t w, std::size_t h, std::size_t bands,
                  std::uint8_t* const planes[3]) {
  unpack(in, w, h, bands, planes);
}

void unpackPixels(std::uint16_t const* in, std::size_t w, std::size_t h, std::size_t bands,
                  std::uint16_t* const planes[3]) {
  unpack(in, w, h, bands, planes);
}

}  // namespace kernels
}  // namespace sluice
