// What a killed host leaves in an MPEG-4, MJ2 or AVI file: each row forks a
// child that writes through the library, the last second in real time as a
// recording host hands it over, and that kills itself with SIGKILL as its last
// write returns. Our readers and FFmpeg must find all but at most the last
// second of what it handed over, as written (lossless) or close to it.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "hostlib/multimedia/tmmfb2videowriter.h"
#include "support/Audio.h"
#include "support/Killed.h"
#include "support/Scratch.h"
#include "support/Video.h"
#include "support/VideoRead.h"

namespace {

using namespace testsupport;

constexpr unsigned long kRate = 48000, kChannels = 2, kBlock = 4800, kBlocks = 30;
constexpr std::size_t kWidth = 64, kHeight = 48, kFps = 30, kFrames = 75;

struct Container {
  char const* ext;
  hm::MMFileType type;  // FILETYPE_NONE: audio
  bool lossless;
};

void PrintTo(Container const& c, std::ostream* os) { *os << c.ext; }

// Frame f: sharp edges where lossless, smooth for H.264.
auto framePixels(bool lossless, std::size_t f) {
  return [=](std::size_t r, std::size_t c, std::size_t k) {
    return lossless ? sharp(r, c, k, f) : std::uint8_t(std::lround(255 * smooth(r, c, k, f)));
  };
}

// The child: hands over kBlocks blocks of audio or kFrames frames, the last
// second at the pace it lasts, and is never closed.
void record(Container const& c, std::string const& path) {
  if (c.type == hm::FILETYPE_NONE) {
    auto* writer = openWriter(path, kChannels, kRate, hm::AUDIO_DOUBLE).release();
    auto const piece = tones(kBlock, kChannels, kRate);  // whole cycles: every block alike
    for (unsigned long k = 0; k < kBlocks; ++k) {
      if (k + kRate / kBlock >= kBlocks)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      writer->writeAudio(reinterpret_cast<unsigned char const*>(piece.data()), kBlock,
                         hm::AUDIO_DOUBLE);
    }
    return;
  }
  auto* writer =
      new hm::tmmfb2videowriter(u16(path), "videofilewriter", "passthrough", "videofilter");
  writer->setWidth(kWidth), writer->setHeight(kHeight), writer->setFrameRate(kFps);
  writer->setVideoDataType(hm::VIDEO_UINT8), writer->setFourCC(hm::FOURCC_RGB_PLANAR);
  writer->setFileType(c.type), writer->setVideoQuality(90), writer->open();
  for (std::size_t f = 0; f < kFrames; ++f) {
    if (f + kFps >= kFrames) std::this_thread::sleep_for(std::chrono::milliseconds(1000 / kFps));
    auto const frame = makeFrame<std::uint8_t>(kWidth, kHeight, 3, framePixels(c.lossless, f));
    writer->writeVideo(frame.pointers()[0], frame.pointers()[1], frame.pointers()[2]);
  }
}

// All but at most the last second (`rate` units) of what was handed over is found.
void expectBound(std::size_t found, std::size_t handed, std::size_t rate, std::string who) {
  std::printf("%s: %zu of %zu\n", who.c_str(), found, handed);
  EXPECT_LE(found, handed) << who;
  EXPECT_GE(found + rate, handed) << who << " lost more than a second";
}

class KilledVideoWriter : public ::testing::TestWithParam<Container> {};

TEST_P(KilledVideoWriter, LeavesAllButTheLastSecondReadable) {
  Container const c = GetParam();
  Scratch scratch;
  std::string const path = scratch / (std::string("killed.") + c.ext);
  ASSERT_EQ(inChild([&]() -> int { record(c, path), dieNow(); }, 120), 128 + SIGKILL);
  if (c.type == hm::FILETYPE_NONE) {
    for (auto const& [who, got] : {std::pair{"our reader", readFile(path, kChannels)},
                                   std::pair{"ffmpeg", decodeAudio(path, kRate)}}) {
      expectBound(got.size() / kChannels, kBlocks * kBlock, kRate, std::string("m4a ") + who);
      auto const reference = interleave(tones(kBlocks * kBlock, kChannels, kRate), kChannels);
      EXPECT_GT(snr(reference, got), 15.0) << who;  // over the frames found
    }
    return;
  }
  auto const got = decodeVideo(path, "rgb24");
  std::size_t const found = got.size() / (kWidth * kHeight * 3);
  expectBound(found, kFrames, kFps, std::string(c.ext) + " ffmpeg");
  EXPECT_EQ(probe(path).frames, static_cast<int>(found)) << "ffprobe";
  std::vector<std::uint8_t> want;
  for (std::size_t f = 0; f < found; ++f)
    appendPacked<std::uint8_t>(want, kWidth, kHeight, 3, framePixels(c.lossless, f));
  EXPECT_GT(psnr(want, got), c.lossless ? 98.0 : 30.0);  // 99: exact
  // Our reader: the same frames, up to the end or to a damaged last frame.
  std::vector<std::uint8_t> ours;
  try {
    auto reader = openReader(path);
    ReadBack shape;
    shape.w = kWidth, shape.h = kHeight, shape.bands = 3, shape.word = 1;
    while (readPacked(*reader, 8, shape, ours) > 0) {
    }
  } catch (hm::Exception const& e) {
    EXPECT_STREQ(e.what(), "Unable to read the video file. The file appears to be corrupt.");
  }
  expectBound(ours.size() / (kWidth * kHeight * 3), kFrames, kFps, std::string(c.ext) + " ours");
  EXPECT_TRUE(ours == got) << "our reader";
}

INSTANTIATE_TEST_SUITE_P(Containers, KilledVideoWriter,
                         ::testing::Values(Container{"m4a", hm::FILETYPE_NONE, false},
                                           Container{"mp4", hm::FILETYPE_MPEG4, false},
                                           Container{"mj2", hm::FILETYPE_MJ2, true},
                                           Container{"avi", hm::FILETYPE_AVI, true}),
                         [](auto const& info) { return std::string(info.param.ext); });

}  // namespace
