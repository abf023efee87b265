// The videofilewriter device fed by the videofilter, as the channel service drives
// them: every container and layout written, then checked by ffprobe and decoded by
// ffmpeg against the source; the lifecycle and every refusal.
#include <unistd.h>

#include <gmock/gmock.h>
#include <cstdio>
#include <gtest/gtest.h>

#include <boost/any.hpp>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "VideoFileWriter.h"
#include "VideoFilter.h"
#include "video/VideoTestSupport.h"

using namespace hostlib::multimedia;
using namespace videotest;
namespace fs = std::filesystem;

namespace {

std::u16string widen(std::string const& s) { return std::u16string(s.begin(), s.end()); }

std::string refusalOf(std::function<void()> const& f) {
  try {
    f();
  } catch (sluice::sdk::Failure const& e) {
    return e.what();
  }
  return "no failure";
}

struct OpenOptions {
  double frameRate = 25;
  double quality = 75;
  double compressionRatio = 0;
  bool lossy = false;
};

// What the channel service does with a device and one filter.
struct Pipeline {
  sluice::videofile::VideoFileWriter device;
  sluice::videofilter::VideoFilter filter;
  std::u16string expected;

  Pipeline(fs::path const& file, std::u16string const& fileFormat = u"",
           std::u16string const& outputDataType = u"invalid",
           std::u16string const& input = u"RawPlanarColumn") {
    boost::any name(widen(file.string())), format(fileFormat);
    sluice::PropertyMap result;
    device.init({{"OutputFileName", &name}, {"FileFormat", &format}}, result);
    auto* frameType = static_cast<boost::any*>(result["ExpectedFrameType"]);
    expected = boost::any_cast<std::u16string>(*frameType);
    boost::any in(input), type(outputDataType);
    filter.add({{"InputFrameType", &in}, {"OutputFrameType", frameType}, {"OutputDataType", &type}});
    for (auto& entry : result) delete static_cast<boost::any*>(entry.second);
  }

  void open(OpenOptions const& o = OpenOptions()) {
    boost::any rate(o.frameRate), quality(o.quality), ratio(o.compressionRatio), lossy(o.lossy);
    sluice::PropertyMap options = {{"FrameRate", &rate}, {"Quality", &quality},
                                   {"CompressionRatio", &ratio}, {"Lossy", &lossy}};
    filter.open(options);
    device.open(options);
  }

