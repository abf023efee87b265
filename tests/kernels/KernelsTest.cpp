// The conversion kernels: the sample conversions against their rules at the
// edges of the types, and every vector fast path, bit for bit, against the
// one-sample or one-pixel code it stands for.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <tuple>
#include <vector>

#include "AudioKernels.h"
#include "PlaneTranspose.h"
#include "sluice/records.h"

namespace {

using namespace hostlib::multimedia;
using namespace sluice::kernels;
using Bytes = std::vector<unsigned char>;

// Values as samples of `type`: floating types hold them as they are, integer
// types as their stored integer, two's complement and little-endian.
Bytes encode(long type, std::vector<double> const& values) {
  std::size_t const size = sluice::audioSampleSize(type);
  Bytes b(values.size() * size);
  for (std::size_t i = 0; i < values.size(); ++i) {
    float const single = static_cast<float>(type == AUDIO_SINGLE ? values[i] : 0);
    std::int64_t const integer = type > AUDIO_SINGLE ? static_cast<std::int64_t>(values[i]) : 0;
    if (type == AUDIO_DOUBLE) std::memcpy(&b[i * size], &values[i], size);
    if (type == AUDIO_SINGLE) std::memcpy(&b[i * size], &single, size);
    if (type > AUDIO_SINGLE) std::memcpy(&b[i * size], &integer, size);
  }
  return b;
}

// Float to integer scales by 2^(bits-1), rounds to nearest (ties to even),
// clips, and takes NaN as 0; integer to float scales back, unsigned types offset
// by half their range; integer to integer shifts; 24-bit samples are three
// bytes, little-endian.
struct Rule {
  char const* name;
  long in, out;
  std::vector<double> input, expected;
};

void PrintTo(Rule const& rule, std::ostream* os) { *os << rule.name; }

class Conversion : public ::testing::TestWithParam<Rule> {};

TEST_P(Conversion, GivesTheExactValues) {
  Rule const& r = GetParam();
  Bytes const src = encode(r.in, r.input);
  Bytes dst(r.expected.size() * sluice::audioSampleSize(r.out), 0xEE);
  convertFunction(r.in, r.out)(src.data(), dst.data(), r.input.size());
  EXPECT_EQ(dst, encode(r.out, r.expected));
}

long const D = AUDIO_DOUBLE, S = AUDIO_SINGLE, I8 = AUDIO_INT8, U8 = AUDIO_UINT8, I16 = AUDIO_INT16,
           I32 = AUDIO_INT32, U32 = AUDIO_UINT32, I24 = AUDIO_INT24, U24 = AUDIO_UINT24;
double const nan = std::numeric_limits<double>::quiet_NaN(), l = 1.0 / 32768, top = 2147483648.0;

Rule const kRules[] = {
    {"DoubleToInt16Scales", D, I16, {1, -1, 0.5, -0.25}, {32767, -32768, 16384, -8192}},
    {"DoubleToInt16Clips", D, I16, {1.0000001, -1.5, 9e9, -9e9}, {32767, -32768, 32767, -32768}},
    {"DoubleToInt16RoundsTiesToEven", D, I16, {l / 2, 1.5 * l, -l / 2, -1.5 * l}, {0, 2, 0, -2}},
    {"DoubleToInt16RoundsToNearest", D, I16, {0.49 * l, -2.51 * l, 0.51 * l}, {0, -3, 1}},
    {"NanBecomesZero", D, I16, {nan, -nan}, {0, 0}},
    {"NanBecomesTheUnsignedMiddle", S, U8, {nan}, {128}},
    {"DoubleToUint8OffsetsBy128", D, U8, {1, -1, 0, 2, -2}, {255, 0, 128, 255, 0}},
    {"DoubleToInt8", D, I8, {1, -1, 0.25}, {127, -128, 32}},
    {"DoubleToInt24", D, I24, {1, -1, 1.0 / 8388608, -1.0 / 8388608}, {8388607, -8388608, 1, -1}},
    {"DoubleToInt32Clips", D, I32, {1, -1, 2, -2, 0.5}, {top - 1, -top, top - 1, -top, top / 2}},
    {"SingleJustOverFullScaleToInt16", S, I16, {1, 1.00001, -1.00001}, {32767, 32767, -32768}},
    {"SingleFullScaleToInt32KeepsTheTopValue", S, I32, {1, -1}, {top - 1, -top}},
    {"Int16ToDouble", I16, D, {-32768, 32767, 1}, {-1, 32767 * l, l}},
    {"Uint8ToDouble", U8, D, {0, 128, 255}, {-1, 0, 127.0 / 128}},
    {"Int24ToSingle", I24, S, {-8388608, 4194304}, {-1, 0.5}},
    {"Uint24ToDouble", U24, D, {0, 16777215}, {-1, 8388607.0 / 8388608}},
    {"Int32ToDouble", I32, D, {-top, top - 1}, {-1, (top - 1) / top}},
    {"Uint32ToInt16Shifts", U32, I16, {0, 2 * top - 1, top}, {-32768, 32767, 0}},
    {"Int32ToInt16ShiftsDown", I32, I16, {top - 1, -top, 65535, -1}, {32767, -32768, 0, -1}},
    {"Int16ToInt24ShiftsUp", I16, I24, {-32768, 1}, {-8388608, 256}}};

INSTANTIATE_TEST_SUITE_P(Rules, Conversion, ::testing::ValuesIn(kRules),
                         [](auto const& info) { return std::string(info.param.name); });

TEST(Conversion, ValuesThatNameNoSampleTypeHaveNoKernel) {
  EXPECT_EQ(convertFunction(8, D), nullptr);
  EXPECT_EQ(transposeFunction(D, 11), nullptr);
}

// `count` pseudo-random bytes from `seed`, or `fill` everywhere when it is not
// negative.
Bytes noise(std::size_t count, std::uint32_t seed, int fill = -1) {
  Bytes v(count);
  for (auto& x : v)
    x = std::uint8_t(fill >= 0 ? fill : (seed = seed * 1664525u + 1013904223u) >> 24);
  return v;
}

// `count` samples of `type`; floating ones begin with every edge value.
Bytes samples(long type, std::size_t count, std::uint32_t seed) {
  double const inf = std::numeric_limits<double>::infinity();
  double const edges[] = {nan,       -nan,       inf,   -inf,    1,        -1,
                          1 - l / 2, -1 - l / 2, l / 2, 1.5 * l, -2.5 * l, -0.0};
  Bytes b = noise(count * sluice::audioSampleSize(type), seed);
  for (std::size_t i = 0; i < count && type <= S; ++i) {
    double const x = i < 12 ? edges[i] : (b[i] - 127.5) / 116;
    float const f = static_cast<float>(x);
    std::memcpy(&b[i * (8 - 4 * type)], type ? static_cast<void const*>(&f) : &x, 8 - 4 * type);
  }
  return b;
}

class Samples : public ::testing::TestWithParam<std::tuple<long, long>> {};

// Channel after channel into frames; one channel is the plain conversion. The
// reference converts each sample alone: a run of one has no vector path.
TEST_P(Samples, TransposeMatchesTheOneSampleCode) {
  auto const [in, out] = GetParam();
  std::size_t const is = sluice::audioSampleSize(in), os = sluice::audioSampleSize(out);
  for (std::size_t channels : {1, 2, 3, 4, 6, 8, 9, 32, 300})
    for (std::size_t frames : {0, 1, 7, 8, 17, 1000, 4099}) {
      if (channels == 300 && frames > 17) continue;
      Bytes const src = samples(in, frames * channels, std::uint32_t(frames * 31 + channels));
      Bytes got(frames * channels * os), want = got;
      transposeFunction(in, out)(src.data(), got.data(), frames, channels);
      for (std::size_t f = 0; f < frames; ++f)
        for (std::size_t c = 0; c < channels; ++c)
          convertFunction(in, out)(&src[(c * frames + f) * is], &want[(f * channels + c) * os], 1);
      ASSERT_EQ(got, want) << channels << " channels, " << frames << " frames";
    }
}

long const kTypes[] = {0, 1, 2, 3, 4, 5, 6, 7, 9, 10};
INSTANTIATE_TEST_SUITE_P(EveryPair, Samples,
                         ::testing::Combine(::testing::ValuesIn(kTypes),
                                            ::testing::ValuesIn(kTypes)),
                         [](auto const& info) {
                           return std::string(sluice::audioTypeName(std::get<0>(info.param))) +
                                  "_to_" + sluice::audioTypeName(std::get<1>(info.param));
                         });

class Frames : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};

