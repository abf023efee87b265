// The video plug-ins as the service drives them: the videofilter's layouts byte
// for byte against references in floating point; the videofilewriter fed by it,
// every container and layout probed by ffprobe and decoded by ffmpeg; what either
// refuses; then the stack through the library with the shipped plug-ins found by
// name.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "VideoFileWriter.h"
#include "VideoFilter.h"
#include "hostlib/multimedia/tmmfb2videowriter.h"
#include "support/Maps.h"
#include "support/Plugins.h"
#include "support/Scratch.h"
#include "support/Video.h"

namespace {

using namespace hostlib::multimedia;
using namespace testsupport;
using sluice::videofilter::VideoFilter;
namespace fs = std::filesystem;

// A filter added as the library adds it for a device expecting `layout`.
std::unique_ptr<VideoFilter> filterFor(std::u16string const& layout, std::string const& type = "",
                                       std::string const& input = "RawPlanarColumn") {
  auto filter = std::make_unique<VideoFilter>();
  Map m;
  m.text("InputFrameType", input).set("OutputFrameType", layout);
  filter->add(type.empty() ? m : m.text("OutputDataType", type));
  filter->open({});
  return filter;
}

sluice::Record frame(std::vector<unsigned char const*> planes, std::size_t w, std::size_t h,
                     VideoDataType type, FourCCType fourCC) {
  return {planes, w, h, type, fourCC};
}

// The first `n` elements of plane `k` of a converted frame.
template <typename Word = std::uint8_t>
std::vector<long> elements(std::unique_ptr<sluice::OwnedRecord> const& out, int k, std::size_t n) {
  sluice::ConvertedFrameView v;
  if (!sluice::parseConvertedFrameRecord(out->record, v) || !v.planes[k]) return {};
  auto const* p = reinterpret_cast<Word const*>(v.planes[k]);
  return std::vector<long>(p, p + n);
}

// The codes `values` of type `type`, one row of a one-band frame, are converted to.
template <typename T>
std::vector<long> codes(std::vector<T> const& values, VideoDataType type,
                        std::u16string const& layout = u"BGR24|Gray8",
                        std::string const& out = "") {
  auto const* p = reinterpret_cast<unsigned char const*>(values.data());
  auto c = filterFor(layout, out)
               ->process(frame({p, nullptr, nullptr}, values.size(), 1, type, FOURCC_MONO));
  return out.find("16") == std::string::npos ? elements(c, 0, values.size())
                                             : elements<std::uint16_t>(c, 0, values.size());
}

// Each element type into the nearest 8-bit code to its place in its range
// (floating values clipped, NaN 0, logical bytes 0 or 1), on both sides of
// rounding edges; signed outputs are offset by half their range.
TEST(VideoFilter, TakesEveryElementTypeToTheNearestCodeOfEveryOutputType) {
  using V = std::vector<long>;
  EXPECT_EQ(codes<double>({-0.5, 0, 0.5, 0.999, 2, NAN}, VIDEO_DOUBLE),
            (V{0, 0, 128, 255, 255, 0}));
  EXPECT_EQ(codes<float>({-1, 0.002f, 0.25f, 7}, VIDEO_SINGLE), (V{0, 1, 64, 255}));
  EXPECT_EQ(codes<std::uint8_t>({0, 1, 128, 255}, VIDEO_UINT8), (V{0, 1, 128, 255}));
  EXPECT_EQ(codes<std::int8_t>({-128, -1, 0, 127}, VIDEO_INT8), (V{0, 127, 128, 255}));
  EXPECT_EQ(codes<std::uint16_t>({0, 128, 129, 385, 65535}, VIDEO_UINT16), (V{0, 0, 1, 1, 255}));
  EXPECT_EQ(codes<std::int16_t>({-32768, -32640, -32639, 32767}, VIDEO_INT16), (V{0, 0, 1, 255}));
  EXPECT_EQ(codes<std::uint32_t>({0, 8421504, 8421505, ~0u}, VIDEO_UINT32), (V{0, 0, 1, 255}));
  EXPECT_EQ(codes<std::int32_t>({INT32_MIN, -2139062144, -2139062143, INT32_MAX}, VIDEO_INT32),
            (V{0, 0, 1, 255}));
  EXPECT_EQ(codes<std::uint8_t>({0, 1, 2, 255}, VIDEO_LOGICAL), (V{0, 255, 255, 255}));
  // Into 16-bit codes, unsigned or signed, and into signed 8-bit codes.
  EXPECT_EQ(codes<std::uint32_t>({32768, 32769, ~0u}, VIDEO_UINT32, u"Planar", "uint16"),
            (V{0, 1, 65535}));
  EXPECT_EQ(codes<std::uint8_t>({0, 1, 128, 255}, VIDEO_UINT8, u"Planar", "int16"),
            (V{32768, 33025, 128, 32767}));
  EXPECT_EQ(codes<std::uint8_t>({0, 1, 128, 255}, VIDEO_UINT8, u"Planar", "int8"),
            (V{128, 129, 0, 127}));
}

TEST(VideoFilter, PacksBgrRowsPaddedToFourBytesTopDownOrBottomUp) {
  std::vector<std::uint8_t> p(3 * 6);  // planes R, G, B of 3 x 2, column-major
  for (std::size_t i = 0; i < p.size(); ++i) p[i] = std::uint8_t(10 * i + 1);
  auto const in = frame({&p[0], &p[6], &p[12]}, 3, 2, VIDEO_UINT8, FOURCC_RGB_PLANAR);
  std::vector<long> down, up;
  for (std::size_t i = 0; i < 24; ++i) {  // two rows of three pixels and three bytes of padding
    std::size_t const r = i / 12, c = i % 12 / 3, k = 2 - i % 3;
    down.push_back(c < 3 ? p[6 * k + 2 * c + r] : 0);
    up.push_back(c < 3 ? p[6 * k + 2 * c + 1 - r] : 0);
  }
  EXPECT_EQ(elements(filterFor(u"BGR24|Gray8")->process(in), 0, 24), down);
  EXPECT_EQ(elements(filterFor(u"BGR24BottomUp|Gray8")->process(in), 0, 24), up);
}

// Chroma of 4:2:2 frames (here 3 x 2) averaged over row pairs, its odd last
// column repeated.
TEST(VideoFilter, TakesYuv422FramesIntoYuv420) {
  std::vector<std::uint8_t> const y = {10, 20, 30, 40, 50, 60}, u = {100, 201}, v = {7, 8};
  auto const in = frame({y.data(), u.data(), v.data()}, 3, 2, VIDEO_UINT8, FOURCC_YUV422_PLANAR);
  auto const out = filterFor(u"YUVJ420P", "", "YUV422PlanarColumn")->process(in);
  EXPECT_EQ(elements(out, 0, 6), (std::vector<long>{10, 30, 50, 20, 40, 60}));
  EXPECT_EQ(elements(out, 1, 2), (std::vector<long>{151, 151}));
  EXPECT_EQ(elements(out, 2, 2), (std::vector<long>{8, 8}));
}

TEST(VideoFilter, RefusesWithTheIdentifier) {
  auto add = [](Map const& m) { return refusedBy("videofilter", [&] { VideoFilter().add(m); }); };
  EXPECT_EQ(add(Map().text("InputFrameType", "RawPlanarColumn")), "couldNotInitFile");
  EXPECT_EQ(add(Map().text("OutputFrameType", "RGB24")), "couldNotInitFile");
  EXPECT_EQ(add(Map().text("OutputFrameType", "Planar").text("OutputDataType", "double")),
            "couldNotInitFile");
  EXPECT_EQ(refusedBy("videofilter", [] { VideoFilter().open({}); }), "couldNotInitFile");
  auto filter = filterFor(u"BGR24BottomUp|Gray8");
  std::uint8_t const q[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  for (auto const& r : {sluice::Record{}, frame({q, q, q}, 0, 4, VIDEO_UINT8, FOURCC_RGB_PLANAR),
                        frame({q, nullptr, q}, 2, 2, VIDEO_UINT8, FOURCC_RGB_PLANAR),
                        frame({q, q, q}, 2, 2, VIDEO_UINT8, FOURCC_NONE),
                        frame({q, q, q}, ~std::size_t(0) / 2, 3, VIDEO_UINT8, FOURCC_RGB_PLANAR)})
    EXPECT_EQ(refusedBy("videofilter", [&] { filter->process(r); }), "couldNotWriteFrame");
}

// The videofilewriter fed by the videofilter, as the service sets them up.
struct Pipeline {
  sluice::videofile::VideoFileWriter device;
  std::unique_ptr<VideoFilter> filter;
  explicit Pipeline(std::string const& path, std::string const& format = "",
                    std::string const& type = "") {
    ResultMap result;
    device.init(Map().text("OutputFileName", path).text("FileFormat", format), result.map);
    filter = filterFor(result.get<std::u16string>("ExpectedFrameType"), type);
  }
  void open(double rate = 25, double quality = 75, double ratio = 0) {
    Map m;
    m.number("FrameRate", rate).number("Quality", quality).number("CompressionRatio", ratio);
    filter->open(m.set("Lossy", ratio != 0));
    device.open(m);
  }
  template <typename F>  // 16-bit words f(r, c, k)
  void write(std::size_t w, std::size_t h, std::size_t bands, F f) {
    auto const p = makeFrame<std::uint16_t>(w, h, bands, f);
    auto const fourCC = bands == 1 ? FOURCC_MONO : FOURCC_RGB_PLANAR;
    device.write(*filter->process(frame(p.pointers(), w, h, VIDEO_UINT16, fourCC)));
  }
};

struct Container {
  char const *name, *file, *codec;  // codec and pixel format, as ffprobe names them
  std::size_t w, h, bands;
  double psnr;  // at least (99: identical, as psnr() has it); below 0: at most its opposite
  char const* type = "";           // the filter's "OutputDataType": 16-bit words unless ""
  char const* format = "";         // the device's "FileFormat"
  double quality = 75, ratio = 0;  // ratio not 0: lossy MJ2
};

void PrintTo(Container const& c, std::ostream* os) { *os << c.name; }

class Containers : public ::testing::TestWithParam<Container> {};

// Each file is opened, closed without a frame (which leaves none), opened again
// with an empty map (which keeps the settings), and completed by destruction.
TEST_P(Containers, HoldWhatWasWrittenAsFfprobeAndFfmpegFindIt) {
  Container const& c = GetParam();
  bool const wide = std::string(c.type).find("16") != std::string::npos;
  Scratch dir;
  std::string const path = dir / c.file, wh = std::to_string(c.w) + ":" + std::to_string(c.h);
  std::vector<std::uint8_t> want;
  {
    Pipeline p(path, c.format, c.type);
    p.open(10, c.quality, c.ratio);
    p.device.close();  // without a frame: no file
    EXPECT_FALSE(fs::exists(path));
    p.device.open({});                     // again, with the same settings
    for (std::size_t f = 0; f < 3; ++f) {  // written as 16-bit words: v * 257 is 8-bit v
      auto at = [&](auto r, auto col, auto k) {
        if (c.psnr < 99) return long(std::lround(smooth(r, col, k, f) * 255));
        return long(sharp(r, col, k, f) * (wide ? 256 : 1) + wide * sharp(col, r, k, f + 1));
      };
      p.write(c.w, c.h, c.bands,
              [&](auto r, auto col, auto k) { return at(r, col, k) * (wide ? 1 : 257); });
      wide ? appendPacked<std::uint16_t>(want, c.w, c.h, c.bands, at)
           : appendPacked<std::uint8_t>(want, c.w, c.h, c.bands, at);
    }
  }  // destroyed open: the file is completed all the same
  Probe const got = probe(path);
  EXPECT_EQ(got.codec + " " + got.pixelFormat, c.codec);
  EXPECT_TRUE(got.width == int(c.w) && got.height == int(c.h)) << got.width << "x" << got.height;
  EXPECT_EQ(got.frames, 3);
  EXPECT_EQ(ffprobe(path, "v", "avg_frame_rate")["avg_frame_rate"], "10/1");
  std::string const as = c.bands == 1 ? (wide ? "gray16le" : "gray") : (wide ? "rgb48le" : "rgb24");
  std::string const bytes = run("ffmpeg -nostdin -v error -i " + path + " -vf format=" + as +
                                ",crop=" + wh + ":0:0 -f rawvideo -pix_fmt " + as + " -");
  double const quality = psnr(want, std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
  EXPECT_TRUE(c.psnr > 0 ? quality >= c.psnr : quality < -c.psnr) << quality;
  EXPECT_LT(fs::file_size(path), c.ratio ? 3 * c.w * c.h * c.bands / c.ratio + 2048 : 1e9);
  if (std::string(c.codec).find("jpeg2000") == std::string::npos) return;
  // The sample tables as ffprobe reads them: the three codestreams tile the media
  // data. The JP2 header declares the depth (bits - 1) and sign of the samples.
  std::istringstream packets(
      run("ffprobe -v error -show_entries packet=size,pos -of default=nw=1:nk=1 " + path));
  long size = 0, pos = 0, end = 0, count = 0;
  for (; packets >> size >> pos; end = pos + size, ++count) EXPECT_TRUE(!end || end == pos) << pos;
  EXPECT_EQ(count, 3);
  std::ifstream file(path, std::ios::binary);
  std::string const boxes((std::istreambuf_iterator<char>(file)), {});
  int const depth = (wide ? 15 : 7) | (c.type[0] == 'i' ? 0x80 : 0);
  EXPECT_EQ(std::uint8_t(boxes[boxes.find("ihdr") + 14]), depth);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, Containers,
    ::testing::Values(
        Container{"RawRgb", "a.avi", "rawvideo bgr24", 33, 17, 3, 99},
        Container{"RawGrey", "a.avi", "rawvideo gray", 31, 9, 1, 99},
        Container{"Mjpeg", "a.AVI", "mjpeg yuvj420p", 64, 48, 3, 30, "", "MotionJpeg", 90},
        Container{"MjpegQuality0", "a.avi", "mjpeg yuvj420p", 64, 48, 3, -30, "", "MotionJpeg", 0},
        Container{"MjpegOddGrey", "a.avi", "mjpeg yuvj420p", 35, 21, 1, 30, "", "MotionJpeg"},
        Container{"H264Odd", "a.mp4", "h264 yuv444p", 65, 49, 3, 30},
        Container{"H264M4v", "a.M4V", "h264 yuv420p", 32, 24, 3, 30},
        Container{"H264OneByOne", "a.mp4", "h264 yuv444p", 1, 1, 3, 30},
        Container{"Mj2Rgb", "a.mj2", "jpeg2000 rgb24", 37, 23, 3, 99},
        Container{"Mj2Grey16", "a.mj2", "jpeg2000 gray16le", 21, 13, 1, 99, "uint16"},
        Container{"Mj2Rgb16", "a.mj2", "jpeg2000 rgb48le", 18, 11, 3, 99, "uint16"},
        Container{"Mj2SignedGrey16", "a.mj2", "jpeg2000 gray16le", 9, 7, 1, 99, "int16"},
        Container{"Mj2SignedGrey8", "a.mj2", "jpeg2000 gray", 9, 7, 1, 99, "int8"},
        Container{"Mj2Lossy", "a.mj2", "jpeg2000 rgb24", 64, 48, 3, 30, "", "", 75, 8},
        Container{"Mj2OneByOne", "a.mj2", "jpeg2000 rgb24", 1, 1, 3, 99}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(VideoFileWriter, RefusesWithTheIdentifierAndRemovesTheFile) {
  Scratch dir;
  auto refused = [](std::function<void()> f) { return refusedBy("videofilewriter", f); };
  for (double rate : {0.0, -25.0, 1e-300, HUGE_VAL, double(NAN)})
    EXPECT_EQ(refused([&] { Pipeline(dir / "a.mp4").open(rate); }), "invalidFrameRate") << rate;
  EXPECT_EQ(refused([&] { Pipeline(dir / "a.mp4").open(25, 101); }), "couldNotInitFile");
  EXPECT_EQ(refused([&] { Pipeline(dir / "a.mj2").open(25, 75, 0.5); }), "couldNotInitFile");
  EXPECT_TRUE(fs::is_empty(dir.dir()));
  EXPECT_EQ(refused([&] { Pipeline(dir / "a.txt"); }), "couldNotInitFile");
  EXPECT_EQ(refused([&] { Pipeline(dir / "a.avi", "Bogus"); }), "couldNotInitFile");
  EXPECT_EQ(refused([] { Pipeline(""); }), "invalidFileName");
  EXPECT_EQ(
      refusalOf([&] { Pipeline(dir / "no/a.avi").open(); }),
      "videofilewriter: " + dir / "no/a.avi" + ": No such file or directory:couldNotOpenFile");
  std::uint8_t const q[8] = {1, 2, 3, 4, 5, 6, 7, 8};  // 2 x 2 words
  sluice::OwnedRecord unfiltered{frame({q, q, q}, 2, 2, VIDEO_UINT16, FOURCC_RGB_PLANAR), {}, {}};
  // Records before open, of another size or other bands, that did not pass the
  // filter or that the codec cannot take; the file keeps the frames that fitted.
  EXPECT_EQ(refused([&] { sluice::videofile::VideoFileWriter().write(unfiltered); }),
            "unexpectedError");
  {
    Pipeline p(dir / "a.avi");
    p.open();
    auto pic = [](auto r, auto c, auto k) { return sharp(r, c, k, 0); };
    p.write(8, 6, 3, pic);
    EXPECT_EQ(refused([&] { p.write(8, 7, 3, pic); }), "couldNotWriteFrame");
    EXPECT_EQ(refused([&] { p.write(8, 6, 1, pic); }), "couldNotWriteFrame");
    EXPECT_EQ(refused([&] { p.device.write(unfiltered); }), "couldNotWriteFrame");
    p.write(8, 6, 3, pic);
  }
  EXPECT_EQ(probe(dir / "a.avi").frames, 2);
  Pipeline wide(dir / "wide.avi");
  wide.open();
  unfiltered.record.push_back(std::u16string(u"BGR24"));  // 16-bit words for an 8-bit codec
  for (int twice = 0; twice < 2; ++twice)
    EXPECT_EQ(refused([&] { wide.device.write(unfiltered); }), "couldNotInitFile");
  wide.device.close();
  EXPECT_FALSE(fs::exists(dir / "wide.avi"));
}

// The encoder refuses the size when it opens at the first frame; nothing of what
// FFmpeg and x264 say reaches the host's terminal, the failure text has it.
TEST(VideoFiles, ARefusedFrameSizePrintsNothingAndTheFailureSaysWhy) {
  Scratch dir;
  Pipeline p(dir / "huge.mp4");
  p.open();
  std::uint8_t const q[16] = {};
  sluice::OwnedRecord huge{frame({q, q, q}, 20000, 20000, VIDEO_UINT8, FOURCC_RGB_PLANAR), {}, {}};
  huge.record.push_back(std::u16string(u"YUV420PEven"));
  std::string text;
  EXPECT_EQ(printedDuring([&] { text = refusalOf([&] { p.device.write(huge); }); }), "");
  EXPECT_NE(text.find("Picture size 20000x20000 is invalid"), std::string::npos) << text;
  EXPECT_EQ(identifierOf(text), "couldNotInitFile");
}

// Through the library and the service with the shipped plug-ins found by name:
// an odd MPEG-4 height is padded by the library, an odd width kept by the plug-in
// (4:4:4, since 4:2:0 H.264 crops only in steps of two).
TEST(VideoThroughTheLibrary, OddMpeg4HeightsArePaddedByTheLibraryOddWidthsKept) {
  Scratch dir;
  std::vector<std::uint8_t> want;
  {
    tmmfb2videowriter writer(u16(dir / "a.mp4"), "videofilewriter", "passthrough", "videofilter");
    writer.setFileType(FILETYPE_MPEG4);
    writer.setVideoDataType(VIDEO_SINGLE);
    writer.setFourCC(FOURCC_RGB_PLANAR);
    writer.setWidth(45);
    writer.setHeight(31);
    writer.setVideoQuality(90);  // tiny frames cost H.264 more at its default rate factor
    writer.setFrameRate(25);
    writer.open();
    for (std::size_t f = 0; f < 3; ++f) {
      auto at = [&](auto r, auto c, auto k) { return smooth(r, c, k, f); };
      auto const planes = makeFrame<float>(45, 31, 3, at);
      auto const p = planes.pointers();
      writer.writeVideo(p[0], p[1], p[2]);
      // The library's padding row is black, and 4:2:0 chroma mixes it into the
      // last picture row: the 30 rows above it are compared.
      appendPacked<std::uint8_t>(
          want, 45, 30, 3, [&](auto r, auto c, auto k) { return std::lround(255 * at(r, c, k)); });
    }
  }
  Probe const got = probe(dir / "a.mp4");
  EXPECT_EQ(got.codec + " " + got.pixelFormat, "h264 yuv444p");
  EXPECT_TRUE(got.width == 45 && got.height == 32 && got.frames == 3);
  std::string const bytes = run("ffmpeg -nostdin -v error -i " + dir / "a.mp4" +
                                " -vf format=rgb24,crop=45:30:0:0 -f rawvideo -pix_fmt rgb24 -");
  EXPECT_GT(psnr(want, std::vector<std::uint8_t>(bytes.begin(), bytes.end())), 30);
}

}  // namespace
