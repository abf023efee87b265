// The conversion kernels at the edges of every type, and the transpose for every
// pair of types.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <tuple>
#include <vector>

#include "AudioKernels.h"
#include "sluice/media.h"

namespace {

using namespace hostlib::multimedia;
using sluice::kernels::convertFunction;
using sluice::kernels::transposeFunction;

typedef std::vector<unsigned char> Bytes;

template <typename T>
Bytes bytesOf(std::initializer_list<T> values) {
  Bytes b(values.size() * sizeof(T));
  std::memcpy(b.data(), values.begin(), b.size());
  return b;
}

Bytes convert(AudioDataType in, AudioDataType out, Bytes const& src) {
  std::size_t count = src.size() / sluice::audioSampleSize(in);
  Bytes dst(count * sluice::audioSampleSize(out), 0xEE);
  convertFunction(in, out)(src.data(), dst.data(), count);
  return dst;
}

struct Edge {
  char const* name;
  AudioDataType in;
  AudioDataType out;
  Bytes input;
  Bytes expected;
};

void PrintTo(Edge const& e, std::ostream* os) { *os << e.name; }

class ConversionEdges : public ::testing::TestWithParam<Edge> {};

TEST_P(ConversionEdges, GiveTheExactValues) {
  Edge const& e = GetParam();
  EXPECT_EQ(convert(e.in, e.out, e.input), e.expected);
}

double const nan = std::numeric_limits<double>::quiet_NaN();
double const lsb16 = 1.0 / 32768;

INSTANTIATE_TEST_SUITE_P(
    Samples, ConversionEdges,
    ::testing::Values(
        Edge{"DoubleFullScaleToInt16Clips", AUDIO_DOUBLE, AUDIO_INT16,
             bytesOf<double>({1.0, -1.0, 1.0000001, -1.5, 0.5, 1e300, -1e300}),
             bytesOf<std::int16_t>({32767, -32768, 32767, -32768, 16384, 32767, -32768})},
        Edge{"DoubleToInt16RoundsToNearestEven", AUDIO_DOUBLE, AUDIO_INT16,
             bytesOf<double>({0.5 * lsb16, 1.5 * lsb16, -0.5 * lsb16, -1.5 * lsb16, 0.49 * lsb16,
                              -2.51 * lsb16}),
             bytesOf<std::int16_t>({0, 2, 0, -2, 0, -3})},
        Edge{"NanBecomesZero", AUDIO_DOUBLE, AUDIO_INT16, bytesOf<double>({nan, -nan}),
             bytesOf<std::int16_t>({0, 0})},
        Edge{"NanBecomesTheUnsignedMiddle", AUDIO_SINGLE, AUDIO_UINT8,
             bytesOf<float>({std::numeric_limits<float>::quiet_NaN()}), Bytes{128}},
        Edge{"DoubleToUint8OffsetsBy128", AUDIO_DOUBLE, AUDIO_UINT8,
             bytesOf<double>({1.0, -1.0, 0.0, 2.0, -2.0}), Bytes{255, 0, 128, 255, 0}},
        Edge{"DoubleToInt8", AUDIO_DOUBLE, AUDIO_INT8, bytesOf<double>({1.0, -1.0, 0.25}),
             bytesOf<std::int8_t>({127, -128, 32})},
        Edge{"DoubleToInt24PacksThreeBytesLittleEndian", AUDIO_DOUBLE, AUDIO_INT24,
             bytesOf<double>({1.0, -1.0, 1.0 / 8388608, -1.0 / 8388608}),
             Bytes{0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0xFF}},
        Edge{"DoubleToUint24", AUDIO_DOUBLE, AUDIO_UINT24, bytesOf<double>({1.0, -1.0, 0.0}),
             Bytes{0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80}},
        Edge{"DoubleToInt32ClipsWithoutWrapping", AUDIO_DOUBLE, AUDIO_INT32,
             bytesOf<double>({1.0, -1.0, 2.0, -2.0, 0.5}),
             bytesOf<std::int32_t>({2147483647, -2147483647 - 1, 2147483647, -2147483647 - 1,
                                    1073741824})},
        Edge{"DoubleToUint32", AUDIO_DOUBLE, AUDIO_UINT32, bytesOf<double>({1.0, -1.0, 0.0}),
             bytesOf<std::uint32_t>({0xFFFFFFFFu, 0u, 0x80000000u})},
        Edge{"DoubleToUint16", AUDIO_DOUBLE, AUDIO_UINT16, bytesOf<double>({1.0, -1.0, 0.0}),
             bytesOf<std::uint16_t>({65535, 0, 32768})},
        Edge{"SingleJustOverFullScaleToInt16", AUDIO_SINGLE, AUDIO_INT16,
             bytesOf<float>({1.0f, 1.00001f, -1.00001f}),
             bytesOf<std::int16_t>({32767, 32767, -32768})},
        Edge{"SingleFullScaleToInt32KeepsTheTopValue", AUDIO_SINGLE, AUDIO_INT32,
             bytesOf<float>({1.0f, -1.0f}), bytesOf<std::int32_t>({2147483647, -2147483647 - 1})},
        Edge{"Int16ScalesBy32768", AUDIO_INT16, AUDIO_DOUBLE,
             bytesOf<std::int16_t>({-32768, 32767, 1}),
             bytesOf<double>({-1.0, 32767.0 / 32768, 1.0 / 32768})},
        Edge{"Uint8OffsetsBy128ToDouble", AUDIO_UINT8, AUDIO_DOUBLE, Bytes{0, 128, 255},
             bytesOf<double>({-1.0, 0.0, 127.0 / 128})},
        Edge{"Int24ToSingle", AUDIO_INT24, AUDIO_SINGLE, Bytes{0x00, 0x00, 0x80, 0x00, 0x00, 0x40},
             bytesOf<float>({-1.0f, 0.5f})},
        Edge{"Uint24ToDouble", AUDIO_UINT24, AUDIO_DOUBLE,
             Bytes{0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF},
             bytesOf<double>({-1.0, 8388607.0 / 8388608})},
        Edge{"MinimumInt32ToDouble", AUDIO_INT32, AUDIO_DOUBLE,
             bytesOf<std::int32_t>({-2147483647 - 1}), bytesOf<double>({-1.0})},
        Edge{"Uint32ToInt16Shifts", AUDIO_UINT32, AUDIO_INT16,
             bytesOf<std::uint32_t>({0u, 0xFFFFFFFFu, 0x80000000u}),
             bytesOf<std::int16_t>({-32768, 32767, 0})},
        Edge{"Int32ToInt16ShiftsDown", AUDIO_INT32, AUDIO_INT16,
             bytesOf<std::int32_t>({2147483647, -2147483647 - 1, 0xFFFF, -1}),
             bytesOf<std::int16_t>({32767, -32768, 0, -1})},
        Edge{"Int16ToInt32ShiftsUp", AUDIO_INT16, AUDIO_INT32, bytesOf<std::int16_t>({-32768, 1}),
             bytesOf<std::int32_t>({-2147483647 - 1, 65536})},
        Edge{"Uint8ToInt16", AUDIO_UINT8, AUDIO_INT16, Bytes{0, 255, 128},
             bytesOf<std::int16_t>({-32768, 0x7F00, 0})},
        Edge{"Int8ToUint8", AUDIO_INT8, AUDIO_UINT8, bytesOf<std::int8_t>({-128, 127, 0}),
             Bytes{0, 255, 128}},
        Edge{"Uint24ToInt16", AUDIO_UINT24, AUDIO_INT16, Bytes{0xFF, 0xFF, 0xFF, 0, 0, 0},
             bytesOf<std::int16_t>({32767, -32768})},
        Edge{"Uint16ToInt24", AUDIO_UINT16, AUDIO_INT24, bytesOf<std::uint16_t>({0, 65535}),
             Bytes{0x00, 0x00, 0x80, 0x00, 0xFF, 0x7F}},
        Edge{"DoubleToSingle", AUDIO_DOUBLE, AUDIO_SINGLE, bytesOf<double>({0.1, -2.5}),
             bytesOf<float>({0.1f, -2.5f})}),
    [](::testing::TestParamInfo<Edge> const& info) { return std::string(info.param.name); });

TEST(SampleTypes, NamesGoBothWays) {
  for (long t = 0; t <= 10; ++t) {
    AudioDataType back = AUDIO_UNSPECIFIED;
    if (t == 8) {
      EXPECT_STREQ(sluice::audioTypeName(t), "");
      EXPECT_FALSE(sluice::audioTypeFromName("", back));
      continue;
    }
    ASSERT_TRUE(sluice::audioTypeFromName(sluice::audioTypeName(t), back));
    EXPECT_EQ(back, t);
  }
  AudioDataType back;
  EXPECT_FALSE(sluice::audioTypeFromName("Double", back));
  EXPECT_STREQ(sluice::audioTypeName(11), "");
  EXPECT_EQ(convertFunction(8, 0), nullptr);
  EXPECT_EQ(transposeFunction(0, 11), nullptr);
}

// Every pair of types: values every type holds exactly (multiples of 1/128) come
// out at their interleaved place. 300 frames and 37 channels cross the tiles.
class TransposeEveryPair : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(TransposeEveryPair, PutsEachSampleAtItsFrame) {
  auto const in = static_cast<AudioDataType>(std::get<0>(GetParam()));
  auto const out = static_cast<AudioDataType>(std::get<1>(GetParam()));
  std::size_t const frames = 300, channels = 37;
  std::vector<std::int8_t> plain(frames * channels);
  for (std::size_t c = 0; c < channels; ++c)
    for (std::size_t f = 0; f < frames; ++f)
      plain[c * frames + f] = static_cast<std::int8_t>((f * 7 + c * 13) % 256 - 128);
  Bytes src(plain.size() * sluice::audioSampleSize(in));
  convertFunction(AUDIO_INT8, in)(reinterpret_cast<unsigned char*>(plain.data()), src.data(),
                                  plain.size());
  Bytes dst(plain.size() * sluice::audioSampleSize(out));
  transposeFunction(in, out)(src.data(), dst.data(), frames, channels);
  std::vector<std::int8_t> back(plain.size());
  convertFunction(out, AUDIO_INT8)(dst.data(), reinterpret_cast<unsigned char*>(back.data()),
                                   back.size());
  for (std::size_t f = 0; f < frames; ++f)
    for (std::size_t c = 0; c < channels; ++c)
      ASSERT_EQ(back[f * channels + c], plain[c * frames + f]) << "frame " << f << " channel " << c;
}

INSTANTIATE_TEST_SUITE_P(Types, TransposeEveryPair,
                         ::testing::Combine(::testing::Values(0, 1, 2, 3, 4, 5, 6, 7, 9, 10),
                                            ::testing::Values(0, 1, 2, 3, 4, 5, 6, 7, 9, 10)));

TEST(Transpose, OneChannelAndNoFrames) {
  auto fn = transposeFunction(AUDIO_INT16, AUDIO_DOUBLE);
  Bytes src = bytesOf<std::int16_t>({16384, -16384});
  Bytes dst(16);
  fn(src.data(), dst.data(), 2, 1);
  EXPECT_EQ(dst, bytesOf<double>({0.5, -0.5}));
  fn(src.data(), dst.data(), 0, 5);  // touches nothing
  EXPECT_EQ(dst, bytesOf<double>({0.5, -0.5}));
}

}  // namespace