// Three 8-bit planes into packed pixels (rows padded, top-down and bottom-up),
// by whichever row builder the processor runs and by both.
TEST_P(Frames, PackedPixelsHoldEachPlanesCodes) {
  auto const [w, h] = GetParam();
  auto const planes = noise(3 * w * h, std::uint32_t(w * 13 + h));
  unsigned char const *q0 = planes.data(), *q1 = q0 + w * h, *q2 = q1 + w * h;
  std::ptrdiff_t const stride = sluice::dibStride(w) + 4;
  for (std::ptrdiff_t rows : {stride, -stride}) {
    std::vector<std::uint8_t> want(stride * h, 0xA5), got = want;
    std::uint8_t* first = got.data() + (rows < 0 ? (h - 1) * stride : 0);
    for (std::size_t r = 0; r < h; ++r)
      for (std::size_t c = 0; c < 3 * w; ++c)
        want[(rows < 0 ? h - 1 - r : r) * stride + c] = planes[c % 3 * w * h + c / 3 * h + r];
    packThree<std::uint8_t>(q0, q1, q2, w, h, first, rows);
    ASSERT_EQ(got, want) << rows;
#if defined(__SSE2__)
    for (bool shuffles : {false, detail::haveSsse3()}) {
      std::fill(got.begin(), got.end(), 0xA5);
      detail::packThreeBytes(q0, q1, q2, w, h, first, rows, shuffles);
      ASSERT_EQ(got, want) << rows << (shuffles ? " shuffles" : " SSE2");
    }
#endif
  }
}

