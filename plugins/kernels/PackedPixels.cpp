// The 8-bit fast paths declared in PlaneTranspose.h: three column-major 8-bit
// planes in 16 x 16 byte tiles transposed in vector registers, into packed
// 3-byte pixels (the layout of a BGR24 frame), leaving as whole 48-byte runs of
// a row, and into the 4:2:0 planes of the encoders; and 8-bit 4:2:2 planes into
// RGB codes. Each gives exactly what its template gives.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "PlaneTranspose.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#include <tmmintrin.h>
#include <xmmintrin.h>
#endif

namespace sluice {
namespace kernels {

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

// The packing and 4:2:0 kernels walk the whole 16 x 16 tiles strip by strip:
// 16 columns, top to bottom. Each plane's part of a strip is one contiguous run
// of 16 * h bytes, so while a strip is converted the next strip's three runs are
// asked for, a few lines per tile. Walking bands of rows across the frame instead touches
// every column in each band, a pattern no prefetcher follows.
class StripPrefetch {
 public:
  StripPrefetch(unsigned char const* const planes[3], std::size_t h, std::size_t h16)
      : planes_{planes[0], planes[1], planes[2]}, h_(h), run_(16 * h) {
    std::size_t const tiles = h16 / 16;
    linesPerTile_ = tiles ? (run_ + 64 * tiles - 1) / (64 * tiles) : 0;
  }
  // While tile `t` of the strip before column c0 is converted.
  __attribute__((always_inline)) void ahead(std::size_t c0, std::size_t t) const {
    for (int k = 0; k < 3; ++k)
      for (std::size_t l = 0; l < linesPerTile_; ++l) {
        std::size_t const at = (t * linesPerTile_ + l) * 64;
        if (at < run_)
          _mm_prefetch(reinterpret_cast<char const*>(planes_[k] + c0 * h_ + at), _MM_HINT_T0);
      }
  }

