// The vector fast paths of the filter kernels give, bit for bit, what the
// one-sample reference gives: every pair of sample types, every channel count
// that has a path of its own and the ones around it, runs that are not whole
// vectors, and inputs at every edge (NaN, infinities, ties, full scale).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <tuple>
#include <vector>

#include "AudioKernels.h"
#include "PlaneTranspose.h"
#include "SampleConvert.h"
#include "sluice/records.h"

namespace {

using namespace sluice::kernels;
using Bytes = std::vector<unsigned char>;

constexpr long kTypes[] = {0, 1, 2, 3, 4, 5, 6, 7, 9, 10};

// `count` samples of `type`: edge values first, then pseudo-random ones.
Bytes samples(long type, std::size_t count, std::uint32_t seed) {
  std::size_t const size = sluice::audioSampleSize(type);
  Bytes b(count * size);
  double const lsb = 1.0 / 32768;
  double const edges[] = {std::numeric_limits<double>::quiet_NaN(),
                          -std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity(),
                          1.0,
                          -1.0,
                          1.0 - lsb / 2,
                          -1.0 - lsb / 2,
                          0.5 * lsb,
                          1.5 * lsb,
                          -0.5 * lsb,
                          -2.5 * lsb,
                          1e300,
                          -1e300,
                          0.0,
                          -0.0,
                          2.0,
                          -2.0,
                          1.0 / 2147483648.0 * 0.5,
                          4.0e38};
  for (std::size_t i = 0; i < count; ++i) {
    seed = seed * 1664525u + 1013904223u;
    double x = i < sizeof edges / sizeof edges[0]
                   ? edges[i]
                   : (double(seed >> 8) / double(1 << 24) - 0.5) * 2.2;
    if (type == 0) {
      std::memcpy(&b[i * 8], &x, 8);
    } else if (type == 1) {
      float f = static_cast<float>(x);
      std::memcpy(&b[i * 4], &f, 4);
    } else {
      for (std::size_t k = 0; k < size; ++k)
        b[i * size + k] = static_cast<unsigned char>(seed >> (8 * k));
    }
  }
  return b;
}

// The one-sample reference, frame by frame.
template <typename In, typename Out>
void reference(unsigned char const* src, unsigned char* dst, std::size_t frames,
               std::size_t channels) {
  for (std::size_t f = 0; f < frames; ++f)
    for (std::size_t c = 0; c < channels; ++c)
      detail::Convert<In, Out>::one(src + (c * frames + f) * In::size,
                                    dst + (f * channels + c) * Out::size);
}

Bytes expected(long in, long out, Bytes const& src, std::size_t frames, std::size_t channels) {
  Bytes dst(frames * channels * sluice::audioSampleSize(out), 0xEE);
  detail::withType(in, [&](auto i) {
    detail::withType(out, [&](auto o) {
      reference<decltype(i), decltype(o)>(src.data(), dst.data(), frames, channels);
    });
  });
  return dst;
}

class FastPaths : public ::testing::TestWithParam<std::tuple<long, long>> {};

TEST_P(FastPaths, TransposeMatchesTheOneSampleReference) {
  long const in = std::get<0>(GetParam()), out = std::get<1>(GetParam());
  for (std::size_t channels : {1, 2, 3, 4, 6, 8, 9, 32, 300})
    for (std::size_t frames : {0, 1, 7, 8, 17, 1000, 4099}) {
      if (channels == 300 && frames > 17) continue;
      Bytes src = samples(in, frames * channels, std::uint32_t(frames * 31 + channels));
      Bytes got(frames * channels * sluice::audioSampleSize(out), 0xEE);
      transposeFunction(in, out)(src.data(), got.data(), frames, channels);
      ASSERT_EQ(got, expected(in, out, src, frames, channels))
          << sluice::audioTypeName(in) << " to " << sluice::audioTypeName(out) << ", " << channels
          << " channels, " << frames << " frames";
    }
}

TEST_P(FastPaths, ConvertMatchesTheOneSampleReference) {
  long const in = std::get<0>(GetParam()), out = std::get<1>(GetParam());
  for (std::size_t count : {0, 3, 8, 9, 64, 1001}) {
    Bytes src = samples(in, count, std::uint32_t(count + 5));
    Bytes got(count * sluice::audioSampleSize(out), 0xEE);
    convertFunction(in, out)(src.data(), got.data(), count);
    ASSERT_EQ(got, expected(in, out, src, count, 1))
        << sluice::audioTypeName(in) << " to " << sluice::audioTypeName(out) << ", " << count << " samples";
  }
}

std::string pairName(::testing::TestParamInfo<std::tuple<long, long>> const& info) {
  return std::string(sluice::audioTypeName(std::get<0>(info.param))) + "_to_" +
         sluice::audioTypeName(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(EveryPair, FastPaths,
                         ::testing::Combine(::testing::ValuesIn(kTypes),
                                            ::testing::ValuesIn(kTypes)),
                         pairName);

// The video transposes against element-by-element addressing, at sizes that
// are and are not whole tiles, for the step and row orders the filter uses.
template <typename T, typename Word>
void checkPlane(std::size_t w, std::size_t h, std::size_t step, bool bottomUp) {
  std::vector<T> plane(w * h);
  std::uint32_t seed = std::uint32_t(w * 7 + h);
  for (auto& v : plane) v = static_cast<T>((seed = seed * 1664525u + 1013904223u) >> 8);
  std::size_t const stride = w * step + 5;
  std::vector<Word> got(stride * h, 0), want(stride * h, 0);
  Word* first = bottomUp ? got.data() + (h - 1) * stride : got.data();
  auto const rows =
      bottomUp ? -static_cast<std::ptrdiff_t>(stride) : static_cast<std::ptrdiff_t>(stride);
  auto const* bytes = reinterpret_cast<unsigned char const*>(plane.data());
  sluice::kernels::transposePlane<T, Word>(bytes, w, h, first, step, rows);
  for (std::size_t r = 0; r < h; ++r)
    for (std::size_t c = 0; c < w; ++c) {
      std::size_t const row = bottomUp ? h - 1 - r : r;
      want[row * stride + c * step] = sluice::kernels::codeOf<Word, T>(bytes, c * h + r);
    }
  ASSERT_EQ(got, want) << w << "x" << h << " step " << step << (bottomUp ? " bottom-up" : "");
}

TEST(PlaneTransposeFastPaths, MatchElementByElementAddressing) {
  for (auto [w, h] : {std::pair<std::size_t, std::size_t>{1, 1},
                      {3, 5},
                      {16, 16},
                      {17, 33},
                      {64, 64},
                      {65, 130},
                      {200, 71}})
    for (std::size_t step : {1, 3})
      for (bool bottomUp : {false, true}) {
        checkPlane<std::uint8_t, std::uint8_t>(w, h, step, bottomUp);
        checkPlane<std::uint16_t, std::uint16_t>(w, h, step, bottomUp);
        checkPlane<std::uint16_t, std::uint8_t>(w, h, step, bottomUp);
        checkPlane<std::uint8_t, std::uint16_t>(w, h, step, bottomUp);
      }
}

template <typename T>
void checkThree(std::size_t w, std::size_t h, bool bottomUp) {
  std::vector<T> planes[3];
  std::uint32_t seed = std::uint32_t(w * 13 + h);
  for (auto& p : planes) {
    p.resize(w * h);
    for (auto& v : p) v = static_cast<T>((seed = seed * 1664525u + 1013904223u) >> 8);
  }
  // Rows padded as a DIB's, with a guard byte pattern that must survive.
  std::size_t const stride = sluice::dibStride(w) + 4;
  std::vector<std::uint8_t> got(stride * h, 0xA5), want(stride * h, 0xA5);
  auto const rows =
      bottomUp ? -static_cast<std::ptrdiff_t>(stride) : static_cast<std::ptrdiff_t>(stride);
  std::size_t const firstRow = bottomUp ? (h - 1) * stride : 0;
  unsigned char const* q[3];
  for (int k = 0; k < 3; ++k) q[k] = reinterpret_cast<unsigned char const*>(planes[k].data());
  for (int k = 0; k < 3; ++k)
    sluice::kernels::transposePlane<T, std::uint8_t>(q[k], w, h, want.data() + firstRow + k, 3, rows);
  sluice::kernels::packThree<T>(q[0], q[1], q[2], w, h, got.data() + firstRow, rows);
  ASSERT_EQ(got, want) << w << "x" << h << (bottomUp ? " bottom-up" : "");
#if defined(__SSE2__)
  if constexpr (sizeof(T) == 1) {
    // Both row builders, whichever the processor chose above.
    for (bool shuffles : {false, sluice::kernels::detail::haveSsse3()}) {
      std::fill(got.begin(), got.end(), 0xA5);
      sluice::kernels::detail::packThreeBytes(q[0], q[1], q[2], w, h, got.data() + firstRow, rows,
                                          shuffles);
      ASSERT_EQ(got, want) << w << "x" << h << (shuffles ? " shuffles" : " SSE2");
    }
  }
#endif
}

TEST(PackedPixelsFastPath, MatchesThreePlaneTransposes) {
  for (auto [w, h] : {std::pair<std::size_t, std::size_t>{1, 1},
                      {15, 17},
                      {16, 16},
                      {32, 64},
                      {33, 65},
                      {48, 130},
                      {640, 480},
                      {75, 129}})
    for (bool bottomUp : {false, true}) {
      checkThree<std::uint8_t>(w, h, bottomUp);
      checkThree<std::uint16_t>(w, h, bottomUp);
    }
}

// 4:2:0 from 8-bit planes: the tiled vector path and the one-pixel code agree on
// every sample, for both weight tables, sizes around the 16-pixel tiles, planes
// at the extremes (all 0, all 255) and padded strides whose bytes must survive.
TEST(Yuv420FastPath, MatchesTheOnePixelCode) {
  for (auto [w, h] : {std::pair<std::size_t, std::size_t>{1, 1},
                      {15, 17},
                      {16, 16},
                      {17, 16},
                      {33, 65},
                      {64, 130},
                      {321, 181}})
    for (int fill : {-1, 0, 255})
      for (bool limited : {false, true}) {
        std::vector<std::uint8_t> planes[3];
        std::uint32_t seed = std::uint32_t(w * 7 + h);
        for (auto& p : planes) {
          p.resize(w * h);
          for (auto& v : p)
            v = fill >= 0 ? std::uint8_t(fill)
                          : static_cast<std::uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
        }
        std::size_t const yStride = w + 3, cw = (w + 1) / 2, ch = (h + 1) / 2, cStride = cw + 2;
        auto const& k = limited ? sluice::kernels::kLimitedRange : sluice::kernels::kFullRange;
        std::vector<std::uint8_t> want[3] = {std::vector<std::uint8_t>(yStride * h, 0xA5),
                                             std::vector<std::uint8_t>(cStride * ch, 0xA5),
                                             std::vector<std::uint8_t>(cStride * ch, 0xA5)};
        std::vector<std::uint8_t> got[3] = {want[0], want[1], want[2]};
        sluice::kernels::rgbToYuv420Region<std::uint8_t>(
            planes[0].data(), planes[1].data(), planes[2].data(), h, k, want[0].data(), yStride,
            want[1].data(), want[2].data(), cStride, 0, h, 0, w);
        sluice::kernels::rgbToYuv420<std::uint8_t>(planes[0].data(), planes[1].data(), planes[2].data(),
                                               w, h, k, got[0].data(), yStride, got[1].data(),
                                               got[2].data(), cStride);
        for (int j = 0; j < 3; ++j)
          ASSERT_EQ(got[j], want[j]) << w << "x" << h << " plane " << j << " fill " << fill
                                     << (limited ? " limited" : " full");
      }
}

// 4:2:2 to RGB from 8-bit planes: the tiled vector path and the one-pixel code
// agree on every byte, packed (in either band order, top-down or bottom-up) and
// planar with a sign mask, at sizes around the tiles, odd widths included.
TEST(Yuv422FastPath, MatchesTheOnePixelCode) {
  for (auto [w, h] : {std::pair<std::size_t, std::size_t>{1, 1},
                      {2, 16},
                      {15, 17},
                      {16, 16},
                      {17, 33},
                      {33, 16},
                      {64, 130},
                      {321, 181}})
    for (int layout = 0; layout < 4; ++layout) {
      std::vector<std::uint8_t> planes[3];
      std::uint32_t seed = std::uint32_t(w * 5 + h);
      std::size_t const sizes[3] = {w * h, (w / 2) * h, (w / 2) * h};
      for (int k = 0; k < 3; ++k) {
        planes[k].resize(std::max<std::size_t>(sizes[k], 1));
        for (auto& v : planes[k])
          v = static_cast<std::uint8_t>((seed = seed * 1664525u + 1013904223u) >> 24);
      }
      bool const planar = layout == 3;
      std::size_t const step = planar ? 1 : 3;
      std::size_t const stride = planar ? w : sluice::dibStride(w) + 4;
      std::size_t const bytes = planar ? 3 * w * h : stride * h;
      std::ptrdiff_t const n = static_cast<std::ptrdiff_t>(w * h);
      std::ptrdiff_t const offsets[4][3] = {{2, 1, 0}, {0, 1, 2}, {2, 1, 0}, {0, n, 2 * n}};
      bool const bottomUp = layout == 2;
      auto const rows =
          bottomUp ? -static_cast<std::ptrdiff_t>(stride) : static_cast<std::ptrdiff_t>(stride);
      std::size_t const first = bottomUp ? (h - 1) * stride : 0;
      std::uint8_t const mask = planar ? 0x80 : 0;
      std::vector<std::uint8_t> want(bytes, 0xA5), got(bytes, 0xA5);
      sluice::kernels::yuv422ToRgbRegion<std::uint8_t, std::uint8_t>(
          planes[0].data(), planes[1].data(), planes[2].data(), w, h, want.data() + first, step,
          rows, offsets[layout], mask, 0, h, 0, w);
      sluice::kernels::yuv422ToRgb<std::uint8_t, std::uint8_t>(
          planes[0].data(), planes[1].data(), planes[2].data(), w, h, got.data() + first, step,
          rows, offsets[layout], mask);
      ASSERT_EQ(got, want) << w << "x" << h << " layout " << layout;
    }
}

}  // namespace
