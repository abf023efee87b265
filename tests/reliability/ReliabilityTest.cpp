// The library under faults and load: a file system that stops taking bytes,
// plug-ins that throw anything from any operation, files that change while they
// are read, many writers and readers at once. Whatever happens, the host sees a
// library exception with an identifier or a correct result, never a crash.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "scripted/Scripted.h"
#include "support/Audio.h"
#include "support/Scratch.h"
#include "support/Tools.h"

namespace {

using namespace testsupport;

// "" when `action` returned, else the identifier of the library exception it
// threw; anything else thrown fails the test.
template <class Action>
std::string outcome(Action const& action) {
  try {
    action();
    return "";
  } catch (hm::Exception const& e) {
    EXPECT_STRNE(e.name(), "") << e.what();
    return e.name();
  } catch (...) {
    ADD_FAILURE() << "not a library exception";
    return "<foreign>";
  }
}

// Reads up to `count` frames and frees them.
void readAndFree(hm::fmmfb2audioreader& reader, unsigned long count) {
  unsigned char* data = nullptr;
  reader.readAudio(&data, count);
  delete[] data;
}

// A file system that takes 16 KiB of the file: RLIMIT_FSIZE, with SIGXFSZ
// ignored so that write() fails with EFBIG.
class FullFileSystem : public ::testing::TestWithParam<char const*> {};

TEST_P(FullFileSystem, WriteOrCloseFailsWithAnIdentifierAndClosingAgainReturns) {
  Scratch dir;
  std::string const path = dir / (std::string("a.") + GetParam());
  rlimit limit;
  ::getrlimit(RLIMIT_FSIZE, &limit);
  rlimit const lower{16 * 1024, limit.rlim_max};
  ::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &lower);
  auto writer = openWriter(path, 2, 48000, hm::AUDIO_INT16);
  std::string failure;  // of 1 MB of samples, some write or the close
  for (int i = 0; i <= 250 && failure.empty(); ++i)
    failure = outcome([&] { i < 250 ? writeBlocks(*writer, 1000, 1000, 2, 1) : writer->close(); });
  outcome([&] { writer->close(); });
  EXPECT_EQ(outcome([&] { writer->close(); }), "");
  EXPECT_NE(failure, "") << "a file cut at 16 KiB was reported complete";
  EXPECT_LE(std::filesystem::file_size(path), 16u * 1024);
  ::setrlimit(RLIMIT_FSIZE, &limit);
}

INSTANTIATE_TEST_SUITE_P(Formats, FullFileSystem, ::testing::Values("wav", "flac", "ogg"));

// One scripted operation throws std::bad_alloc or an int, through a whole
// writer life or a whole reader life: every fault reached is reported (but
// term's, which the destructors swallow), and only as a library exception.
class ThrowingPlugin : public ::testing::TestWithParam<std::tuple<char const*, bool, bool>> {};

TEST_P(ThrowingPlugin, ReachesTheHostAsALibraryException) {
  auto const [op, oom, writing] = GetParam();
  Scratch dir;
  std::ofstream(dir / "a.wav") << "RIFF";
  std::u16string const file = u16(dir / "a.wav");
  scripted::reset();
  scripted::setInitResult({{"DataType", boost::any(std::u16string(u"int16"))}});
  scripted::fail(op, {oom ? scripted::Throw::BadAlloc : scripted::Throw::NonStandard});
  std::unique_ptr<hm::tmmfb2audiowriter> w;
  std::unique_ptr<hm::fmmfb2audioreader> r;
  std::string seen = outcome([&] {
    writing ? w.reset(new hm::tmmfb2audiowriter(file, scripted::DEVICE, scripted::CONVERTER,
                                                scripted::FILTER))
            : r.reset(new hm::fmmfb2audioreader(file, scripted::DEVICE, scripted::CONVERTER));
  });
  if (w) w->setSampleRate(8000), w->setNumChannels(1), w->setInputDataType(hm::AUDIO_INT16);
  for (int step = 0; step < 7 && (w || r); ++step)  // open, 4 blocks, reset (reading), close
    seen += outcome([&] {
      if (step == 0) w ? w->open() : r->open();
      if (step > 0 && step < 5) w ? writeBlocks(*w, 16, 16, 1, 0) : readAndFree(*r, 2);
      if (step == 6) w ? w->close() : r->close();
      // What the input stream's flush throws passes resetAudio, as documented.
      if (step == 5 && r && !(oom && std::string(op) == "device.flush")) r->resetAudio();
    });
  EXPECT_EQ(!seen.empty(), scripted::count(op) > 0 && std::string(op) != "device.term") << seen;
}

