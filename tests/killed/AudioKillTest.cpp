// What a killed host leaves in an audio file: each row forks a child that writes
// 5.6 s of 16 kHz audio through the library in blocks of 0.1 s, the last second
// in real time as a recording host hands it over (or all of it as fast as the
// writer takes it), and that kills itself with SIGKILL as its last write returns. Our reader and
// sox (ffmpeg for Opus) must find all but at most the last second of what it handed over, as
// written. (One channel at 16 kHz: 64 KiB of samples are seconds, so what the writer gathers must
// be bounded too.) Special files are refused at once, by the reader and by the info class.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <tuple>
#include <vector>

#include "hostlib/multimedia/fmmfb2audioinfo.h"
#include "support/Audio.h"
#include "support/Killed.h"
#include "support/Scratch.h"
#include "support/Tools.h"

namespace {

using namespace testsupport;  // and its alias hm for hostlib::multimedia

constexpr unsigned long kRate = 16000, kChannels = 1, kBlock = kRate / 10, kBlocks = 56;

struct Container {
  char const* ext;
  bool lossless;      // read back exactly; else compared by SNR
  long toolRate = 0;  // 0: decoded by sox; else by ffmpeg at this rate
};

void PrintTo(Container const& c, std::ostream* os) { *os << c.ext; }

// Channel after channel, on the 16-bit grid that integer files hold exactly.
std::vector<double> const kSource = tones(kBlocks * kBlock, kChannels, kRate, 16);

void expectWritten(std::vector<double> got, Container const& c, char const* who) {
  unsigned long const found = got.size() / kChannels, handed = kBlocks * kBlock;
  std::printf("%s, %s: %lu of %lu frames\n", c.ext, who, found, handed);
  EXPECT_TRUE(found <= handed && found + kRate >= handed) << who << " found " << found;
  auto reference = interleave(kSource, kChannels);
  reference.resize(got.size());
  double const quality = snr(reference, got);
  EXPECT_TRUE(c.lossless ? got == reference : quality > 15) << who << ": SNR " << quality << " dB";
}

class KilledWriter : public ::testing::TestWithParam<std::tuple<Container, bool>> {
 protected:
  Container const& container() const { return std::get<0>(GetParam()); }
  bool recording() const { return std::get<1>(GetParam()); }
};

TEST_P(KilledWriter, LeavesAllButTheLastSecondReadable) {
  Scratch scratch;
  std::string const path = scratch / (std::string("killed.") + container().ext);
  // A host running ahead hands blocks of 0.2 s: eight of them queued are more than a second.
  unsigned long const block = recording() ? kBlock : 2 * kBlock, total = kBlocks * kBlock;
  auto const killedAfterWriting = [&]() -> int {
    auto writer = openWriter(path, kChannels, kRate, hm::AUDIO_DOUBLE);
    std::vector<double> piece(block * kChannels);
    for (unsigned long f0 = 0; f0 < total; f0 += block) {
      if (recording() && f0 + kRate >= total)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      for (unsigned long ch = 0; ch < kChannels; ++ch)
        std::copy_n(&kSource[ch * total + f0], block, &piece[ch * block]);
      writer->writeAudio(reinterpret_cast<unsigned char*>(piece.data()), block, hm::AUDIO_DOUBLE);
    }
    dieNow();
  };
  ASSERT_EQ(inChild(killedAfterWriting, 120), 128 + SIGKILL);
  expectWritten(readFile(path, kChannels), container(), "our reader");
  auto const byTool = decodeAudio(path, container().toolRate);
  expectWritten(byTool, container(), container().toolRate ? "ffmpeg" : "sox");
  // sox also tells the length the header declares, which it then reads.
  std::string const declared = container().toolRate ? "" : soxi(path, "-s");
  EXPECT_TRUE(declared.empty() || declared == std::to_string(byTool.size() / kChannels))
      << declared;
}

Container const kContainers[] = {
    {"wav", true}, {"flac", true}, {"ogg", false}, {"opus", false, kRate}};
INSTANTIATE_TEST_SUITE_P(Containers, KilledWriter,
                         ::testing::Combine(::testing::ValuesIn(kContainers), ::testing::Bool()),
                         [](auto const& info) {
                           return std::string(std::get<0>(info.param).ext) +
                                  (std::get<1>(info.param) ? "_recording" : "_runningAhead");
                         });

// 0 when opening `path` with the reader (or the info class) is refused with
// ReadFailed within a second.
int refusedAtOnce(std::string const& path, bool info) {
  auto const start = std::chrono::steady_clock::now();
  try {
    info ? void(hm::fmmfb2audioinfo(u16(path), "audiofilereader", "passthrough"))
         : hm::fmmfb2audioreader(u16(path), "audiofilereader", "passthrough").open();
  } catch (hm::Exception const& e) {
    bool const soon = std::chrono::steady_clock::now() - start < std::chrono::seconds(1);
    return soon && std::string(e.what()) == "Unable to read the file." ? 0 : 1;
  }
  return 2;
}

// Opening a FIFO for reading blocks until a writer comes; a device may never
// end. The child's deadline turns a hang into a failure.
TEST(SpecialFile, IsRefusedAtOnceByTheReaderAndTheInfoClass) {
  Scratch scratch;
  std::string const fifo = scratch / "pipe.wav";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (std::string path : {fifo, scratch.dir(), std::string("/dev/zero"), std::string("/dev/null")})
    for (bool info : {false, true})
      EXPECT_EQ(inChild([&] { return refusedAtOnce(path, info); }, 10), 0)
          << path << (info ? " (info)" : " (reader)");
}

}  // namespace