 private:
  unsigned char const* planes_[3];
  std::size_t h_, run_, linesPerTile_;
};

// The 16 x 16 tile at (r0, c0) of three column-major planes, as rows:
// rows[k][i] holds row r0 + i of plane k, columns c0 .. c0 + 15.
__attribute__((always_inline)) inline void loadTile(unsigned char const* const planes[3],
                                                    std::size_t c0, std::size_t r0, std::size_t h,
                                                    __m128i rows[3][16]) {
  for (int k = 0; k < 3; ++k) {
    for (std::size_t j = 0; j < 16; ++j)
      rows[k][j] = _mm_loadu_si128(reinterpret_cast<__m128i const*>(planes[k] + (c0 + j) * h + r0));
    transpose16(rows[k]);
  }
}

// Calls visit(rows, r0, c0) for every whole 16 x 16 tile (rows as loadTile
// gives them), strip by strip, fetching the next strip ahead.
template <typename Visit>
__attribute__((always_inline)) inline void forEachTile(unsigned char const* const planes[3],
                                                       std::size_t w16, std::size_t h16,
                                                       std::size_t h, Visit const& visit) {
  StripPrefetch const prefetch(planes, h, h16);
  for (std::size_t c0 = 0; c0 < w16; c0 += 16)
    for (std::size_t r0 = 0, t = 0; r0 < h16; r0 += 16, ++t) {
      if (c0 + 16 < w16) prefetch.ahead(c0 + 16, t);
      __m128i rows[3][16];
      loadTile(planes, c0, r0, h, rows);
      visit(rows, r0, c0);
    }
}

// The whole 16 x 16 tiles, each row of a tile leaving through StoreRow.
template <void (*StoreRow)(__m128i, __m128i, __m128i, std::uint8_t*)>
__attribute__((always_inline)) inline void packTiles(unsigned char const* const planes[3],
                                                     std::size_t w16, std::size_t h16,
                                                     std::size_t h, std::uint8_t* first,
                                                     std::ptrdiff_t rowStride) {
  forEachTile(
      planes, w16, h16, h,
      [&](__m128i const(&rows)[3][16], std::size_t r0, std::size_t c0)
          __attribute__((always_inline)) {
            for (std::size_t i = 0; i < 16; ++i)
              StoreRow(rows[0][i], rows[1][i], rows[2][i],
                       first + static_cast<std::ptrdiff_t>(r0 + i) * rowStride + 3 * c0);
          });
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

bool haveSsse3() {
  static bool const have = __builtin_cpu_supports("ssse3");
  return have;
}
#else
bool haveSsse3() { return false; }
inline void packTilesSsse3(unsigned char const* const[3], std::size_t, std::size_t, std::size_t,
                           std::uint8_t*, std::ptrdiff_t) {}
#endif

void packThreeBytes(unsigned char const* q0, unsigned char const* q1, unsigned char const* q2,
                    std::size_t w, std::size_t h, std::uint8_t* first, std::ptrdiff_t rowStride,
                    bool vectorShuffles) {
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

// w * x as a * x + b * (x << shift), with a and b small enough for 16-bit lanes
// when x << shift fits one: the products of _mm_madd_epi16 are then exact.
inline __m128i splitWeight(int w, int shift) {
  int const b = (w + (1 << (shift - 1))) >> shift;
  int const a = w - b * (1 << shift);
  return _mm_set1_epi32(
      static_cast<int>(static_cast<std::uint32_t>(static_cast<std::uint16_t>(a)) |
                       (static_cast<std::uint32_t>(static_cast<std::uint16_t>(b)) << 16)));
}

// (w0 * x0 + w1 * x1 + w2 * x2 + bias) >> Shift, plus offset, in 32-bit lanes
// for the four 16-bit values of each x in the low (or high) half; xs holds the
// same values shifted as splitWeight expects.
template <bool High, int Shift>
__attribute__((always_inline)) inline __m128i weighted(__m128i const x[3], __m128i const xs[3],
                                                       __m128i const w[3], __m128i bias,
                                                       __m128i offset) {
  __m128i sum = bias;
  for (int k = 0; k < 3; ++k) {
    __m128i const pair = High ? _mm_unpackhi_epi16(x[k], xs[k]) : _mm_unpacklo_epi16(x[k], xs[k]);
    sum = _mm_add_epi32(sum, _mm_madd_epi16(pair, w[k]));
  }
  return _mm_add_epi32(_mm_srai_epi32(sum, Shift), offset);
}

// Eight 16-bit codes (four each in lo and hi, already in 32-bit lanes) into bytes,
// clipped to 0..255 as clip8 does.
inline __m128i narrow(__m128i lo, __m128i hi) {
  __m128i const words = _mm_packs_epi32(lo, hi);
  return _mm_packus_epi16(words, words);
}

// The whole 16 x 16 tiles of rgbToYuv420 for 8-bit planes: the same integer
// arithmetic as the one-pixel code, eight pixels at a time.
inline void yuv420Tiles(unsigned char const* const planes[3], std::size_t w16, std::size_t h16,
                        std::size_t h, YuvWeights const& k, std::uint8_t* y, std::size_t yStride,
                        std::uint8_t* u, std::uint8_t* v, std::size_t cStride) {
  // Luma codes are at most 255 (shifted by 7 they fit 16 bits); chroma sums of
  // four at most 1020 (shifted by 5).
  __m128i const wy[3] = {splitWeight(k.yr, 7), splitWeight(k.yg, 7), splitWeight(k.yb, 7)};
  __m128i const wu[3] = {splitWeight(k.ur, 5), splitWeight(k.ug, 5), splitWeight(k.ub, 5)};
  __m128i const wv[3] = {splitWeight(k.vr, 5), splitWeight(k.vg, 5), splitWeight(k.vb, 5)};
  __m128i const yBias = _mm_set1_epi32(32768), cBias = _mm_set1_epi32(1 << 17);
  __m128i const yOffset = _mm_set1_epi32(k.yOffset), cOffset = _mm_set1_epi32(128);
  __m128i const zero = _mm_setzero_si128(), lowBytes = _mm_set1_epi16(0x00FF);

  auto luma = [&](__m128i const* rgb, std::uint8_t* out) {
    __m128i half[2];
    for (int hi = 0; hi < 2; ++hi) {
      __m128i c[3], cs[3];
      for (int j = 0; j < 3; ++j) {
        c[j] = hi ? _mm_unpackhi_epi8(rgb[j], zero) : _mm_unpacklo_epi8(rgb[j], zero);
        cs[j] = _mm_slli_epi16(c[j], 7);
      }
      half[hi] = _mm_packs_epi32(weighted<false, 16>(c, cs, wy, yBias, yOffset),
                                 weighted<true, 16>(c, cs, wy, yBias, yOffset));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(half[0], half[1]));
  };
  // The sums of each 2 x 2 block of two rows: eight 16-bit sums.
  auto blockSums = [&](__m128i a, __m128i b) {
    __m128i const pa = _mm_add_epi16(_mm_and_si128(a, lowBytes), _mm_srli_epi16(a, 8));
    __m128i const pb = _mm_add_epi16(_mm_and_si128(b, lowBytes), _mm_srli_epi16(b, 8));
    return _mm_add_epi16(pa, pb);
  };
  auto chroma = [&](__m128i const s[3], __m128i const ss[3], __m128i const w[3],
                    std::uint8_t* out) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out),
                     narrow(weighted<false, 18>(s, ss, w, cBias, cOffset),
                            weighted<true, 18>(s, ss, w, cBias, cOffset)));
  };

