// Reading video through fmmfb2videoreader with the shipped plug-ins
// (videofilereader, videofilter's input mode): files of our writer read back
// bit-exact where lossless, files ffmpeg makes read as ffmpeg decodes them, exact
// seeks against a sequential read, and every refusal an exception.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "hostlib/multimedia/tmmfb2videowriter.h"
#include "support/Failures.h"
#include "support/Scratch.h"
#include "support/Video.h"
#include "support/VideoRead.h"

namespace {

using namespace hostlib::multimedia;
using namespace testsupport;
namespace fs = std::filesystem;

struct Written {
  char const *name, *file;
  MMFileType type;
  char const* method;
  bool wide;  // 16-bit words
  std::size_t bands, w, h;
  bool lossless;
  char const *codec, *format;
};
void PrintTo(Written const& c, std::ostream* os) { *os << c.name; }
class OurFiles : public ::testing::TestWithParam<Written> {};

// Five frames written with tmmfb2videowriter come back with the facts they were
// written with, as ffmpeg decodes them, and lossless ones as they were written.
TEST_P(OurFiles, ReadBackAsWrittenAndAsFfmpegDecodesThem) {
  Written const& c = GetParam();
  Scratch dir;
  std::string const path = dir / c.file;
  std::vector<std::uint8_t> want;
  {
    tmmfb2videowriter writer(u16(path), "videofilewriter", "passthrough", "videofilter");
    writer.setFileType(c.type);
    writer.setCompressionMethod(c.method);
    writer.setVideoDataType(c.wide ? VIDEO_UINT16 : VIDEO_UINT8);
    writer.setFourCC(c.bands == 1 ? FOURCC_MONO : FOURCC_RGB_PLANAR);
    writer.setWidth(c.w);
    writer.setHeight(c.h);
    writer.setFrameRate(10);
    writer.open();
    for (std::size_t f = 0; f < 5; ++f) {
      auto at = [&](auto r, auto col, auto k) {
        return c.wide ? sharp(r, col, k, f) * 256 + sharp(col, r, k, f + 1) : sharp(r, col, k, f);
      };
      auto const planes8 = makeFrame<std::uint8_t>(c.w, c.h, c.bands, at);
      auto const planes16 = makeFrame<std::uint16_t>(c.w, c.h, c.bands, at);
      auto const q = c.wide ? planes16.pointers() : planes8.pointers();
      writer.writeVideo(q[0], q[1], q[2]);
      c.wide ? appendPacked<std::uint16_t>(want, c.w, c.h, c.bands, at)
             : appendPacked<std::uint8_t>(want, c.w, c.h, c.bands, at);
    }
    writer.close();
  }
  ReadBack const got = readAll(path, 2);
  EXPECT_EQ(got.w, c.w);
  EXPECT_EQ(got.h, c.h);
  EXPECT_EQ(got.bands, c.bands);
  EXPECT_EQ(got.word, c.wide ? 2u : 1u);
  EXPECT_EQ(got.frames, 5u);
  EXPECT_EQ(got.rate, 10);
  EXPECT_EQ(got.codec + " " + got.format, std::string(c.codec) + " " + c.format);
  EXPECT_EQ(probe(path).width, int(c.w));  // what every tool reports
  EXPECT_TRUE(got.packed == decodeVideo(path, got.pixelFormat()));
  EXPECT_TRUE(!c.lossless || got.packed == want);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, OurFiles,
    ::testing::Values(
        Written{"AviRgb", "a.avi", FILETYPE_AVI, "", false, 3, 33, 17, true, "Uncompressed", "AVI"},
        Written{"AviGrey", "a.avi", FILETYPE_AVI, "", false, 1, 31, 9, true, "Uncompressed", "AVI"},
        Written{"AviMjpeg", "a.avi", FILETYPE_AVI, "MJPEG Compressor", false, 3, 64, 48, false,
                "Motion JPEG", "AVI"},
        Written{"Mp4OddWidth", "a.mp4", FILETYPE_MPEG4, "", false, 3, 641, 40, false, "H.264",
                "MP4"},
        Written{"Mj2Rgb", "a.mj2", FILETYPE_MJ2, "", false, 3, 37, 23, true, "JPEG 2000", "MJ2"},
        Written{"Mj2Grey16", "a.mj2", FILETYPE_MJ2, "", true, 1, 21, 13, true, "JPEG 2000", "MJ2"},
        Written{"Mj2Rgb16", "a.mj2", FILETYPE_MJ2, "", true, 3, 18, 11, true, "JPEG 2000", "MJ2"}),
    [](auto const& info) { return std::string(info.param.name); });

struct Made {
  char const *name, *file, *args;  // ffmpeg's options after the test pattern
  std::size_t bands, word;
  char const *codec, *format;
};
void PrintTo(Made const& c, std::ostream* os) { *os << c.name; }
class OtherFiles : public ::testing::TestWithParam<Made> {};

// Files of other tools: every frame as ffmpeg decodes it into the same layout.
TEST_P(OtherFiles, ReadAsFfmpegDecodesThem) {
  Made const& c = GetParam();
  Scratch dir;
  std::string const path = dir / c.file;
  if (!ffmpegMakes(std::string("-f lavfi -i testsrc2=s=48x32:r=12:d=1 ") + c.args, path))
    GTEST_SKIP() << "ffmpeg cannot make " << c.name;
  ReadBack const got = readAll(path, 5);
  EXPECT_EQ(got.w * got.h, 48u * 32u);
  EXPECT_EQ(got.bands, c.bands);
  EXPECT_EQ(got.word, c.word);
  EXPECT_EQ(got.frames, 12u);
  EXPECT_NEAR(got.rate, 12, 0.1);  // GIF: delays of whole centiseconds
  EXPECT_EQ(got.codec + " " + got.format, std::string(c.codec) + " " + c.format);
  std::vector<std::uint8_t> const want = decodeVideo(path, got.pixelFormat());
  EXPECT_EQ(want.size(), 12u * 48 * 32 * c.bands * c.word);
  EXPECT_TRUE(got.packed == want) << psnr(want, got.packed);
}

INSTANTIATE_TEST_SUITE_P(
    Tools, OtherFiles,
    ::testing::Values(
        Made{"MkvFfv1", "a.mkv", "-c:v ffv1", 3, 1, "FFV1", "MKV"},
        Made{"MkvFfv1Grey16", "a.mkv", "-vf format=gray16le -c:v ffv1", 1, 2, "FFV1", "MKV"},
        Made{"MkvFfv1AlphaDropped", "a.mkv", "-vf format=rgba -c:v ffv1", 3, 1, "FFV1", "MKV"},
        Made{"Mp4H264", "a.mp4", "-c:v libx264 -bf 3", 3, 1, "H.264", "MP4"},
        Made{"Mp4H264TenBits", "a.mp4", "-c:v libx264 -pix_fmt yuv420p10le", 3, 2, "H.264", "MP4"},
        Made{"MovBt709FullRange", "a.mov",
             "-vf scale=out_color_matrix=bt709:out_range=full -c:v libx264 -colorspace bt709 "
             "-color_range pc",
             3, 1, "H.264", "MOV"},
        Made{"Gif", "a.gif", "", 3, 1, "GIF", "GIF"},
        Made{"GifGreyPalette", "a.gif", "-vf format=gray", 1, 1, "GIF", "GIF"},
        Made{"WebmVp9", "a.webm", "-c:v libvpx-vp9 -deadline realtime -cpu-used 8", 3, 1, "VP9",
             "WebM"}),
    [](auto const& info) { return std::string(info.param.name); });

// Seeks anywhere in files of long GOPs with B-frames give what a sequential
// read gives there; past the end the next read gives nothing.
TEST(VideoReader, SeeksExactlyAsASequentialReadFindsTheFrames) {
  Scratch dir;
  for (char const* file : {"a.mp4", "a.mkv", "a.gif"}) {
    std::string const path = dir / file;
    ASSERT_TRUE(ffmpegMakes("-f lavfi -i testsrc2=s=32x24:r=25:d=2.4 -c:v " +
                                std::string(file[2] == 'g' ? "gif" : "libx264") +
                                " -g 50 -bf 3 -sc_threshold 0",
                            path));
    ReadBack const all = readAll(path);
    ASSERT_EQ(all.frames, 60u);
    std::size_t const bytes = all.packed.size() / 60;
    auto reader = openReader(path);
    // first, middle of a GOP, a key frame, a little ahead, back, the last, past the end
    for (unsigned long at : {0ul, 27ul, 50ul, 55ul, 3ul, 59ul, 60ul, 1000ul, 49ul}) {
      reader->seekFrame(at);
      EXPECT_FALSE(reader->isEndOfVideo());
      std::vector<std::uint8_t> got;
      unsigned long const n = readPacked(*reader, 2, all, got);
      unsigned long const expected = at >= 60 ? 0 : std::min(2ul, 60 - at);
      EXPECT_EQ(n, expected) << file << " " << at;
      auto const from = all.packed.begin() + std::ptrdiff_t(std::min(at, 60ul) * bytes);
      EXPECT_TRUE(std::equal(got.begin(), got.end(), from) && got.size() == expected * bytes)
          << file << " " << at;
      EXPECT_EQ(reader->isEndOfVideo(), n == 0) << file << " " << at;
    }
  }
}

// Each refusal is the video-reading catalogue's message, at open or when the
// damaged frame is reached; nothing hangs (a FIFO, a directory) or crashes.
TEST(VideoReader, RefusesWhatItCannotReadWithTheCataloguesMessage) {
  Scratch dir;
  std::string const good = dir / "good.avi";
  ASSERT_TRUE(ffmpegMakes("-f lavfi -i testsrc2=s=64x48:r=10:d=1 -c:v rawvideo", good));
  ASSERT_TRUE(ffmpegMakes("-f lavfi -i sine=d=0.2 -c:a aac", dir / "sound.m4a"));
  auto const size = fs::file_size(good);
  fs::copy_file(good, dir / "cut.avi");
  fs::resize_file(dir / "cut.avi", size / 2 + 77);
  ASSERT_TRUE(ffmpegMakes("-f lavfi -i testsrc2=s=64x48:r=10:d=1 -c:v libx264", dir / "bad.mp4"));
  std::string mp4 = run("cat " + dir / "bad.mp4");
  for (std::size_t i = mp4.size() / 3; i < mp4.size() - 64; i += 7) mp4[i] = char(i * 131);
  std::ofstream(dir / "bad.mp4", std::ios::binary) << mp4;
  std::ofstream(dir / "notes.txt") << "not a video\n";
  std::ofstream(dir / "empty.mp4");
  ::mkfifo((dir / "pipe.mp4").c_str(), 0600);
  fs::create_directory(dir / "folder.avi");
  std::string const corrupt = "Unable to read the video file. The file appears to be corrupt.";
  struct Refusal {
    char const* file;
    std::string message;
  } const table[] = {
      {"missing.avi", "Input File specified not found"},
      {"sound.m4a", "File does not contain any video."},
      {"notes.txt", "The specified video file type is not supported."},
      {"cut.avi", corrupt},
      {"bad.mp4", corrupt},
      {"empty.mp4", corrupt},
      {"pipe.mp4", "Unable to read the video file."},
      {"folder.avi", "Unable to read the video file."},
  };
  for (auto const& t : table) {
    std::string const text = printedDuring(
        [&] { EXPECT_EQ(refusalOf([&] { readAll(dir / t.file); }), t.message) << t.file; });
    EXPECT_EQ(text, "") << t.file;
  }
  // Without read permission (root reads all the same).
  if (::geteuid() != 0) {
    fs::permissions(good, fs::perms::none);
    EXPECT_EQ(refusalOf([&] { readAll(good); }),
              "Could not open the video file. Permission denied.");
  }
}

}  // namespace
