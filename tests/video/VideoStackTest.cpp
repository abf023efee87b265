// Whole stack: tmmfb2videowriter with the shipped plug-ins "videofilewriter",
// "passthrough" and "videofilter", loaded by name by the channel service. Files are
// checked by ffprobe and decoded by ffmpeg; refusals arrive as the library's
// exceptions with the catalogue's identifier and message.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "hostlib/multimedia/exceptions.h"
#include "hostlib/multimedia/tmmfb2videowriter.h"
#include "video/VideoTestSupport.h"

using namespace hostlib::multimedia;
using namespace videotest;
namespace fs = std::filesystem;

namespace {

std::u16string widen(std::string const& s) { return std::u16string(s.begin(), s.end()); }

struct Settings {
  std::size_t width = 32, height = 24;
  VideoDataType type = VIDEO_UINT8;
  FourCCType fourCC = FOURCC_RGB_PLANAR;
  MMFileType fileType = FILETYPE_AVI;
  std::string method;
  std::size_t quality = 75, ratio = 0;
  double frameRate = 25;
};

std::unique_ptr<tmmfb2videowriter> makeWriter(fs::path const& file, Settings const& s) {
  auto w = std::make_unique<tmmfb2videowriter>(widen(file.string()), "videofilewriter",
                                               "passthrough", "videofilter");
  w->setWidth(s.width);
  w->setHeight(s.height);
  w->setVideoDataType(s.type);
  w->setFourCC(s.fourCC);
  w->setFileType(s.fileType);
  w->setCompressionMethod(s.method);
  w->setVideoQuality(s.quality);
  w->setCompressionFactor(s.ratio);
  w->setFrameRate(s.frameRate);
  return w;
}

template <typename T>
void writeFrame(tmmfb2videowriter& w, Planes<T> const& p) {
  auto ptr = p.pointers();
  w.writeVideo(ptr[0], ptr[1], ptr[2]);
}

// The identifier and message of the library exception `f` throws. Failures from
// the channel arrive as a copy of the VideoWriteException the handler raised.
std::string failureOf(std::function<void()> const& f) {
  try {
    f();
  } catch (Exception const& e) {
    return std::string(e.name()) + ": " + e.what();
  }
  return "no exception";
}

class VideoStack : public ::testing::Test {
 protected:
  fs::path dir = tempDir(std::string("stack-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
};

TEST_F(VideoStack, UncompressedAviThroughTheLibraryIsExact) {
  Settings s;
  s.width = 21;
  s.height = 11;
  fs::path const file = dir / "rgb.avi";
  std::vector<std::uint8_t> want;
  {
    auto w = makeWriter(file, s);
    w->open();
    for (std::size_t f = 0; f < 3; ++f) {
      auto at = [&](std::size_t r, std::size_t c, std::size_t k) { return sharp(r, c, k, f); };
      writeFrame(*w, makeFrame<std::uint8_t>(s.width, s.height, 3, at));
      appendPacked<std::uint8_t>(want, s.width, s.height, 3, at);
    }
    w->close();
  }
  Probe const p = probe(file);
  EXPECT_EQ(p.codec, "rawvideo");
  EXPECT_EQ(p.pixelFormat, "bgr24");
  EXPECT_EQ(p.width, 21);
  EXPECT_EQ(p.height, 11);
  EXPECT_EQ(p.frames, 3);
  EXPECT_TRUE(decode(file, "rgb24") == want);
}

TEST_F(VideoStack, MotionJpegChosenByTheCompressionMethod) {
  Settings s;
  s.method = "MJPEG Compressor";
  s.fourCC = FOURCC_MONO;
  s.quality = 95;
  fs::path const file = dir / "mjpeg.avi";
  std::vector<std::uint8_t> want;
  {
    auto w = makeWriter(file, s);
    w->open();
    auto at = [](std::size_t r, std::size_t c, std::size_t k) { return std::lround(255 * smooth(r, c, k, 0)); };
    writeFrame(*w, makeFrame<std::uint8_t>(s.width, s.height, 1, at));
    appendPacked<std::uint8_t>(want, s.width, s.height, 1, at);
  }  // destroyed open: the file is completed all the same
  Probe const p = probe(file);
  EXPECT_EQ(p.codec, "mjpeg");
  EXPECT_EQ(p.frames, 1);
  EXPECT_GT(psnr(want, decode(file, "gray"), s.width, s.width), 35.0);
}

TEST_F(VideoStack, Mpeg4OddHeightPaddedByTheLibraryOddWidthByThePlugin) {
  Settings s;
  s.fileType = FILETYPE_MPEG4;
  s.type = VIDEO_SINGLE;
  s.quality = 90;  // tiny frames cost H.264 more at its default rate factor
  s.width = 45;
  s.height = 31;  // the library makes it 32, the plug-in makes the width 46
  fs::path const file = dir / "odd.mp4";
  std::vector<std::uint8_t> want;
  {
    auto w = makeWriter(file, s);
    w->open();
    for (std::size_t f = 0; f < 3; ++f) {
      auto at = [&](std::size_t r, std::size_t c, std::size_t k) { return smooth(r, c, k, f); };
      writeFrame(*w, makeFrame<float>(s.width, s.height, 3, at));
      appendPacked<std::uint8_t>(want, s.width, s.height, 3,
                                 [&](std::size_t r, std::size_t c, std::size_t k) { return std::lround(255 * at(r, c, k)); });
    }
    w->close();
  }
  Probe const p = probe(file);
  EXPECT_EQ(p.codec, "h264");
  EXPECT_EQ(p.pixelFormat, "yuv420p");
  EXPECT_EQ(p.width, 46);
  EXPECT_EQ(p.height, 32);
  EXPECT_EQ(p.frames, 3);
  // The library's padding row is black, and 4:2:0 chroma mixes it into the last
  // picture row: compare the 30 rows above that.
  std::vector<std::uint8_t> got = decode(file, "rgb24"), cropped, source;
  for (std::size_t f = 0; f < 3; ++f)
    for (std::size_t r = 0; r < 30; ++r) {
      auto row = got.begin() + static_cast<std::ptrdiff_t>((f * 32 + r) * 46 * 3);
      cropped.insert(cropped.end(), row, row + 45 * 3);
      auto from = want.begin() + static_cast<std::ptrdiff_t>((f * 31 + r) * 45 * 3);
      source.insert(source.end(), from, from + 45 * 3);
    }
  EXPECT_GT(psnr(source, cropped, 45 * 3, 45 * 3), 30.0);
}

// The library asks for int16 when doubles go to Motion JPEG 2000: the file holds
// signed components that a reader level-shifts back to the unit-range picture.
TEST_F(VideoStack, Mj2FromDoublesStoresSixteenBitsThatDecodeToTheSource) {
  Settings s;
  s.fileType = FILETYPE_MJ2;
  s.type = VIDEO_DOUBLE;
  s.fourCC = FOURCC_MONO;
  s.width = 9;
  s.height = 7;
  fs::path const file = dir / "double.mj2";
  std::vector<std::uint8_t> want;
  {
    auto w = makeWriter(file, s);
    w->open();
    auto at = [](std::size_t r, std::size_t c, std::size_t) { return double(c * 7 + r) / 62.0; };
    writeFrame(*w, makeFrame<double>(s.width, s.height, 1, at));
    appendPacked<std::uint16_t>(want, s.width, s.height, 1,
                                [&](std::size_t r, std::size_t c, std::size_t k) { return std::lround(at(r, c, k) * 65535); });
    w->close();
  }
  EXPECT_EQ(probe(file).pixelFormat, "gray16le");
  EXPECT_TRUE(decode(file, "gray16le") == want);
}

TEST_F(VideoStack, Mj2LossyToTheCompressionFactor) {
  Settings s;
  s.fileType = FILETYPE_MJ2;
  s.method = "Lossy";
  s.ratio = 10;
  s.width = 64;
  s.height = 48;
  fs::path const file = dir / "lossy.mj2";
  std::vector<std::uint8_t> want;
  {
    auto w = makeWriter(file, s);
    w->open();
    auto at = [](std::size_t r, std::size_t c, std::size_t k) { return std::lround(255 * smooth(r, c, k, 0)); };
    writeFrame(*w, makeFrame<std::uint8_t>(s.width, s.height, 3, at));
    appendPacked<std::uint8_t>(want, s.width, s.height, 3, at);
    w->close();
  }
  EXPECT_EQ(probe(file).codec, "jpeg2000");
  EXPECT_LT(fs::file_size(file), 64u * 48 * 3 / 10 + 2048);
  EXPECT_GT(psnr(want, decode(file, "rgb24"), 64 * 3, 64 * 3), 30.0);
}

TEST_F(VideoStack, FrameRateZeroIsRefusedWithTheCatalogueMessage) {
  Settings s;
  s.frameRate = 0;
  auto w = makeWriter(dir / "rate.avi", s);
  EXPECT_EQ(failureOf([&] { w->open(); }), "VideoWrite: FrameRate must be a positive scalar.");
  EXPECT_FALSE(w->getIsOpen());
}

TEST_F(VideoStack, UnknownExtensionIsRefusedWithTheCatalogueMessage) {
  auto w = makeWriter(dir / "clip.xyz", Settings());
  EXPECT_EQ(failureOf([&] { w->open(); }),
            "VideoWrite: Could not initialize the video file for writing.");
}

TEST_F(VideoStack, AFrameOfAnotherSizeIsRefusedAtTheNextCall) {
  Settings s;
  fs::path const file = dir / "resize.avi";
  auto w = makeWriter(file, s);
  w->open();
  auto at = [](std::size_t r, std::size_t c, std::size_t k) { return sharp(r, c, k, 0); };
  auto frame = makeFrame<std::uint8_t>(32, 24, 3, at);
  writeFrame(*w, frame);
  w->setHeight(12);  // the same buffers now describe a smaller frame
  // Encoding runs on the service's worker: the refusal surfaces in a later call.
  std::string failure = failureOf([&] {
    writeFrame(*w, frame);
    writeFrame(*w, frame);
    w->close();
  });
  EXPECT_EQ(failure, "VideoWrite: Could not write a video frame.");
  w.reset();
  EXPECT_EQ(probe(file).frames, 1);
  EXPECT_EQ(probe(file).height, 24);
}

}  // namespace