  template <typename T>
  void write(Planes<T> const& p, std::size_t w, std::size_t h, VideoDataType type, FourCCType fourCC) {
    sluice::Record frame = {p.pointers(), w, h, type, fourCC};
    auto converted = filter.process(frame);
    device.write(*converted);
  }
};

struct Written {
  Probe probe;
  std::vector<std::uint8_t> want, got;
};

// Writes `frames` frames of an 8-bit picture through the pipeline.
template <typename Picture>
Written write8(fs::path const& file, std::u16string const& fileFormat, std::size_t w, std::size_t h,
               std::size_t bands, std::size_t frames, OpenOptions const& o, Picture picture,
               std::string const& decodeAs) {
  Written result;
  {
    Pipeline p(file, fileFormat);
    p.open(o);
    for (std::size_t f = 0; f < frames; ++f) {
      auto at = [&](std::size_t r, std::size_t c, std::size_t k) { return picture(r, c, k, f); };
      p.write(makeFrame<std::uint8_t>(w, h, bands, at), w, h, VIDEO_UINT8, bands == 1 ? FOURCC_MONO : FOURCC_RGB_PLANAR);
      appendPacked<std::uint8_t>(result.want, w, h, bands, at);
    }
    p.device.close();
  }
  result.probe = probe(file);
  result.got = decode(file, decodeAs);
  return result;
}

std::uint8_t smooth8(std::size_t r, std::size_t c, std::size_t k, std::size_t f) {
  return static_cast<std::uint8_t>(std::lround(smooth(r, c, k, f) * 255));
}

// Decoded frames of padded size cropped back to w x h.
std::vector<std::uint8_t> crop(std::vector<std::uint8_t> const& frames, std::size_t fromW, std::size_t fromH,
                               std::size_t w, std::size_t h, std::size_t pixelBytes) {
  std::vector<std::uint8_t> out;
  std::size_t const frameBytes = fromW * fromH * pixelBytes;
  for (std::size_t start = 0; start + frameBytes <= frames.size(); start += frameBytes)
    for (std::size_t r = 0; r < h; ++r) {
      auto row = frames.begin() + static_cast<std::ptrdiff_t>(start + r * fromW * pixelBytes);
      out.insert(out.end(), row, row + static_cast<std::ptrdiff_t>(w * pixelBytes));
    }
  return out;
}

class VideoFiles : public ::testing::Test {
 protected:
  fs::path dir = tempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
};

// Uncompressed AVI ---------------------------------------------------------------

TEST_F(VideoFiles, UncompressedAviHoldsRgbExactlyAtOddSizes) {
  auto w = write8(dir / "rgb.avi", u"", 33, 17, 3, 3, {}, sharp, "rgb24");
  EXPECT_EQ(w.probe.codec, "rawvideo");
  EXPECT_EQ(w.probe.pixelFormat, "bgr24");
  EXPECT_EQ(w.probe.width, 33);
  EXPECT_EQ(w.probe.height, 17);
  EXPECT_EQ(w.probe.frames, 3);
  EXPECT_TRUE(w.got == w.want) << "decoded pixels differ from the source";
}

TEST_F(VideoFiles, UncompressedAviHoldsGreyExactly) {
  auto w = write8(dir / "grey.avi", u"", 31, 9, 1, 2, {}, sharp, "gray");
  EXPECT_EQ(w.probe.codec, "rawvideo");
  EXPECT_EQ(w.probe.pixelFormat, "gray");
  EXPECT_EQ(w.probe.width, 31);
  EXPECT_EQ(w.probe.height, 9);
  EXPECT_EQ(w.probe.frames, 2);
  EXPECT_TRUE(w.got == w.want) << "decoded pixels differ from the source";
}

TEST_F(VideoFiles, UncompressedAviFromDoublesScalesUnitRange) {
  fs::path const file = dir / "double.AVI";  // extension in any case
  std::size_t const w = 6, h = 5;
  std::vector<std::uint8_t> want;
  {
    Pipeline p(file);
    p.open();
    auto at = [&](std::size_t r, std::size_t c, std::size_t k) { return sharp(r, c, k, 0); };
    p.write(makeFrame<double>(w, h, 3, [&](std::size_t r, std::size_t c, std::size_t k) { return at(r, c, k) / 255.0; }),
            w, h, VIDEO_DOUBLE, FOURCC_RGB_PLANAR);
    appendPacked<std::uint8_t>(want, w, h, 3, at);
    p.device.close();
  }
  EXPECT_EQ(decode(file, "rgb24"), want);
}

TEST_F(VideoFiles, OneByOneFramesArePlayableInEveryContainer) {
  struct Case {
    char const* file;
    std::u16string format;
    int width;  // as stored: H.264 pads to even sizes
  } const cases[] = {{"one.avi", u"", 1}, {"one-mjpeg.avi", u"MotionJpeg", 1}, {"one.mp4", u"", 2}, {"one.mj2", u"", 1}};
  for (auto const& c : cases) {
    auto w = write8(dir / c.file, c.format, 1, 1, 3, 2, {}, sharp, "rgb24");
    EXPECT_EQ(w.probe.width, c.width) << c.file;
    EXPECT_EQ(w.probe.height, c.width) << c.file;
    EXPECT_EQ(w.probe.frames, 2) << c.file;
  }
}

// Motion JPEG ----------------------------------------------------------------------

TEST_F(VideoFiles, MotionJpegAviIsCloseToTheSource) {
  OpenOptions o;
  o.quality = 90;
  auto w = write8(dir / "mjpeg.avi", u"MotionJpeg", 64, 48, 3, 3, o, smooth8, "rgb24");
  EXPECT_EQ(w.probe.codec, "mjpeg");
  EXPECT_EQ(w.probe.pixelFormat, "yuvj420p");
  EXPECT_EQ(w.probe.width, 64);
  EXPECT_EQ(w.probe.height, 48);
  EXPECT_EQ(w.probe.frames, 3);
  EXPECT_GT(psnr(w.want, w.got, 64 * 3, 64 * 3), 30.0);
}

TEST_F(VideoFiles, MotionJpegKeepsOddSizesAndGrey) {
  auto w = write8(dir / "mjpeg-grey.avi", u"MotionJpeg", 35, 21, 1, 2, {}, smooth8, "gray");
  EXPECT_EQ(w.probe.width, 35);
  EXPECT_EQ(w.probe.height, 21);
  EXPECT_EQ(w.probe.frames, 2);
  EXPECT_GT(psnr(w.want, w.got, 35, 35), 30.0);
}

TEST_F(VideoFiles, MotionJpegQualitySetsTheQuantiser) {
  OpenOptions low, high;
  low.quality = 0;
  high.quality = 100;
  auto a = write8(dir / "low.avi", u"MotionJpeg", 64, 48, 3, 1, low, smooth8, "rgb24");
  auto b = write8(dir / "high.avi", u"MotionJpeg", 64, 48, 3, 1, high, smooth8, "rgb24");
  EXPECT_LT(fs::file_size(dir / "low.avi"), fs::file_size(dir / "high.avi"));
  EXPECT_LT(psnr(a.want, a.got, 192, 192), psnr(b.want, b.got, 192, 192));
}

// H.264 -----------------------------------------------------------------------------

TEST_F(VideoFiles, H264Mp4PadsOddSizesToEvenAndStaysCloseToTheSource) {
  auto w = write8(dir / "odd.mp4", u"", 65, 49, 3, 4, {}, smooth8, "rgb24");
  EXPECT_EQ(w.probe.codec, "h264");
  EXPECT_EQ(w.probe.pixelFormat, "yuv420p");
  EXPECT_EQ(w.probe.width, 66);
  EXPECT_EQ(w.probe.height, 50);
  EXPECT_EQ(w.probe.frames, 4);
  auto got = crop(w.got, 66, 50, 65, 49, 3);
  EXPECT_GT(psnr(w.want, got, 65 * 3, 65 * 3), 30.0);
}

TEST_F(VideoFiles, H264M4vFromYuv422Input) {
  fs::path const file = dir / "yuv.m4v";
  std::size_t const w = 32, h = 24, frames = 2;
  std::vector<std::uint8_t> want;
  {
    Pipeline p(file, u"", u"invalid", u"YUV422PlanarColumn");
    EXPECT_EQ(p.expected, u"YUV420PEven");
    p.open();
    for (std::size_t f = 0; f < frames; ++f) {
      // Luma smooth, chroma constant per column pair: the source is exactly 4:2:2.
      Planes<std::uint8_t> yuv;
      yuv.planes.assign(3, std::vector<std::uint8_t>(w * h));
      yuv.planes[1].resize(w / 2 * h);
      yuv.planes[2].resize(w / 2 * h);
      for (std::size_t c = 0; c < w; ++c)
        for (std::size_t r = 0; r < h; ++r) {
          double const Y = 40 + 170 * smooth(r, c, 0, f);
          double const Cb = 128 + 40 * std::sin(0.2 * double(c / 2) + double(f));
          double const Cr = 128 - 40 * std::cos(0.2 * double(c / 2));
          yuv.planes[0][c * h + r] = static_cast<std::uint8_t>(std::lround(Y));
          if (c % 2 == 0) {
            yuv.planes[1][c / 2 * h + r] = static_cast<std::uint8_t>(std::lround(Cb));
            yuv.planes[2][c / 2 * h + r] = static_cast<std::uint8_t>(std::lround(Cr));
          }
        }
      p.write(yuv, w, h, VIDEO_UINT8, FOURCC_YUV422_PLANAR);
      for (std::size_t r = 0; r < h; ++r)
        for (std::size_t c = 0; c < w; ++c) {
          double const Y = yuv.planes[0][c * h + r], Cb = yuv.planes[1][c / 2 * h + r] - 128.0,
                       Cr = yuv.planes[2][c / 2 * h + r] - 128.0;
          for (double v : {Y + 1.402 * Cr, Y - 0.344136 * Cb - 0.714136 * Cr, Y + 1.772 * Cb})
            want.push_back(static_cast<std::uint8_t>(std::lround(std::min(255.0, std::max(0.0, v)))));
        }
    }
    p.device.close();
  }
  Probe const info = probe(file);
  EXPECT_EQ(info.codec, "h264");
  EXPECT_EQ(info.frames, 2);
  EXPECT_GT(psnr(want, decode(file, "rgb24"), w * 3, w * 3), 30.0);
}

// Motion JPEG 2000 ----------------------------------------------------------------

TEST_F(VideoFiles, Mj2LosslessEightBitRgbIsExact) {
  auto w = write8(dir / "rgb8.mj2", u"", 37, 23, 3, 3, {}, sharp, "rgb24");
  EXPECT_EQ(w.probe.codec, "jpeg2000");
  EXPECT_EQ(w.probe.pixelFormat, "rgb24");
  EXPECT_EQ(w.probe.width, 37);
  EXPECT_EQ(w.probe.height, 23);
  EXPECT_EQ(w.probe.frames, 3);
  EXPECT_TRUE(w.got == w.want) << "decoded pixels differ from the source";
}

template <typename F>
Written writeMj2Sixteen(fs::path const& file, std::size_t w, std::size_t h, std::size_t bands, F f,
                        std::string const& decodeAs) {
  Written result;
  {
    Pipeline p(file, u"", u"uint16");
    p.open();
    for (std::size_t frame = 0; frame < 2; ++frame) {
      auto at = [&](std::size_t r, std::size_t c, std::size_t k) { return f(r, c, k, frame); };
      p.write(makeFrame<std::uint16_t>(w, h, bands, at), w, h, VIDEO_UINT16, bands == 1 ? FOURCC_MONO : FOURCC_RGB_PLANAR);
      appendPacked<std::uint16_t>(result.want, w, h, bands, at);
    }
    p.device.close();
  }
  result.probe = probe(file);
  result.got = decode(file, decodeAs);
  return result;
}

std::uint16_t sharp16(std::size_t r, std::size_t c, std::size_t k, std::size_t f) {
  return static_cast<std::uint16_t>((r * 4099 + c * 257 + k * 21845 + f * 1001 + (r * c) % 13) & 0xffff);
}

TEST_F(VideoFiles, Mj2LosslessSixteenBitGreyIsExact) {
  auto w = writeMj2Sixteen(dir / "grey16.mj2", 21, 13, 1, sharp16, "gray16le");
  EXPECT_EQ(w.probe.codec, "jpeg2000");
  EXPECT_EQ(w.probe.pixelFormat, "gray16le");
  EXPECT_EQ(w.probe.width, 21);
  EXPECT_EQ(w.probe.height, 13);
  EXPECT_EQ(w.probe.frames, 2);
  EXPECT_TRUE(w.got == w.want) << "decoded pixels differ from the source";
}

TEST_F(VideoFiles, Mj2LosslessSixteenBitRgbIsExact) {
  auto w = writeMj2Sixteen(dir / "rgb16.mj2", 18, 11, 3, sharp16, "rgb48le");
  EXPECT_EQ(w.probe.pixelFormat, "rgb48le");
  EXPECT_EQ(w.probe.frames, 2);
  EXPECT_TRUE(w.got == w.want) << "decoded pixels differ from the source";
}

TEST_F(VideoFiles, Mj2LossyMeetsItsRatioAndStaysClose) {
  OpenOptions o;
  o.lossy = true;
  o.compressionRatio = 8;
  std::size_t const w = 64, h = 48, frames = 2;
  auto lossy = write8(dir / "lossy.mj2", u"", w, h, 3, frames, o, smooth8, "rgb24");
  EXPECT_EQ(lossy.probe.codec, "jpeg2000");
  EXPECT_EQ(lossy.probe.frames, 2);
  EXPECT_GT(psnr(lossy.want, lossy.got, w * 3, w * 3), 30.0);
  // Codestreams of about 1/8 of the raw frame; the boxes add a few hundred bytes.
  EXPECT_LT(fs::file_size(dir / "lossy.mj2"), frames * w * h * 3 / 8 + 2048);
}

TEST_F(VideoFiles, Mj2FileIsAnIsoFileWithTheJp2HeaderInItsSampleEntry) {
  write8(dir / "boxes.mj2", u"", 8, 8, 1, 1, {}, sharp, "gray");
  std::ifstream in(dir / "boxes.mj2", std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GT(bytes.size(), 40u);
  EXPECT_EQ(bytes.substr(0, 12), std::string("\0\0\0\x0cjP  \r\n\x87\n", 12));
  EXPECT_EQ(bytes.substr(16, 8), "ftypmjp2");
  EXPECT_EQ(bytes.substr(36, 4), "mdat");
  auto const entry = bytes.find("mjp2", 40);
  ASSERT_NE(entry, std::string::npos);
  // After the 78 bytes of visual fields: the JP2 header box, opening with ihdr.
  EXPECT_EQ(bytes.substr(entry + 4 + 78 + 4, 4), "jp2h");
  EXPECT_EQ(bytes.substr(entry + 4 + 78 + 12, 4), "ihdr");
  EXPECT_NE(bytes.find("colr"), std::string::npos);
  EXPECT_NE(bytes.find("stco"), std::string::npos);
}

// Lifecycle -----------------------------------------------------------------------

TEST_F(VideoFiles, ExpectedFrameTypeFollowsTheExtension) {
  struct Case {
    char const* file;
    std::u16string format, expected;
  } const cases[] = {{"a.avi", u"", u"BGR24|Gray8"},
                     {"a.Avi", u"MotionJpeg", u"YUVJ420P"},
                     {"a.mp4", u"", u"YUV420PEven"},
                     {"a.M4V", u"", u"YUV420PEven"},
                     {"a.mj2", u"", u"Planar"}};
  for (auto const& c : cases) EXPECT_EQ(Pipeline(dir / c.file, c.format).expected, c.expected) << c.file;
}

TEST_F(VideoFiles, DestroyingAnOpenWriterCompletesTheFile) {
  for (char const* name : {"kept.avi", "kept.mp4", "kept.mj2"}) {
    {
      Pipeline p(dir / name);
      p.open();
      for (std::size_t f = 0; f < 3; ++f)
        p.write(makeFrame<std::uint8_t>(16, 8, 3, [&](std::size_t r, std::size_t c, std::size_t k) { return smooth8(r, c, k, f); }),
                16, 8, VIDEO_UINT8, FOURCC_RGB_PLANAR);
    }
    EXPECT_EQ(probe(dir / name).frames, 3) << name;
  }
}

TEST_F(VideoFiles, ClosingWithoutAFrameLeavesNoFile) {
  for (char const* name : {"empty.avi", "empty.mp4", "empty.mj2"}) {
    Pipeline p(dir / name);
    p.open();
    EXPECT_TRUE(fs::exists(dir / name)) << "open creates the file";
    p.device.close();
    EXPECT_FALSE(fs::exists(dir / name)) << name;
  }
}

TEST_F(VideoFiles, ReopeningWithAnEmptyMapKeepsTheSettings) {
  fs::path const file = dir / "again.avi";
  Pipeline p(file, u"MotionJpeg");
  OpenOptions o;
  o.frameRate = 10;
  p.open(o);
  auto frame = makeFrame<std::uint8_t>(16, 16, 3, [](std::size_t r, std::size_t c, std::size_t k) { return sharp(r, c, k, 0); });
  p.write(frame, 16, 16, VIDEO_UINT8, FOURCC_RGB_PLANAR);
  p.device.close();
  p.device.open({});
  p.write(frame, 16, 16, VIDEO_UINT8, FOURCC_RGB_PLANAR);
  p.write(frame, 16, 16, VIDEO_UINT8, FOURCC_RGB_PLANAR);
  p.device.close();
  EXPECT_EQ(probe(file).frames, 2);
  EXPECT_EQ(probe(file).codec, "mjpeg");
  EXPECT_EQ(run("ffprobe -v error -select_streams v:0 -show_entries stream=avg_frame_rate -of csv=p=0 '" +
                file.string() + "'"),
            "10/1\n");
}

// Refusals ------------------------------------------------------------------------

TEST_F(VideoFiles, FrameRatesThatAreNotPositiveAndFiniteAreRefusedAtOpen) {
  for (double rate : {0.0, -25.0, std::numeric_limits<double>::quiet_NaN(),
                      std::numeric_limits<double>::infinity(), 1e-300}) {
    Pipeline p(dir / "rate.mp4");
    OpenOptions o;
    o.frameRate = rate;
    EXPECT_EQ(refusalOf([&] { p.open(o); }), "videofilewriter:invalidFrameRate") << rate;
  }
  Pipeline p(dir / "rate.mp4");
  EXPECT_EQ(refusalOf([&] { p.device.open({{"Quality", nullptr}}); }), "videofilewriter:invalidFrameRate");
  EXPECT_FALSE(fs::exists(dir / "rate.mp4"));
}

TEST_F(VideoFiles, AFrameOfAnotherSizeIsRefusedAndTheFileKeepsTheOthers) {
  fs::path const file = dir / "resize.avi";
  {
    Pipeline p(file);
    p.open();
    auto pic = [](std::size_t r, std::size_t c, std::size_t k) { return sharp(r, c, k, 0); };
    p.write(makeFrame<std::uint8_t>(8, 6, 3, pic), 8, 6, VIDEO_UINT8, FOURCC_RGB_PLANAR);
    EXPECT_EQ(refusalOf([&] { p.write(makeFrame<std::uint8_t>(8, 7, 3, pic), 8, 7, VIDEO_UINT8, FOURCC_RGB_PLANAR); }),
              "videofilewriter:couldNotWriteFrame");
    EXPECT_EQ(refusalOf([&] { p.write(makeFrame<std::uint8_t>(8, 6, 1, pic), 8, 6, VIDEO_UINT8, FOURCC_MONO); }),
              "videofilewriter:couldNotWriteFrame");
    p.write(makeFrame<std::uint8_t>(8, 6, 3, pic), 8, 6, VIDEO_UINT8, FOURCC_RGB_PLANAR);
  }
  EXPECT_EQ(probe(file).frames, 2);
  EXPECT_EQ(probe(file).height, 6);
}

TEST_F(VideoFiles, AFileThatCannotBeCreatedIsRefusedAtOpen) {
  // The text names the file and what FFmpeg said before the identifier.
  Pipeline p(dir / "no-such-folder" / "x.avi");
  std::string const text = refusalOf([&] { p.open(); });
  EXPECT_THAT(text, ::testing::StartsWith("videofilewriter: "));
  EXPECT_THAT(text, ::testing::HasSubstr("x.avi: No such file or directory"));
  EXPECT_THAT(text, ::testing::EndsWith(":couldNotOpenFile"));
  Pipeline q(dir / "no-such-folder" / "x.mj2");
  EXPECT_EQ(refusalOf([&] { q.open(); }), "videofilewriter:couldNotOpenFile");
}

TEST_F(VideoFiles, NamesAndFormatsItCannotWriteAreRefusedAtInit) {
  auto initWith = [&](sluice::PropertyMap const& options) {
    return refusalOf([&] {
      sluice::videofile::VideoFileWriter device;
      sluice::PropertyMap result;
      device.init(options, result);
    });
  };
  boost::any txt(widen((dir / "a.txt").string())), noExt(widen((dir / "avi").string()));
  boost::any avi(widen((dir / "a.avi").string())), bogus(std::u16string(u"Bogus")), empty{std::u16string()};
  boost::any narrow(std::string("a.avi"));
  EXPECT_EQ(initWith({{"OutputFileName", &txt}}), "videofilewriter:couldNotInitFile");
  EXPECT_EQ(initWith({{"OutputFileName", &noExt}}), "videofilewriter:couldNotInitFile");
  EXPECT_EQ(initWith({{"OutputFileName", &avi}, {"FileFormat", &bogus}}), "videofilewriter:couldNotInitFile");
  EXPECT_EQ(initWith({{"OutputFileName", &empty}}), "videofilewriter:invalidFileName");
  EXPECT_EQ(initWith({{"OutputFileName", &narrow}}), "videofilewriter:invalidFileName");
  EXPECT_EQ(initWith({}), "videofilewriter:invalidFileName");
}

TEST_F(VideoFiles, QualityAndRatioOutsideTheirRangesAreRefusedAtOpen) {
  OpenOptions q;
  q.quality = 101;
  Pipeline mp4(dir / "q.mp4");
  EXPECT_EQ(refusalOf([&] { mp4.open(q); }), "videofilewriter:couldNotInitFile");
  OpenOptions r;
  r.lossy = true;
  r.compressionRatio = 0.5;
  Pipeline mj2(dir / "r.mj2");
  EXPECT_EQ(refusalOf([&] { mj2.open(r); }), "videofilewriter:couldNotInitFile");
}

TEST_F(VideoFiles, CallsOutOfOrderAreFailuresNotCrashes) {
  sluice::videofile::VideoFileWriter device;
  EXPECT_EQ(refusalOf([&] { device.open({}); }), "videofilewriter:unexpectedError");
  sluice::OwnedRecord record;
  EXPECT_EQ(refusalOf([&] { device.write(record); }), "videofilewriter:unexpectedError");
  EXPECT_NO_THROW(device.close());
}

TEST_F(VideoFiles, RecordsThatDidNotPassTheFilterAreRefused) {
  Pipeline p(dir / "raw.avi");
  p.open();
  std::vector<std::uint8_t> plane(12, 0);
  sluice::OwnedRecord unfiltered;
  unfiltered.record = {std::vector<unsigned char const*>{plane.data(), plane.data(), plane.data()},
                       std::size_t(2), std::size_t(2), VIDEO_UINT8, FOURCC_RGB_PLANAR};
  EXPECT_EQ(refusalOf([&] { p.device.write(unfiltered); }), "videofilewriter:couldNotWriteFrame");
}

// Runs `f` with the process's standard output and error going to a file;
// returns what was written to them.
std::string printedDuring(std::function<void()> const& f) {
  std::fflush(stdout);
  std::fflush(stderr);
  FILE* sink = std::tmpfile();
  int const savedOut = ::dup(1), savedErr = ::dup(2);
  ::dup2(::fileno(sink), 1);
  ::dup2(::fileno(sink), 2);
  f();
  std::fflush(stdout);
  std::fflush(stderr);
  ::dup2(savedOut, 1);
  ::dup2(savedErr, 2);
  ::close(savedOut);
  ::close(savedErr);
  std::string printed;
  std::rewind(sink);
  for (int c; (c = std::fgetc(sink)) != EOF;) printed += static_cast<char>(c);
  std::fclose(sink);
  return printed;
}

// The encoder refuses the size when it opens at the first frame; nothing of
// what FFmpeg and x264 say reaches the host's terminal, the failure text has it.
TEST_F(VideoFiles, ARefusedFrameSizePrintsNothingAndTheFailureSaysWhy) {
  Pipeline p(dir / "huge.mp4");
  p.open();
  std::vector<std::uint8_t> plane(16, 0);
  std::vector<unsigned char const*> planes(3, plane.data());
  sluice::OwnedRecord record;
  record.record = {planes, std::size_t(20000), std::size_t(20000), VIDEO_UINT8, FOURCC_RGB_PLANAR,
                   std::u16string(u"YUV420PEven")};
  std::string text;
  std::string const printed = printedDuring([&] { text = refusalOf([&] { p.device.write(record); }); });
  EXPECT_EQ(printed, "");
  EXPECT_THAT(text, ::testing::HasSubstr("Picture size 20000x20000 is invalid"));
  EXPECT_THAT(text, ::testing::EndsWith(":couldNotInitFile"));
}

TEST_F(VideoFiles, SixteenBitFramesIntoAnEightBitCodecAreRefused) {
  // A .mj2 filter configuration (uint16) feeding an AVI device: wrong element type.
  Pipeline p(dir / "wide.avi");
  p.open();
  std::vector<std::uint16_t> plane(4, 1000);
  std::vector<unsigned char const*> planes(3, reinterpret_cast<unsigned char const*>(plane.data()));
  sluice::OwnedRecord record;
  record.record = {planes, std::size_t(2), std::size_t(2), VIDEO_UINT16, FOURCC_RGB_PLANAR,
                   std::u16string(u"BGR24")};
  EXPECT_EQ(refusalOf([&] { p.device.write(record); }), "videofilewriter:couldNotInitFile");
  EXPECT_EQ(refusalOf([&] { p.device.write(record); }), "videofilewriter:couldNotInitFile");
  p.device.close();
  EXPECT_FALSE(fs::exists(dir / "wide.avi"));
}

}  // namespace