// 8-bit RGB into 4:2:0 planes with padded strides, for both weight tables,
// random and at the extremes.
TEST_P(Frames, Yuv420MatchesTheOnePixelCode) {
  auto const [w, h] = GetParam();
  std::size_t const ys = w + 3, cs = (w + 1) / 2 + 2, u = ys * h, v = u + cs * ((h + 1) / 2);
  for (int fill : {-1, 0, 255})
    for (YuvWeights const* k : {&kFullRange, &kLimitedRange}) {
      auto const rgb = noise(3 * w * h, std::uint32_t(w * 7 + h), fill);
      unsigned char const *r = rgb.data(), *g = r + w * h, *b = g + w * h;
      std::vector<std::uint8_t> want(2 * v - u, 0xA5), got = want;
      rgbToYuv420Region<std::uint8_t>(r, g, b, h, *k, &want[0], ys, &want[u], &want[v], cs, 0, h, 0,
                                      w);
      rgbToYuv420<std::uint8_t>(r, g, b, w, h, *k, &got[0], ys, &got[u], &got[v], cs);
      ASSERT_EQ(got, want) << "fill " << fill;
    }
}

// 8-bit 4:2:2 into RGB: packed in either band order, top-down or bottom-up, and
// planar with a sign mask.
TEST_P(Frames, Yuv422ToRgbMatchesTheOnePixelCode) {
  auto const [w, h] = GetParam();
  auto const yuv = noise(w * h + 2 * (w / 2) * h + 1, std::uint32_t(w * 5 + h));
  unsigned char const *y = yuv.data(), *u = y + w * h, *v = u + (w / 2) * h;
  std::ptrdiff_t const n = w * h, packed = sluice::dibStride(w) + 4;
  std::ptrdiff_t const offsets[4][3] = {{2, 1, 0}, {0, 1, 2}, {2, 1, 0}, {0, n, 2 * n}};
  for (int layout = 0; layout < 4; ++layout) {
    bool const planar = layout == 3, bottomUp = layout == 2;
    std::ptrdiff_t const stride = planar ? w : packed, rows = bottomUp ? -stride : stride;
    std::vector<std::uint8_t> want(planar ? 3 * n : stride * h, 0xA5), got = want;
    std::size_t const first = bottomUp ? (h - 1) * stride : 0, step = planar ? 1 : 3;
    yuv422ToRgbRegion<std::uint8_t, std::uint8_t>(y, u, v, w, h, &want[first], step, rows,
                                                  offsets[layout], planar ? 0x80 : 0, 0, h, 0, w);
    yuv422ToRgb<std::uint8_t, std::uint8_t>(y, u, v, w, h, &got[first], step, rows, offsets[layout],
                                            planar ? 0x80 : 0);
    ASSERT_EQ(got, want) << "layout " << layout;
  }
}

std::pair<std::size_t, std::size_t> const kSizes[] = {
    {1, 1}, {2, 16}, {15, 17}, {16, 16}, {17, 33}, {33, 65}, {64, 130}, {75, 129}, {321, 181}};
INSTANTIATE_TEST_SUITE_P(AroundTheTiles, Frames, ::testing::ValuesIn(kSizes));

}  // namespace
