// The video kernels behind VideoKernels.h as templates over the element type
// (and the output word, 8 or 16 bits): element conversions to 8 or 16-bit codes,
// and cache-blocked transposes from column-major planes into the row-major
// layouts the video devices ask for. Instantiated in VideoKernels.cpp; the 8-bit
// fast paths are declared at the end of this file and defined in
// PackedPixels.cpp.
//
// Input planes are column-major: element (row r, column c) of a plane of `height`
// rows lies at index c * height + r. Inputs are read with memcpy, so a caller's
// plane needs no particular alignment.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "VideoKernels.h"

namespace sluice {
namespace kernels {

// Tile edge of the blocked loops, in elements: 64 columns of 64 rows of doubles
// (32 KiB in, at most 12 KiB out) stay in the first-level cache.
constexpr std::size_t kTile = 64;

// "logical" elements: one byte each, any non-zero byte is true.
struct Logical {};

template <typename T>
inline T loadAt(unsigned char const* p, std::size_t i) {
  T v;
  std::memcpy(&v, p + i * sizeof(T), sizeof(T));
  return v;
}

// Element -> unsigned code of 8 or 16 bits. Floating point is full scale on
// [0, 1], clipped, NaN as 0; wider integers narrow by rounding; signed integers
// are offset by half their range; logical is 0 or full scale.
template <typename T>
struct Element;

// Integers held in Storage; signed ones are offset by half their range (Offset).
template <typename Storage, std::uint32_t Offset>
struct IntegerElement {
  static std::uint32_t word(unsigned char const* p, std::size_t i) {
    return static_cast<std::uint32_t>(loadAt<Storage>(p, i)) ^ Offset;
  }
  static std::uint8_t code8(unsigned char const* p, std::size_t i) {
    if constexpr (sizeof(Storage) == 1)
      return static_cast<std::uint8_t>(word(p, i));
    else if constexpr (sizeof(Storage) == 2)
      return static_cast<std::uint8_t>((word(p, i) + 128u) / 257u);
    else  // 2^32 - 1 = 255 * 16843009: divide by that, rounding
      return static_cast<std::uint8_t>((std::uint64_t(word(p, i)) + 8421504u) / 16843009u);
  }
  static std::uint16_t code16(unsigned char const* p, std::size_t i) {
    if constexpr (sizeof(Storage) == 1)
      return static_cast<std::uint16_t>(word(p, i) * 257u);
    else if constexpr (sizeof(Storage) == 2)
      return static_cast<std::uint16_t>(word(p, i));
    else  // 2^32 - 1 = 65535 * 65537
      return static_cast<std::uint16_t>((std::uint64_t(word(p, i)) + 32768u) / 65537u);
  }
};

template <>
struct Element<std::uint8_t> : IntegerElement<std::uint8_t, 0> {};
template <>
struct Element<std::int8_t> : IntegerElement<std::uint8_t, 0x80u> {};
template <>
struct Element<std::uint16_t> : IntegerElement<std::uint16_t, 0> {};
template <>
struct Element<std::int16_t> : IntegerElement<std::uint16_t, 0x8000u> {};
template <>
struct Element<std::uint32_t> : IntegerElement<std::uint32_t, 0> {};
template <>
struct Element<std::int32_t> : IntegerElement<std::uint32_t, 0x80000000u> {};
template <>
struct Element<Logical> {
  static std::uint8_t code8(unsigned char const* p, std::size_t i) { return p[i] ? 255 : 0; }
  static std::uint16_t code16(unsigned char const* p, std::size_t i) { return p[i] ? 65535 : 0; }
};

template <typename F>
inline unsigned scaleUnit(F v, unsigned full) {
  if (!(v > F(0))) return 0;  // also NaN
  if (v >= F(1)) return full;
  return static_cast<unsigned>(v * F(full) + F(0.5));
}
// Floating point: full scale on [0, 1].
template <typename F>
struct FloatElement {
  static std::uint8_t code8(unsigned char const* p, std::size_t i) {
    return static_cast<std::uint8_t>(scaleUnit(loadAt<F>(p, i), 255));
  }
  static std::uint16_t code16(unsigned char const* p, std::size_t i) {
    return static_cast<std::uint16_t>(scaleUnit(loadAt<F>(p, i), 65535));
  }
};
template <>
struct Element<double> : FloatElement<double> {};
template <>
struct Element<float> : FloatElement<float> {};

// The code of the output word: 8 or 16 bits.
template <typename Word, typename T>
inline Word codeOf(unsigned char const* p, std::size_t i) {
  if constexpr (sizeof(Word) == 1)
    return Element<T>::code8(p, i);
  else
    return Element<T>::code16(p, i);
}

// Calls f(T()) with the element type named by `type`; false for an unknown type.
template <typename F>
inline bool withElementType(VideoDataType type, F&& f) {
  using namespace hostlib::multimedia;
  switch (static_cast<long>(type)) {
    case VIDEO_DOUBLE:
      f(double());
      return true;
    case VIDEO_SINGLE:
      f(float());
      return true;
    case VIDEO_INT8:
      f(std::int8_t());
      return true;
    case VIDEO_UINT8:
      f(std::uint8_t());
      return true;
    case VIDEO_INT16:
      f(std::int16_t());
      return true;
    case VIDEO_UINT16:
      f(std::uint16_t());
      return true;
    case VIDEO_INT32:
      f(std::int32_t());
      return true;
    case VIDEO_UINT32:
      f(std::uint32_t());
      return true;
    case VIDEO_LOGICAL:
      f(Logical());
      return true;
    default:
      return false;
  }
}

// One column-major plane of `width` columns and `height` rows into a row-major
// destination: element (r, c) goes to out[r * rowStride + c * step], each word
// XORed with `mask` (the sign offset of signed outputs). A negative rowStride with
// `out` on the last row writes the rows bottom-up. One pass over the plane.
template <typename T, typename Word>
void transposePlane(unsigned char const* in, std::size_t width, std::size_t height, Word* out,
                    std::size_t step, std::ptrdiff_t rowStride, Word mask = 0) {
  for (std::size_t c0 = 0; c0 < width; c0 += kTile) {
    std::size_t const c1 = std::min(width, c0 + kTile);
    for (std::size_t r0 = 0; r0 < height; r0 += kTile) {
      std::size_t const r1 = std::min(height, r0 + kTile);
      for (std::size_t c = c0; c < c1; ++c) {
        unsigned char const* column = in + c * height * sizeof(T);
        Word* o = out + c * step;
        for (std::size_t r = r0; r < r1; ++r)
          o[static_cast<std::ptrdiff_t>(r) * rowStride] =
              static_cast<Word>(codeOf<Word, T>(column, r) ^ mask);
      }
    }
  }
}

inline std::uint8_t clip8(int v) {
  return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
}

// Three column-major planes (R, G, B; or one plane passed three times for grey)
// into 4:2:0 Y, U, V planes in one pass: luma w x h (stride yStride), chroma
// ceil(w/2) x ceil(h/2) (stride cStride), each chroma sample from the mean of its
// 2 x 2 block (edge pixels repeated at odd sizes). Each tile is first transposed
// into small row-major code arrays that stay in the first-level cache, so that the
// arithmetic runs along rows, where the compiler vectorises it.
//
// rgbToYuv420Region converts only rows [rBegin, rEnd) and columns [cBegin,
// cEnd) of the frame; both starts must be even, and an odd end is the frame's.
template <typename T>
void rgbToYuv420Region(unsigned char const* r, unsigned char const* g, unsigned char const* b,
                       std::size_t h, YuvWeights const& k, std::uint8_t* y, std::size_t yStride,
                       std::uint8_t* u, std::uint8_t* v, std::size_t cStride, std::size_t rBegin,
                       std::size_t rEnd, std::size_t cBegin, std::size_t cEnd) {
  constexpr std::size_t T2 = kTile;  // even: tiles start on 2 x 2 block boundaries
  alignas(64) std::uint8_t R[T2][T2], G[T2][T2], B[T2][T2];
  for (std::size_t r0 = rBegin; r0 < rEnd; r0 += T2) {
    std::size_t const rows = std::min(T2, rEnd - r0);
    std::size_t const rowsEven = rows + rows % 2;
    for (std::size_t c0 = cBegin; c0 < cEnd; c0 += T2) {
      std::size_t const cols = std::min(T2, cEnd - c0);
      std::size_t const colsEven = cols + cols % 2;
      for (std::size_t c = 0; c < cols; ++c) {
        std::size_t const at = (c0 + c) * h + r0;
        for (std::size_t i = 0; i < rows; ++i) {
          R[i][c] = Element<T>::code8(r, at + i);
          G[i][c] = Element<T>::code8(g, at + i);
          B[i][c] = Element<T>::code8(b, at + i);
        }
      }
      // An odd last column or row repeats, so every chroma block has four samples.
      if (colsEven != cols)
        for (std::size_t i = 0; i < rows; ++i) {
          R[i][cols] = R[i][cols - 1];
          G[i][cols] = G[i][cols - 1];
          B[i][cols] = B[i][cols - 1];
        }
      if (rowsEven != rows) {
        std::memcpy(R[rows], R[rows - 1], colsEven);
        std::memcpy(G[rows], G[rows - 1], colsEven);
        std::memcpy(B[rows], B[rows - 1], colsEven);
      }
      for (std::size_t i = 0; i < rows; ++i) {
        std::uint8_t* out = y + (r0 + i) * yStride + c0;
        for (std::size_t c = 0; c < cols; ++c)
          out[c] = static_cast<std::uint8_t>(
              k.yOffset + ((k.yr * R[i][c] + k.yg * G[i][c] + k.yb * B[i][c] + 32768) >> 16));
      }
      for (std::size_t i = 0; i < rowsEven; i += 2) {
        std::size_t const cpos = (r0 + i) / 2 * cStride + c0 / 2;
        for (std::size_t c = 0; c < colsEven; c += 2) {
          int const sr = R[i][c] + R[i][c + 1] + R[i + 1][c] + R[i + 1][c + 1];
          int const sg = G[i][c] + G[i][c + 1] + G[i + 1][c] + G[i + 1][c + 1];
          int const sb = B[i][c] + B[i][c + 1] + B[i + 1][c] + B[i + 1][c + 1];
          u[cpos + c / 2] = clip8(128 + ((k.ur * sr + k.ug * sg + k.ub * sb + (1 << 17)) >> 18));
          v[cpos + c / 2] = clip8(128 + ((k.vr * sr + k.vg * sg + k.vb * sb + (1 << 17)) >> 18));
        }
      }
    }
  }
}

template <typename T>
void rgbToYuv420(unsigned char const* r, unsigned char const* g, unsigned char const* b,
                 std::size_t w, std::size_t h, YuvWeights const& k, std::uint8_t* y,
                 std::size_t yStride, std::uint8_t* u, std::uint8_t* v, std::size_t cStride) {
  rgbToYuv420Region<T>(r, g, b, h, k, y, yStride, u, v, cStride, 0, h, 0, w);
}

// A 4:2:2 frame (full-range Y of w columns, Cb and Cr of w/2 columns, all column-
// major) into 4:2:0 planes as rgbToYuv420 lays them out: luma copied (rescaled
// for limited range), chroma from the mean of each pair of rows. A chroma column
// beyond the input's (odd or single-column widths) repeats the last one; with no
// chroma column at all the chroma is neutral.
template <typename T>
void yuv422ToYuv420(unsigned char const* yIn, unsigned char const* uIn, unsigned char const* vIn,
                    std::size_t w, std::size_t h, bool limited, std::uint8_t* y,
                    std::size_t yStride, std::uint8_t* u, std::uint8_t* v, std::size_t cStride) {
  std::uint8_t lumaMap[256], chromaMap[256];
  for (int i = 0; i < 256; ++i) {
    lumaMap[i] = static_cast<std::uint8_t>(limited ? 16 + (i * 219 + 127) / 255 : i);
    int const d = i - 128;
    chromaMap[i] = static_cast<std::uint8_t>(
        limited ? 128 + (d >= 0 ? (d * 224 + 127) / 255 : -((-d * 224 + 127) / 255)) : i);
  }
  for (std::size_t c0 = 0; c0 < w; c0 += kTile) {
    std::size_t const c1 = std::min(w, c0 + kTile);
    for (std::size_t r0 = 0; r0 < h; r0 += kTile) {
      std::size_t const r1 = std::min(h, r0 + kTile);
      for (std::size_t c = c0; c < c1; ++c)
        for (std::size_t r = r0; r < r1; ++r)
          y[r * yStride + c] = lumaMap[Element<T>::code8(yIn, c * h + r)];
    }
  }
  std::size_t const cw = (w + 1) / 2, ch = (h + 1) / 2, inCols = w / 2;
  for (std::size_t bc0 = 0; bc0 < cw; bc0 += kTile) {
    std::size_t const bc1 = std::min(cw, bc0 + kTile);
    for (std::size_t br0 = 0; br0 < ch; br0 += kTile) {
      std::size_t const br1 = std::min(ch, br0 + kTile);
      for (std::size_t bc = bc0; bc < bc1; ++bc) {
        for (std::size_t br = br0; br < br1; ++br) {
          std::size_t const cpos = br * cStride + bc;
          if (inCols == 0) {
            u[cpos] = v[cpos] = 128;
            continue;
          }
          std::size_t const col = std::min(bc, inCols - 1) * h;
          std::size_t const ra = 2 * br, rb = std::min(ra + 1, h - 1);
          u[cpos] =
              chromaMap[(Element<T>::code8(uIn, col + ra) + Element<T>::code8(uIn, col + rb) + 1) /
                        2];
          v[cpos] =
              chromaMap[(Element<T>::code8(vIn, col + ra) + Element<T>::code8(vIn, col + rb) + 1) /
                        2];
        }
      }
    }
  }
}

// A 4:2:2 frame (full-range BT.601, as yuv422ToYuv420 reads it) into R, G, B
// codes of `Word`, written as transposePlane writes: pixel (r, c) band k at
// out[r * rowStride + c * step + offset[k]], XORed with mask.
//
// yuv422ToRgbRegion converts only rows [rBegin, rEnd) and columns [cBegin, cEnd).
template <typename T, typename Word>
void yuv422ToRgbRegion(unsigned char const* yIn, unsigned char const* uIn, unsigned char const* vIn,
                       std::size_t w, std::size_t h, Word* out, std::size_t step,
                       std::ptrdiff_t rowStride, std::ptrdiff_t const offset[3], Word mask,
                       std::size_t rBegin, std::size_t rEnd, std::size_t cBegin, std::size_t cEnd) {
  constexpr float full = sizeof(Word) == 1 ? 255.f : 65535.f;
  constexpr float half = sizeof(Word) == 1 ? 128.f : 32768.f;
  std::size_t const inCols = w / 2;
  auto put = [&](Word* p, float value) {
    value = value < 0.f ? 0.f : value > full ? full : value;
    *p = static_cast<Word>(static_cast<Word>(value + 0.5f) ^ mask);
  };
  for (std::size_t c0 = cBegin; c0 < cEnd; c0 += kTile) {
    std::size_t const c1 = std::min(cEnd, c0 + kTile);
    for (std::size_t r0 = rBegin; r0 < rEnd; r0 += kTile) {
      std::size_t const r1 = std::min(rEnd, r0 + kTile);
      for (std::size_t c = c0; c < c1; ++c) {
        std::size_t const col = inCols ? std::min(c / 2, inCols - 1) * h : 0;
        for (std::size_t r = r0; r < r1; ++r) {
          float const Y = codeOf<Word, T>(yIn, c * h + r);
          float const Cb = inCols ? codeOf<Word, T>(uIn, col + r) - half : 0.f;
          float const Cr = inCols ? codeOf<Word, T>(vIn, col + r) - half : 0.f;
          Word* p = out + static_cast<std::ptrdiff_t>(r) * rowStride + c * step;
          put(p + offset[0], Y + 1.402f * Cr);
          put(p + offset[1], Y - 0.344136f * Cb - 0.714136f * Cr);
          put(p + offset[2], Y + 1.772f * Cb);
        }
      }
    }
  }
}

template <typename T, typename Word>
void yuv422ToRgb(unsigned char const* yIn, unsigned char const* uIn, unsigned char const* vIn,
                 std::size_t w, std::size_t h, Word* out, std::size_t step,
                 std::ptrdiff_t rowStride, std::ptrdiff_t const offset[3], Word mask = 0) {
  yuv422ToRgbRegion<T, Word>(yIn, uIn, vIn, w, h, out, step, rowStride, offset, mask, 0, h, 0, w);
}

// Three planes packed three bytes to a pixel: pixel (r, c) goes to
// first + r * rowStride + 3 * c as the codes of (q0, q1, q2) at (r, c); a
// negative rowStride with `first` on the last row writes bottom-up.
template <typename T>
void packThree(unsigned char const* q0, unsigned char const* q1, unsigned char const* q2,
               std::size_t w, std::size_t h, std::uint8_t* first, std::ptrdiff_t rowStride) {
  transposePlane<T, std::uint8_t>(q0, w, h, first, 3, rowStride);
  transposePlane<T, std::uint8_t>(q1, w, h, first + 1, 3, rowStride);
  transposePlane<T, std::uint8_t>(q2, w, h, first + 2, 3, rowStride);
}

#if defined(__SSE2__)
// The fast paths for 8-bit planes, defined in PackedPixels.cpp: whole 16 x 16
// tiles in vector registers, the frame's edges through the templates above,
// with output identical to theirs.
template <>
void packThree<std::uint8_t>(unsigned char const* q0, unsigned char const* q1,
                             unsigned char const* q2, std::size_t w, std::size_t h,
                             std::uint8_t* first, std::ptrdiff_t rowStride);
template <>
void rgbToYuv420<std::uint8_t>(unsigned char const* r, unsigned char const* g,
                               unsigned char const* b, std::size_t w, std::size_t h,
                               YuvWeights const& k, std::uint8_t* y, std::size_t yStride,
                               std::uint8_t* u, std::uint8_t* v, std::size_t cStride);
template <>
void yuv422ToRgb<std::uint8_t, std::uint8_t>(unsigned char const* yIn, unsigned char const* uIn,
                                             unsigned char const* vIn, std::size_t w, std::size_t h,
                                             std::uint8_t* out, std::size_t step,
                                             std::ptrdiff_t rowStride,
                                             std::ptrdiff_t const offset[3], std::uint8_t mask);

namespace detail {
// packThree's 8-bit path with SSE2 rows or, when `vectorShuffles`, SSSE3 byte
// shuffles (the caller knows the processor has them).
void packThreeBytes(unsigned char const* q0, unsigned char const* q1, unsigned char const* q2,
                    std::size_t w, std::size_t h, std::uint8_t* first, std::ptrdiff_t rowStride,
                    bool vectorShuffles);
bool haveSsse3();
}  // namespace detail
#endif

}  // namespace kernels
}  // namespace sluice