  forEachTile(planes, w16, h16, h,
              [&](__m128i const(&rows)[3][16], std::size_t r0, std::size_t c0) {
                for (std::size_t i = 0; i < 16; i += 2) {
                  __m128i const top[3] = {rows[0][i], rows[1][i], rows[2][i]};
                  __m128i const bottom[3] = {rows[0][i + 1], rows[1][i + 1], rows[2][i + 1]};
                  luma(top, y + (r0 + i) * yStride + c0);
                  luma(bottom, y + (r0 + i + 1) * yStride + c0);
                  __m128i s[3], ss[3];
                  for (int j = 0; j < 3; ++j) {
                    s[j] = blockSums(top[j], bottom[j]);
                    ss[j] = _mm_slli_epi16(s[j], 5);
                  }
                  std::size_t const at = (r0 + i) / 2 * cStride + c0 / 2;
                  chroma(s, ss, wu, u + at);
                  chroma(s, ss, wv, v + at);
                }
              });
}

// Sixteen byte codes as four groups of four floats.
inline void widenToFloats(__m128i bytes, __m128 f[4]) {
  __m128i const zero = _mm_setzero_si128();
  __m128i const lo = _mm_unpacklo_epi8(bytes, zero), hi = _mm_unpackhi_epi8(bytes, zero);
  f[0] = _mm_cvtepi32_ps(_mm_unpacklo_epi16(lo, zero));
  f[1] = _mm_cvtepi32_ps(_mm_unpackhi_epi16(lo, zero));
  f[2] = _mm_cvtepi32_ps(_mm_unpacklo_epi16(hi, zero));
  f[3] = _mm_cvtepi32_ps(_mm_unpackhi_epi16(hi, zero));
}

// Four groups of four values to sixteen byte codes, clipped to 0..255 and
// rounded half up as the one-pixel code does.
inline __m128i floatsToBytes(__m128 const v[4]) {
  __m128 const zero = _mm_setzero_ps(), full = _mm_set1_ps(255.f), half = _mm_set1_ps(0.5f);
  __m128i q[4];
  for (int k = 0; k < 4; ++k)
    q[k] = _mm_cvttps_epi32(_mm_add_ps(_mm_min_ps(_mm_max_ps(v[k], zero), full), half));
  return _mm_packus_epi16(_mm_packs_epi32(q[0], q[1]), _mm_packs_epi32(q[2], q[3]));
}

// The whole 16 x 16 tiles of yuv422ToRgb for 8-bit planes into 8-bit codes:
// the same float arithmetic as the one-pixel code, four pixels at a time. Each
// chroma column is loaded once for each of its two pixel columns, so that the
// transposed rows line up with the luma rows. `order` names the band stored
// first, second and third in a packed pixel (step 3); with step 1 each band is
// a plane of its own at its offset.
inline void yuv422RgbTiles(unsigned char const* yIn, unsigned char const* uIn,
                           unsigned char const* vIn, std::size_t w16, std::size_t h16,
                           std::size_t h, std::uint8_t* out, std::size_t step,
                           std::ptrdiff_t rowStride, std::ptrdiff_t const offset[3],
                           int const order[3], std::uint8_t mask) {
  __m128i const xorMask = _mm_set1_epi8(static_cast<char>(mask));
  __m128 const half = _mm_set1_ps(128.f);
  __m128 const crToR = _mm_set1_ps(1.402f), cbToG = _mm_set1_ps(0.344136f),
               crToG = _mm_set1_ps(0.714136f), cbToB = _mm_set1_ps(1.772f);
  auto load = [&](unsigned char const* plane, std::size_t column, std::size_t r0) {
    return _mm_loadu_si128(reinterpret_cast<__m128i const*>(plane + column * h + r0));
  };
  for (std::size_t c0 = 0; c0 < w16; c0 += 16)
    for (std::size_t r0 = 0; r0 < h16; r0 += 16) {
      __m128i ys[16], us[16], vs[16];
      for (std::size_t j = 0; j < 16; ++j) {
        ys[j] = load(yIn, c0 + j, r0);
        us[j] = load(uIn, (c0 + j) / 2, r0);
        vs[j] = load(vIn, (c0 + j) / 2, r0);
      }
      transpose16(ys);
      transpose16(us);
      transpose16(vs);
      for (std::size_t i = 0; i < 16; ++i) {
        __m128 Y[4], Cb[4], Cr[4], R[4], G[4], B[4];
        widenToFloats(ys[i], Y);
        widenToFloats(us[i], Cb);
        widenToFloats(vs[i], Cr);
        for (int k = 0; k < 4; ++k) {
          Cb[k] = _mm_sub_ps(Cb[k], half);
          Cr[k] = _mm_sub_ps(Cr[k], half);
          R[k] = _mm_add_ps(Y[k], _mm_mul_ps(crToR, Cr[k]));
          G[k] = _mm_sub_ps(_mm_sub_ps(Y[k], _mm_mul_ps(cbToG, Cb[k])), _mm_mul_ps(crToG, Cr[k]));
          B[k] = _mm_add_ps(Y[k], _mm_mul_ps(cbToB, Cb[k]));
        }
        __m128i const band[3] = {_mm_xor_si128(floatsToBytes(R), xorMask),
                                 _mm_xor_si128(floatsToBytes(G), xorMask),
                                 _mm_xor_si128(floatsToBytes(B), xorMask)};
        std::uint8_t* row = out + static_cast<std::ptrdiff_t>(r0 + i) * rowStride + c0 * step;
        if (step == 3) {
          storeRow(band[order[0]], band[order[1]], band[order[2]], row);
        } else {
          for (int k = 0; k < 3; ++k)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(row + offset[k]), band[k]);
        }
      }
    }
}

}  // namespace detail