char const* const kOperations[] = {
    "converter.create", "converter.convert", "device.create", "device.init",    "device.open",
    "device.write",     "device.read",       "device.flush",  "device.close",   "device.term",
    "filter.create",    "filter.add",        "filter.open",   "filter.process", "filter.close"};
INSTANTIATE_TEST_SUITE_P(EveryOperation, ThrowingPlugin,
                         ::testing::Combine(::testing::ValuesIn(kOperations), ::testing::Bool(),
                                            ::testing::Bool()));

// A file cut to a third, or overwritten with something that is not audio, after
// its first block was read: reading ends or fails with an identifier; reading
// again from the start reads what is left, and refuses the rest.
class ChangedWhileRead : public ::testing::TestWithParam<std::tuple<char const*, bool>> {};

TEST_P(ChangedWhileRead, IsReadOrRefusedWithAnIdentifier) {
  auto const [format, cut] = GetParam();
  Scratch dir;
  std::string const path = dir / (std::string("a.") + format);
  run("sox -n -r 48000 -c 2 -b 16 '" + path + "' synth 4 whitenoise");
  hm::fmmfb2audioreader reader(u16(path), "audiofilereader", "passthrough");
  reader.open();
  auto readOn = [&] {  // whether reading ended or failed within 200 reads
    for (int i = 0; i < 200 && !reader.isEndOfAudio(); ++i)
      if (!outcome([&] { readAndFree(reader, 1000); }).empty()) return true;
    return reader.isEndOfAudio();
  };
  readAndFree(reader, 1000);
  if (cut) std::filesystem::resize_file(path, std::filesystem::file_size(path) / 3);
  if (!cut) std::ofstream(path, std::ios::trunc) << std::string(70000, 'x');
  EXPECT_TRUE(readOn()) << "reading never ended";
  std::string const reopened = outcome([&] { reader.resetAudio(); });
  EXPECT_TRUE(cut ? reopened != "" || readOn() : reopened != "") << "reopened: " << reopened;
  outcome([&] { reader.close(); });
}

INSTANTIATE_TEST_SUITE_P(Formats, ChangedWhileRead,
                         ::testing::Combine(::testing::Values("wav", "flac", "ogg"),
                                            ::testing::Bool()));

// Eight writers and eight readers on their own threads at once. Each file holds
// records of mixed sizes: small ones are gathered before they reach the encoder,
// large ones pass straight through; 16 and 24-bit WAV and FLAC files, half of
// the writers closed, half only destroyed. Every file is read back, and the
// written ones are counted by soxi.
TEST(Load, EightWritersAndEightReadersAtOnceKeepEverySampleInOrder) {
  Scratch dir;
  unsigned long const frames = 48000 * 3, sizes[] = {1, 7, 64, 5000, 3, 4200, 64, 9000, 2};
  auto name = [&](unsigned i) { return dir / (std::to_string(i) + (i % 2 ? ".flac" : ".wav")); };
  auto write = [&](unsigned i) {
    auto writer = openWriter(name(i), 8, 48000, hm::AUDIO_INT16,
                             i / 2 % 2 ? hm::AUDIO_INT24 : hm::AUDIO_INT16);
    for (unsigned long f0 = 0, n, k = i; f0 < frames; f0 += n) {
      n = std::min(sizes[k++ % 9], frames - f0);
      auto const b = block(f0, n, 8, i);
      writer->writeAudio(reinterpret_cast<unsigned char const*>(b.data()), n, hm::AUDIO_INT16);
    }
    if (i % 8 < 4) writer->close();  // the others are only destroyed
  };
  auto diff = [&](unsigned i) { return differenceFrom(readFile(name(i), 8, 9 * i), frames, 8, i); };
  for (unsigned i = 8; i < 16; ++i) write(i);  // for the readers
  std::vector<std::string> problems(16);
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < 16; ++i)
    threads.emplace_back([&, i] {  // the right of += runs first
      problems[i] += outcome([&] { i < 8 ? write(i) : void(problems[i] = diff(i)); });
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(problems, std::vector<std::string>(16));
  for (unsigned i = 0; i < 8; ++i) {
    EXPECT_EQ(diff(i), "") << i;
    EXPECT_EQ(soxi(name(i), "-s"), std::to_string(frames)) << i;
  }
}

}  // namespace
