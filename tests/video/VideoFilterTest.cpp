// The video filter byte for byte: every element type into every layout on small
// frames, the blocked transposes on frames larger than a tile, and its refusals.
#include <gtest/gtest.h>

#include <boost/any.hpp>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "PlaneTranspose.h"
#include "VideoFilter.h"

using namespace hostlib::multimedia;
using sluice::videofilter::VideoFilter;

namespace {

// Reference conversions in floating point, independent of the kernels' integer
// arithmetic.
long roundHalfUp(double v) { return static_cast<long>(std::floor(v + 0.5)); }

template <typename T>
struct Source;
template <>
struct Source<double> {
  static constexpr VideoDataType type = VIDEO_DOUBLE;
  static std::vector<double> values() {
    return {-0.5, 0.0, 0.001, 0.25, 0.5, 0.999, 1.0, 2.0, std::numeric_limits<double>::quiet_NaN()};
  }
  static double unit(double v) { return std::isnan(v) ? 0 : v < 0 ? 0 : v > 1 ? 1 : v; }
};
template <>
struct Source<float> {
  static constexpr VideoDataType type = VIDEO_SINGLE;
  static std::vector<float> values() { return {-1.f, 0.f, 0.002f, 0.3f, 0.5f, 0.75f, 1.f, 7.f}; }
  static double unit(float v) { return v < 0 ? 0 : v > 1 ? 1 : v; }
};
template <>
struct Source<std::uint8_t> {
  static constexpr VideoDataType type = VIDEO_UINT8;
  static std::vector<std::uint8_t> values() { return {0, 1, 127, 128, 200, 254, 255}; }
  static double unit(std::uint8_t v) { return v / 255.0; }
};
template <>
struct Source<std::int8_t> {
  static constexpr VideoDataType type = VIDEO_INT8;
  static std::vector<std::int8_t> values() { return {-128, -127, -1, 0, 1, 100, 127}; }
  static double unit(std::int8_t v) { return (v + 128) / 255.0; }
};
template <>
struct Source<std::uint16_t> {
  static constexpr VideoDataType type = VIDEO_UINT16;
  static std::vector<std::uint16_t> values() { return {0, 1, 128, 129, 385, 32767, 65407, 65535}; }
  static double unit(std::uint16_t v) { return v / 65535.0; }
};
template <>
struct Source<std::int16_t> {
  static constexpr VideoDataType type = VIDEO_INT16;
  static std::vector<std::int16_t> values() { return {-32768, -32640, -1, 0, 1, 32767}; }
  static double unit(std::int16_t v) { return (v + 32768) / 65535.0; }
};
template <>
struct Source<std::uint32_t> {
  static constexpr VideoDataType type = VIDEO_UINT32;
  static std::vector<std::uint32_t> values() {
    return {0u, 8421504u, 8421505u, 2147483648u, 4294967295u, 4286545791u};
  }
  static double unit(std::uint32_t v) { return v / 4294967295.0; }
};
template <>
struct Source<std::int32_t> {
  static constexpr VideoDataType type = VIDEO_INT32;
  static std::vector<std::int32_t> values() {
    return {std::numeric_limits<std::int32_t>::min(), -1, 0, 1, 1000000, std::numeric_limits<std::int32_t>::max()};
  }
  static double unit(std::int32_t v) { return (double(v) + 2147483648.0) / 4294967295.0; }
};
// Logical frames are bytes; any non-zero byte is true.
struct LogicalByte {
  std::uint8_t v;
};
template <>
struct Source<LogicalByte> {
  static constexpr VideoDataType type = VIDEO_LOGICAL;
  static std::vector<LogicalByte> values() { return {{0}, {1}, {0}, {2}, {255}}; }
  static double unit(LogicalByte v) { return v.v ? 1.0 : 0.0; }
};

template <typename T>
std::uint8_t ref8(T v) {
  return static_cast<std::uint8_t>(roundHalfUp(Source<T>::unit(v) * 255.0));
}
template <typename T>
std::uint16_t ref16(T v) {
  return static_cast<std::uint16_t>(roundHalfUp(Source<T>::unit(v) * 65535.0));
}

// A column-major plane of `w` x `h` elements cycling through the type's values,
// shifted by `shift` so that planes differ.
template <typename T>
std::vector<T> plane(std::size_t w, std::size_t h, std::size_t shift) {
  auto const v = Source<T>::values();
  std::vector<T> p(w * h);
  for (std::size_t i = 0; i < p.size(); ++i) p[i] = v[(i * 5 + shift) % v.size()];
  return p;
}

template <typename T>
unsigned char const* bytes(std::vector<T> const& v) {
  return reinterpret_cast<unsigned char const*>(v.data());
}

struct Configured {
  std::unique_ptr<VideoFilter> filter = std::make_unique<VideoFilter>();
  Configured(std::u16string const& expected, std::u16string const& dataType = u"invalid",
             std::u16string const& input = u"RawPlanarColumn") {
    boost::any in(input), out(expected), type(dataType);
    filter->add({{"InputFrameType", &in}, {"OutputFrameType", &out}, {"OutputDataType", &type}});
    filter->open({});
  }
};

sluice::Record frame(std::vector<unsigned char const*> planes, std::size_t w, std::size_t h,
                     VideoDataType type, FourCCType fourCC) {
  return {planes, w, h, type, fourCC};
}

unsigned char const* planeOf(sluice::OwnedRecord const& r, std::size_t k) {
  return boost::any_cast<std::vector<unsigned char const*>>(r.record[0])[k];
}

template <typename T>
class ElementTypes : public ::testing::Test {};
using AllTypes = ::testing::Types<double, float, std::uint8_t, std::int8_t, std::uint16_t,
                                  std::int16_t, std::uint32_t, std::int32_t, LogicalByte>;
TYPED_TEST_SUITE(ElementTypes, AllTypes);

TYPED_TEST(ElementTypes, RgbIntoBgrRowsPaddedToFourBytesTopDownOrBottomUp) {
  using T = TypeParam;
  std::size_t const w = 3, h = 2;  // 9 bytes a row, padded to 12
  auto r = plane<T>(w, h, 0), g = plane<T>(w, h, 1), b = plane<T>(w, h, 2);
  for (bool bottomUp : {false, true}) {
    std::u16string const layout = bottomUp ? u"BGR24BottomUp" : u"BGR24";
    Configured c(layout + u"|Gray8");
    auto out = c.filter->process(frame({bytes(r), bytes(g), bytes(b)}, w, h, Source<T>::type,
                                       FOURCC_RGB_PLANAR));
    ASSERT_EQ(out->record.size(), 6u);
    EXPECT_EQ(boost::any_cast<std::size_t>(out->record[1]), w);
    EXPECT_EQ(boost::any_cast<std::size_t>(out->record[2]), h);
    EXPECT_EQ(boost::any_cast<VideoDataType>(out->record[3]), VIDEO_UINT8);
    EXPECT_EQ(boost::any_cast<FourCCType>(out->record[4]), FOURCC_RGB_PLANAR);
    EXPECT_EQ(boost::any_cast<std::u16string>(out->record[5]), layout);
    unsigned char const* dib = planeOf(*out, 0);
    EXPECT_EQ(planeOf(*out, 1), nullptr);
    for (std::size_t row = 0; row < h; ++row) {
      std::size_t const src = bottomUp ? h - 1 - row : row;
      for (std::size_t col = 0; col < w; ++col) {
        std::size_t const i = col * h + src;
        EXPECT_EQ(dib[row * 12 + col * 3 + 0], ref8(b[i])) << row << "," << col;
        EXPECT_EQ(dib[row * 12 + col * 3 + 1], ref8(g[i])) << row << "," << col;
        EXPECT_EQ(dib[row * 12 + col * 3 + 2], ref8(r[i])) << row << "," << col;
      }
      for (std::size_t pad = 9; pad < 12; ++pad) EXPECT_EQ(dib[row * 12 + pad], 0);
    }
  }
}

TYPED_TEST(ElementTypes, MonoIntoTopDownGray8) {
  using T = TypeParam;
  std::size_t const w = 5, h = 3;
  auto y = plane<T>(w, h, 0);
  Configured c(u"BGR24|Gray8");
  auto out = c.filter->process(frame({bytes(y), nullptr, nullptr}, w, h, Source<T>::type, FOURCC_MONO));
  EXPECT_EQ(boost::any_cast<FourCCType>(out->record[4]), FOURCC_MONO);
  EXPECT_EQ(boost::any_cast<std::u16string>(out->record[5]), u"Gray8");
  unsigned char const* g = planeOf(*out, 0);
  for (std::size_t row = 0; row < h; ++row)
    for (std::size_t col = 0; col < w; ++col)
      EXPECT_EQ(g[row * w + col], ref8(y[col * h + row])) << row << "," << col;
}

TYPED_TEST(ElementTypes, PlanarSixteenBitUnsignedAndSigned) {
  using T = TypeParam;
  std::size_t const w = 4, h = 3, n = w * h;
  auto r = plane<T>(w, h, 0), g = plane<T>(w, h, 3), b = plane<T>(w, h, 4);
  for (bool isSigned : {false, true}) {
    Configured c(u"Planar", isSigned ? u"int16" : u"uint16");
    auto out = c.filter->process(frame({bytes(r), bytes(g), bytes(b)}, w, h, Source<T>::type,
                                       FOURCC_RGB_PLANAR));
    EXPECT_EQ(boost::any_cast<VideoDataType>(out->record[3]), isSigned ? VIDEO_INT16 : VIDEO_UINT16);
    std::vector<T> const* in[3] = {&r, &g, &b};
    for (std::size_t k = 0; k < 3; ++k) {
      unsigned char const* p = planeOf(*out, k);
      ASSERT_NE(p, nullptr);
      for (std::size_t row = 0; row < h; ++row)
        for (std::size_t col = 0; col < w; ++col) {
          std::uint16_t got;
          std::memcpy(&got, p + 2 * (row * w + col), 2);
          std::uint16_t want = ref16((*in[k])[col * h + row]);
          if (isSigned) want ^= 0x8000;  // offset back to two's complement
          EXPECT_EQ(got, want) << k << ":" << row << "," << col;
        }
      (void)n;
    }
  }
}

TYPED_TEST(ElementTypes, PlanarEightBitSignedMono) {
  using T = TypeParam;
  std::size_t const w = 3, h = 5;
  auto y = plane<T>(w, h, 2);
  Configured c(u"Planar", u"int8");
  auto out = c.filter->process(frame({bytes(y), nullptr, nullptr}, w, h, Source<T>::type, FOURCC_MONO));
  EXPECT_EQ(boost::any_cast<VideoDataType>(out->record[3]), VIDEO_INT8);
  EXPECT_EQ(planeOf(*out, 1), nullptr);
  unsigned char const* p = planeOf(*out, 0);
  for (std::size_t row = 0; row < h; ++row)
    for (std::size_t col = 0; col < w; ++col)
      EXPECT_EQ(p[row * w + col], ref8(y[col * h + row]) ^ 0x80) << row << "," << col;
}

TYPED_TEST(ElementTypes, GreyIntoFullRangeYuvKeepsLumaWithNeutralChroma) {
  using T = TypeParam;
  std::size_t const w = 5, h = 3;  // chroma 3 x 2
  auto y = plane<T>(w, h, 1);
  Configured c(u"YUVJ420P");
  auto out = c.filter->process(frame({bytes(y), nullptr, nullptr}, w, h, Source<T>::type, FOURCC_MONO));
  EXPECT_EQ(boost::any_cast<std::u16string>(out->record[5]), u"YUVJ420P");
  for (std::size_t row = 0; row < h; ++row)
    for (std::size_t col = 0; col < w; ++col)
      EXPECT_EQ(planeOf(*out, 0)[row * w + col], ref8(y[col * h + row]));
  for (std::size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(planeOf(*out, 1)[i], 128);
    EXPECT_EQ(planeOf(*out, 2)[i], 128);
  }
}

// BT.601 from 8-bit R, G, B, as a decoder inverts it.
struct Yuv {
  double y, u, v;
};
Yuv bt601(double r, double g, double b, bool limited) {
  double y = 0.299 * r + 0.587 * g + 0.114 * b;
  double u = -0.168736 * r - 0.331264 * g + 0.5 * b;
  double v = 0.5 * r - 0.418688 * g - 0.081312 * b;
  if (limited) return {16 + y * 219 / 255, 128 + u * 224 / 255, 128 + v * 224 / 255};
  return {y, 128 + u, 128 + v};
}

TEST(VideoFilterYuv, RgbIntoLimitedRangePaddedToEvenSize) {
  std::size_t const w = 3, h = 3;  // padded to 4 x 4, chroma 2 x 2
  std::vector<std::uint8_t> r(w * h), g(w * h), b(w * h);
  for (std::size_t i = 0; i < w * h; ++i) {
    r[i] = static_cast<std::uint8_t>(i * 28);
    g[i] = static_cast<std::uint8_t>(255 - i * 20);
    b[i] = static_cast<std::uint8_t>((i * 97) & 255);
  }
  Configured c(u"YUV420PEven");
  auto out = c.filter->process(frame({r.data(), g.data(), b.data()}, w, h, VIDEO_UINT8, FOURCC_RGB_PLANAR));
  EXPECT_EQ(boost::any_cast<std::size_t>(out->record[1]), 3u);  // the frame's own size
  unsigned char const* y = planeOf(*out, 0);
  auto at = [&](std::size_t row, std::size_t col) { return col * h + row; };
  for (std::size_t row = 0; row < 4; ++row)
    for (std::size_t col = 0; col < 4; ++col) {
      std::size_t const i = at(std::min<std::size_t>(row, 2), std::min<std::size_t>(col, 2));
      EXPECT_NEAR(y[row * 4 + col], bt601(r[i], g[i], b[i], true).y, 1.0) << row << "," << col;
    }
  // Chroma of the top-left block: the mean of its four pixels.
  double sr = 0, sg = 0, sb = 0;
  for (std::size_t i : {at(0, 0), at(1, 0), at(0, 1), at(1, 1)}) {
    sr += r[i] / 4.0;
    sg += g[i] / 4.0;
    sb += b[i] / 4.0;
  }
  EXPECT_NEAR(planeOf(*out, 1)[0], bt601(sr, sg, sb, true).u, 1.0);
  EXPECT_NEAR(planeOf(*out, 2)[0], bt601(sr, sg, sb, true).v, 1.0);
  // The bottom-right block holds one pixel, repeated.
  std::size_t const last = at(2, 2);
  EXPECT_NEAR(planeOf(*out, 1)[3], bt601(r[last], g[last], b[last], true).u, 1.0);
}

TEST(VideoFilterYuv, Yuv422IntoYuv420AveragesRowPairsAndRepeatsTheOddColumn) {
  std::size_t const w = 3, h = 2;  // chroma input 1 column, output 2 x 1
  std::vector<std::uint8_t> y = {10, 20, 30, 40, 50, 60}, u = {100, 201}, v = {7, 8};
  Configured c(u"YUVJ420P", u"invalid", u"YUV422PlanarColumn");
  auto out = c.filter->process(frame({y.data(), u.data(), v.data()}, w, h, VIDEO_UINT8, FOURCC_YUV422_PLANAR));
  EXPECT_EQ(boost::any_cast<FourCCType>(out->record[4]), FOURCC_RGB_PLANAR);
  std::vector<std::uint8_t> luma(planeOf(*out, 0), planeOf(*out, 0) + 6);
  EXPECT_EQ(luma, (std::vector<std::uint8_t>{10, 30, 50, 20, 40, 60}));
  EXPECT_EQ(planeOf(*out, 1)[0], 151);  // (100 + 201 + 1) / 2
  EXPECT_EQ(planeOf(*out, 1)[1], 151);
  EXPECT_EQ(planeOf(*out, 2)[0], 8);
  EXPECT_EQ(planeOf(*out, 2)[1], 8);
}

TEST(VideoFilterYuv, Yuv422IntoRgbDecodesBt601) {
  std::size_t const w = 2, h = 1;
  std::vector<std::uint8_t> y = {100, 200}, u = {128}, v = {228};  // Cr + 100
  Configured c(u"Planar", u"uint8", u"YUV422PlanarColumn");
  auto out = c.filter->process(frame({y.data(), u.data(), v.data()}, w, h, VIDEO_UINT8, FOURCC_YUV422_PLANAR));
  unsigned char const* p = planeOf(*out, 0);
  EXPECT_EQ(p[0], 240);  // 100 + 1.402 * 100
  EXPECT_EQ(p[1], 255);  // clipped
  EXPECT_EQ(planeOf(*out, 1)[0], 29);  // 100 - 0.714136 * 100
  EXPECT_EQ(planeOf(*out, 2)[0], 100);
  EXPECT_EQ(planeOf(*out, 2)[1], 200);
}

// The blocked loops against a plain element-by-element walk, on frames spanning
// several tiles with ragged edges.
TEST(VideoFilterTranspose, BlockedTransposeMatchesPlainWalkAcrossTiles) {
  std::size_t const w = 131, h = 70;
  std::vector<std::uint16_t> in(w * h);
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<std::uint16_t>(i * 2654435761u);
  std::size_t const stride = sluice::dibStride(w);
  std::vector<std::uint8_t> out(stride * h, 0xee);
  sluice::kernels::transposePlane<std::uint16_t, std::uint8_t>(
      bytes(in), w, h, out.data() + (h - 1) * stride + 1, 3, -static_cast<std::ptrdiff_t>(stride));
  for (std::size_t r = 0; r < h; ++r)
    for (std::size_t c = 0; c < w; ++c)
      ASSERT_EQ(out[(h - 1 - r) * stride + 3 * c + 1], ref8(in[c * h + r])) << r << "," << c;
  EXPECT_EQ(out[0], 0xee);  // other bands untouched
}

TEST(VideoFilterTranspose, RgbToYuvMatchesAcrossTiles) {
  std::size_t const w = 129, h = 67;
  std::vector<double> r(w * h), g(w * h), b(w * h);
  for (std::size_t i = 0; i < w * h; ++i) {
    r[i] = (i % 255) / 255.0;
    g[i] = ((i * 7) % 255) / 255.0;
    b[i] = ((i * 13) % 255) / 255.0;
  }
  std::size_t const cw = 65, ch = 34;
  std::vector<std::uint8_t> y(w * h), u(cw * ch), v(cw * ch);
  sluice::kernels::rgbToYuv420<double>(bytes(r), bytes(g), bytes(b), w, h, sluice::kernels::kFullRange,
                                   y.data(), w, u.data(), v.data(), cw);
  for (std::size_t row = 0; row < h; ++row)
    for (std::size_t col = 0; col < w; ++col) {
      std::size_t const i = col * h + row;
      ASSERT_NEAR(y[row * w + col], bt601(r[i] * 255, g[i] * 255, b[i] * 255, false).y, 1.0);
    }
}

// Refusals: each names the filter and the catalogue identifier.
std::string refusalOf(std::function<void()> const& f) {
  try {
    f();
  } catch (sluice::sdk::Failure const& e) {
    return e.what();
  }
  return "no failure";
}

TEST(VideoFilterRefusals, AddWithoutAUsableDeviceLayout) {
  boost::any raw(std::u16string(u"RawPlanarColumn")), type(std::u16string(u"invalid"));
  boost::any unknown(std::u16string(u"RGB24")), number(42), gray(std::u16string(u"Gray8"));
  VideoFilter f;
  EXPECT_EQ(refusalOf([&] { f.add({{"InputFrameType", &raw}, {"OutputFrameType", nullptr}, {"OutputDataType", &type}}); }),
            "videofilter:couldNotInitFile");
  EXPECT_EQ(refusalOf([&] { f.add({{"OutputFrameType", &unknown}}); }), "videofilter:couldNotInitFile");
  EXPECT_EQ(refusalOf([&] { f.add({{"OutputFrameType", &number}}); }), "videofilter:couldNotInitFile");
  EXPECT_EQ(refusalOf([&] { f.add({{"OutputFrameType", &gray}}); }), "videofilter:couldNotInitFile");
  boost::any planar(std::u16string(u"Planar")), dbl(std::u16string(u"double"));
  EXPECT_EQ(refusalOf([&] { f.add({{"OutputFrameType", &planar}, {"OutputDataType", &dbl}}); }),
            "videofilter:couldNotInitFile");
  boost::any odd(std::u16string(u"YUV420Column"));
  EXPECT_EQ(refusalOf([&] { f.add({{"InputFrameType", &odd}, {"OutputFrameType", &planar}}); }),
            "videofilter:couldNotInitFile");
  EXPECT_EQ(refusalOf([&] { f.open({}); }), "videofilter:couldNotInitFile");
}

TEST(VideoFilterRefusals, FramesItCannotRead) {
  Configured c(u"BGR24BottomUp|Gray8");
  std::vector<std::uint8_t> p(12, 1);
  auto bad = [&](sluice::Record const& r) { return refusalOf([&] { c.filter->process(r); }); };
  std::string const refused = "videofilter:couldNotWriteFrame";
  EXPECT_EQ(bad(sluice::Record{}), refused);
  EXPECT_EQ(bad(frame({p.data(), p.data(), p.data()}, 0, 4, VIDEO_UINT8, FOURCC_RGB_PLANAR)), refused);
  EXPECT_EQ(bad(frame({p.data(), p.data(), p.data()}, 3, 0, VIDEO_UINT8, FOURCC_RGB_PLANAR)), refused);
  EXPECT_EQ(bad(frame({p.data(), nullptr, p.data()}, 2, 2, VIDEO_UINT8, FOURCC_RGB_PLANAR)), refused);
  EXPECT_EQ(bad(frame({nullptr, nullptr, nullptr}, 2, 2, VIDEO_UINT8, FOURCC_MONO)), refused);
  EXPECT_EQ(bad(frame({p.data(), p.data(), p.data()}, 2, 2, VIDEO_INVALID, FOURCC_RGB_PLANAR)), refused);
  EXPECT_EQ(bad(frame({p.data(), p.data(), p.data()}, 2, 2, VIDEO_UINT8, FOURCC_NONE)), refused);
  EXPECT_EQ(bad(frame({p.data(), p.data(), p.data()}, std::numeric_limits<std::size_t>::max() / 2, 3,
                      VIDEO_UINT8, FOURCC_RGB_PLANAR)),
            refused);
  // Held types must be exact: an int width is not a size_t.
  EXPECT_EQ(bad(sluice::Record{std::vector<unsigned char const*>{p.data(), p.data(), p.data()}, 2, std::size_t(2),
                               VIDEO_UINT8, FOURCC_RGB_PLANAR}),
            refused);
}

TEST(VideoFilterRefusals, OneColumnYuv422NeedsNoChromaPlanes) {
  std::vector<std::uint8_t> y = {90, 91};
  Configured c(u"YUVJ420P", u"invalid", u"YUV422PlanarColumn");
  auto out = c.filter->process(frame({y.data(), nullptr, nullptr}, 1, 2, VIDEO_UINT8, FOURCC_YUV422_PLANAR));
  EXPECT_EQ(planeOf(*out, 1)[0], 128);
  EXPECT_EQ(planeOf(*out, 2)[0], 128);
}

}  // namespace