// 8-bit planes: whole tiles in vector registers, the frame's edges one pixel
// at a time (the edge rectangles start on even rows and columns).
template <>
void rgbToYuv420<std::uint8_t>(unsigned char const* r, unsigned char const* g,
                               unsigned char const* b, std::size_t w, std::size_t h,
                               YuvWeights const& k, std::uint8_t* y, std::size_t yStride,
                               std::uint8_t* u, std::uint8_t* v, std::size_t cStride) {
  std::size_t const w16 = w / 16 * 16, h16 = h / 16 * 16;
  unsigned char const* const planes[3] = {r, g, b};
  detail::yuv420Tiles(planes, w16, h16, h, k, y, yStride, u, v, cStride);
  rgbToYuv420Region<std::uint8_t>(r, g, b, h, k, y, yStride, u, v, cStride, 0, h, w16, w);
  rgbToYuv420Region<std::uint8_t>(r, g, b, h, k, y, yStride, u, v, cStride, h16, h, 0, w16);
}

// 8-bit 4:2:2 planes into 8-bit codes, packed three to a pixel or one plane
// per band: whole tiles in vector registers, the frame's edges one pixel at a
// time. Inside the tiles every pixel column has its own chroma column (the
// last, repeated column of an odd width lies beyond them).
template <>
void yuv422ToRgb<std::uint8_t, std::uint8_t>(unsigned char const* yIn, unsigned char const* uIn,
                                             unsigned char const* vIn, std::size_t w, std::size_t h,
                                             std::uint8_t* out, std::size_t step,
                                             std::ptrdiff_t rowStride,
                                             std::ptrdiff_t const offset[3], std::uint8_t mask) {
  int order[3] = {-1, -1, -1};
  bool packed = step == 3;
  for (int k = 0; k < 3 && packed; ++k) {
    if (offset[k] < 0 || offset[k] > 2 || order[offset[k]] >= 0)
      packed = false;
    else
      order[offset[k]] = k;
  }
  std::size_t const w16 = packed || step == 1 ? w / 16 * 16 : 0, h16 = h / 16 * 16;
  if (w16 && h16)
    detail::yuv422RgbTiles(yIn, uIn, vIn, w16, h16, h, out, step, rowStride, offset, order, mask);
  std::size_t const rowsDone = w16 ? h16 : 0;
  yuv422ToRgbRegion<std::uint8_t, std::uint8_t>(yIn, uIn, vIn, w, h, out, step, rowStride, offset,
                                                mask, 0, h, w16, w);
  yuv422ToRgbRegion<std::uint8_t, std::uint8_t>(yIn, uIn, vIn, w, h, out, step, rowStride, offset,
                                                mask, rowsDone, h, 0, w16);
}

template <>
void packThree<std::uint8_t>(unsigned char const* q0, unsigned char const* q1,
                             unsigned char const* q2, std::size_t w, std::size_t h,
                             std::uint8_t* first, std::ptrdiff_t rowStride) {
  detail::packThreeBytes(q0, q1, q2, w, h, first, rowStride, detail::haveSsse3());
}
#endif

}  // namespace kernels
}  // namespace sluice
