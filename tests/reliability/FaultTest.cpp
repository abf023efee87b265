// Faults injected under the library: a file system that stops taking bytes,
// plug-ins that throw anything from any operation, a worker that fails while the
// host waits for room, writers destroyed with records queued, and files that
// change while they are read. Whatever happens, the host sees a library
// exception with an identifier or a correct result, never a crash or a hang.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <thread>

#include "channel/ChannelManager.h"
#include "reliability/Support.h"
#include "scripted/Scripted.h"

namespace {

using namespace reliability;
using audiotest::haveTool;
using audiotest::run;
using audiotest::scratchDirectory;

// Runs `action`; "" when it returned, else the identifier of the library
// exception it threw. Anything else thrown fails the test.
std::string outcome(std::function<void()> const& action) {
  try {
    action();
    return "";
  } catch (hm::Exception const& e) {
    EXPECT_STRNE(e.name(), "") << e.what();
    EXPECT_STRNE(e.what(), "");
    return e.name()[0] ? e.name() : "<no identifier>";
  } catch (std::exception const& e) {
    ADD_FAILURE() << "not a library exception: " << typeid(e).name() << " " << e.what();
  } catch (...) {
    ADD_FAILURE() << "not a library exception";
  }
  return "<foreign>";
}

// Lowers the file size limit of this process for one scope; the signal the
// kernel sends at the limit is ignored, so write() fails with EFBIG instead.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &old_);
    oldHandler_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit lower = old_;
    lower.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &lower);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    ::signal(SIGXFSZ, oldHandler_);
  }

 private:
  rlimit old_{};
  sighandler_t oldHandler_;
};

// ---- The file system refuses writes mid-file ------------------------------

class FullFileSystem : public ::testing::TestWithParam<char const*> {};

TEST_P(FullFileSystem, WriteOrCloseFailsWithAnIdentifierAndASecondCloseReturns) {
  std::string path = scratchDirectory(std::string("fsize-") + GetParam()) + "/a." + GetParam();
  std::string failure;
  {
    FileSizeLimit limit(16 * 1024);
    auto writer = openWriter(path, 2);
    // 1 MB of samples against a 16 KiB limit: some write or the close must fail.
    for (unsigned long f0 = 0; f0 < 250000 && failure.empty(); f0 += 1000) {
      auto b = block(f0, 1000, 2, 1);
      failure = outcome([&] {
        writer->writeAudio(reinterpret_cast<unsigned char const*>(b.data()), 1000, hm::AUDIO_INT16);
      });
    }
    if (failure.empty()) failure = outcome([&] { writer->close(); });
    // Closing after a failed write or close ends in a closed writer, never a crash.
    outcome([&] { writer->close(); });
    EXPECT_EQ(outcome([&] { writer->close(); }), "");
    EXPECT_FALSE(writer->getIsOpen());
  }
  EXPECT_NE(failure, "") << "a file cut at 16 KiB was reported complete";
  EXPECT_LE(audiotest::fileSize(path), 16 * 1024);
}

INSTANTIATE_TEST_SUITE_P(Formats, FullFileSystem, ::testing::Values("wav", "flac", "ogg"));

// ---- Plug-ins throwing std::bad_alloc or a non-library exception ----------

struct Injected {
  char const* op;
  scripted::Throw what;
};

void PrintTo(Injected const& i, std::ostream* os) {
  *os << i.op << (i.what == scripted::Throw::BadAlloc ? " bad_alloc" : " int");
}

class ThrowingPlugin : public ::testing::TestWithParam<Injected> {
 protected:
  void SetUp() override {
    scripted::reset();
    scripted::setInitResult({{"DataType", boost::any(std::u16string(u"int16"))}});
    char const* base = std::getenv("HOSTLIB_TEST_TMP");
    std::string dir = base ? base : "/tmp";
    ::mkdir(dir.c_str(), 0777);
    file = dir + "/throwing-plugin.wav";
    std::ofstream(file) << "RIFF";
  }
  void TearDown() override { scripted::releaseWrites(); }
  void inject() {
    scripted::Fault fault;
    fault.what = GetParam().what;
    scripted::fail(GetParam().op, fault);
  }
  std::string file;
};

TEST_P(ThrowingPlugin, WriterLifeSeesOnlyLibraryExceptions) {
  inject();
  std::vector<std::string> seen;
  {
    std::unique_ptr<hm::tmmfb2audiowriter> writer;
    seen.push_back(outcome([&] {
      writer = std::make_unique<hm::tmmfb2audiowriter>(wide(file), scripted::DEVICE,
                                                       scripted::CONVERTER, scripted::FILTER);
    }));
    if (writer) {
      writer->setSampleRate(8000);
      writer->setNumChannels(1);
      writer->setInputDataType(hm::AUDIO_INT16);
      seen.push_back(outcome([&] { writer->open(); }));
      auto b = block(0, 16, 1, 0);
      for (int i = 0; i < 4; ++i)
        seen.push_back(outcome([&] {
          writer->writeAudio(reinterpret_cast<unsigned char const*>(b.data()), 16, hm::AUDIO_INT16);
        }));
      seen.push_back(outcome([&] { writer->close(); }));
    }
  }  // the destructor swallows what term throws
  bool failed = false;
  for (auto const& s : seen) failed = failed || !s.empty();
  // What term throws in the destructor goes nowhere; every other fault is seen.
  bool reached = scripted::count(GetParam().op) > 0 && std::string(GetParam().op) != "device.term";
  EXPECT_EQ(failed, reached) << ::testing::PrintToString(seen);
  for (auto const& s : seen) EXPECT_NE(s, "<foreign>");
}

TEST_P(ThrowingPlugin, ReaderLifeSeesOnlyLibraryExceptions) {
  inject();
  std::vector<unsigned char> bytes(32, 7);
  for (int i = 0; i < 3; ++i)
    scripted::queueRead({{scripted::sampleRecord(bytes, 16, 1, hm::AUDIO_INT16)}, 16});
  std::vector<std::string> seen;
  {
    std::unique_ptr<hm::fmmfb2audioreader> reader;
    seen.push_back(outcome([&] {
      reader = std::make_unique<hm::fmmfb2audioreader>(wide(file), scripted::DEVICE,
                                                       scripted::CONVERTER);
    }));
    if (reader) {
      seen.push_back(outcome([&] { reader->open(); }));
      for (int i = 0; i < 5 && !reader->isEndOfAudio(); ++i)
        seen.push_back(outcome([&] {
          unsigned char* data = nullptr;
          unsigned long n = 16;
          reader->readAudio(&data, n);
          delete[] data;
        }));
      // Out of memory in the input stream's flush is the one failure that
      // resetAudio lets pass unchanged.
      bool flushOutOfMemory = std::string(GetParam().op) == "device.flush" &&
                              GetParam().what == scripted::Throw::BadAlloc;
      seen.push_back(outcome([&] {
        try {
          reader->resetAudio();
        } catch (std::bad_alloc const&) {
          if (!flushOutOfMemory) throw;
          throw hm::UnexpectedException("std::bad_alloc from flush");
        }
      }));
      seen.push_back(outcome([&] { reader->close(); }));
    }
  }
  for (auto const& s : seen) EXPECT_NE(s, "<foreign>");
  if (scripted::count(GetParam().op) > 0 && std::string(GetParam().op) != "device.term") {
    bool failed = false;
    for (auto const& s : seen) failed = failed || !s.empty();
    EXPECT_TRUE(failed) << ::testing::PrintToString(seen);
  }
}

std::vector<Injected> everyOperation() {
  std::vector<Injected> all;
  for (char const* op :
       {"converter.create", "converter.convert", "device.create", "device.init", "device.open",
        "device.write", "device.read", "device.flush", "device.close", "device.term",
        "filter.create", "filter.add", "filter.open", "filter.process", "filter.close"})
    for (auto what : {scripted::Throw::BadAlloc, scripted::Throw::NonStandard})
      all.push_back({op, what});
  return all;
}

INSTANTIATE_TEST_SUITE_P(EveryOperation, ThrowingPlugin, ::testing::ValuesIn(everyOperation()),
                         [](::testing::TestParamInfo<Injected> const& info) {
                           std::string name = info.param.op;
                           for (auto& ch : name)
                             if (ch == '.') ch = '_';
                           return name + (info.param.what == scripted::Throw::BadAlloc ? "_BadAlloc"
                                                                                       : "_Int");
                         });

// ---- The worker fails while the host waits for room ------------------------

class ScriptedWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    scripted::reset();
    scripted::setInitResult({{"DataType", boost::any(std::u16string(u"int16"))}});
  }
  void TearDown() override { scripted::releaseWrites(); }
  std::unique_ptr<hm::tmmfb2audiowriter> open() {
    auto writer = std::make_unique<hm::tmmfb2audiowriter>(u"queued.wav", scripted::DEVICE,
                                                          scripted::CONVERTER, scripted::FILTER);
    writer->setSampleRate(8000);
    writer->setNumChannels(2);
    writer->setInputDataType(hm::AUDIO_INT16);
    writer->open();
    return writer;
  }
  static void write(hm::tmmfb2audiowriter& writer, unsigned long first) {
    auto b = block(first, 8, 2, 3);
    writer.writeAudio(reinterpret_cast<unsigned char const*>(b.data()), 8, hm::AUDIO_INT16);
  }
};

TEST_F(ScriptedWriter, WorkerFailingWhileTheQueueIsFullWakesTheWaitingHost) {
  auto writer = open();
  scripted::fail("device.write", "scripted-device:FileCorrupt");
  scripted::holdWrites();
  sluice::OutputStream* out = writer->getChannelManager()->getChannel()->getOutputStream();
  std::thread release([&] {
    // Once the queue is full the host waits in writeAudio; then the device fails.
    while (out->getSpaceAvailable() != 0) std::this_thread::yield();
    scripted::releaseWrites();
  });
  std::string failure;
  unsigned long written = 0;
  for (; written < 100000 && failure.empty(); ++written)
    failure = outcome([&] { write(*writer, written * 8); });
  release.join();
  EXPECT_EQ(failure, "AudioWrite");
  EXPECT_LT(written, 100000u);
  // The failure was reported once; the writer still closes.
  outcome([&] { writer->close(); });
  EXPECT_EQ(outcome([&] { writer->close(); }), "");
}

TEST_F(ScriptedWriter, CloseAfterAFailedWriteClosesTheDeviceOnce) {
  auto writer = open();
  scripted::fail("filter.process", "scripted-filter:Unexpected");
  EXPECT_NE(outcome([&] { write(*writer, 0); }), "");
  scripted::clearFault("filter.process");
  EXPECT_EQ(outcome([&] { writer->close(); }), "");
  EXPECT_FALSE(writer->getIsOpen());
  EXPECT_EQ(scripted::count("device.close"), 1);
  writer.reset();
  EXPECT_EQ(scripted::count("device.close"), 1);
}

TEST_F(ScriptedWriter, DestructionWithRecordsQueuedDeliversEveryOne) {
  auto writer = open();
  scripted::holdWrites();
  sluice::OutputStream* out = writer->getChannelManager()->getChannel()->getOutputStream();
  // Fill the queue to the brim while the device holds the first record.
  unsigned long queued = 0;
  for (; out->getSpaceAvailable() > 0; ++queued) write(*writer, queued * 8);
  ASSERT_GE(queued, 2u);
  std::thread release([] {
    scripted::waitForWrites(1);
    scripted::releaseWrites();
  });
  writer.reset();
  release.join();
  auto records = scripted::writtenRecords();
  ASSERT_EQ(records.size(), queued);
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].bytes.size(), 32u) << i;
  }
  EXPECT_EQ(scripted::count("device.close"), 1);
}

// ---- Real files: destruction with records queued, files changed under a reader

TEST(QueuedRecords, DestroyingAnOpenWriterPutsEverySampleInTheFile) {
  std::string path = scratchDirectory("destroyed-open") + "/a.wav";
  {
    auto writer = openWriter(path, 3);
    writeBlocks(*writer, 64 * 997, 64, 3, 5);
  }  // no close
  EXPECT_EQ(verifyFile(path, 64 * 997, 3, 5), "");
  if (haveTool("soxi")) {
    EXPECT_EQ(run("soxi -s '" + path + "'"), std::to_string(64 * 997) + "\n");
  }
}

// Small records are gathered before they reach the encoder, large ones pass
// straight through: mixed sizes keep their order, in 16-bit files and in 24-bit
// ones (whose samples are widened on the way to libsndfile).
TEST(MixedBlocks, SmallAndLargeRecordsKeepTheirOrder) {
  unsigned long const sizes[] = {1, 7, 64, 5000, 3, 4200, 64, 9000, 2};
  unsigned long const channels = 8;
  for (hm::AudioDataType type : {hm::AUDIO_INT16, hm::AUDIO_INT24})
    for (char const* ext : {"wav", "flac"}) {
      std::string const path =
          scratchDirectory("mixed") + "/a" + std::to_string(int(type)) + "." + ext;
      unsigned long frames = 0;
      {
        hm::tmmfb2audiowriter writer(wide(path), "audiofilewriter", "passthrough", "audiofilter");
        writer.setSampleRate(48000);
        writer.setNumChannels(channels);
        writer.setInputDataType(hm::AUDIO_INT16);
        writer.setFileDataType(type);
        writer.open();
        for (int round = 0; round < 4; ++round)
          for (unsigned long n : sizes) {
            auto b = block(frames, n, channels, 11);
            writer.writeAudio(reinterpret_cast<unsigned char const*>(b.data()), n, hm::AUDIO_INT16);
            frames += n;
          }
        writer.close();
      }
      EXPECT_EQ(verifyFile(path, frames, channels, 11), "");
      if (haveTool("soxi")) {
        EXPECT_EQ(run("soxi -s '" + path + "'"), std::to_string(frames) + "\n") << path;
      }
    }
}

class ChangedWhileRead : public ::testing::TestWithParam<char const*> {
 protected:
  void SetUp() override {
    path = scratchDirectory(std::string("changed-") + GetParam()) + "/a." + GetParam();
    writeFile(path, kFrames, 2, 9);
  }
  // Reads to the end or to a failure, at most `limit` calls; the frames delivered.
  unsigned long readOn(hm::fmmfb2audioreader& reader, std::string& failure, int limit = 10000) {
    unsigned long total = 0;
    for (int i = 0; i < limit && failure.empty() && !reader.isEndOfAudio(); ++i)
      failure = outcome([&] {
        unsigned char* data = nullptr;
        total += reader.readAudio(&data, 1000);
        delete[] data;
      });
    EXPECT_TRUE(!failure.empty() || reader.isEndOfAudio()) << "reading never ended";
    return total;
  }
  static constexpr unsigned long kFrames = 100000;
  std::string path;
};

TEST_P(ChangedWhileRead, TruncatedFileEndsEarlyOrFailsWithAnIdentifier) {
  hm::fmmfb2audioreader reader(wide(path), "audiofilereader", "passthrough");
  reader.open();
  std::string failure;
  unsigned char* data = nullptr;
  unsigned long first = reader.readAudio(&data, 1000);
  delete[] data;
  ASSERT_EQ(::truncate(path.c_str(), audiotest::fileSize(path) / 3), 0);
  unsigned long total = first + readOn(reader, failure);
  EXPECT_LT(total, kFrames);
  // Reading again from the start sees only what is left.
  failure.clear();
  if (outcome([&] { reader.resetAudio(); }).empty()) readOn(reader, failure);
  outcome([&] { reader.close(); });
}

TEST_P(ChangedWhileRead, RewrittenFileIsReadOrRefusedWithAnIdentifier) {
  hm::fmmfb2audioreader reader(wide(path), "audiofilereader", "passthrough");
  reader.open();
  unsigned char* data = nullptr;
  delete[](reader.readAudio(&data, 1000), data);
  {
    // Same name, new contents: a header's worth of noise over everything.
    std::ofstream noise(path, std::ios::binary | std::ios::trunc);
    for (int i = 0; i < 70000; ++i) noise.put(static_cast<char>((i * 131) ^ (i >> 3)));
  }
  std::string failure;
  readOn(reader, failure);
  failure.clear();
  std::string reopened = outcome([&] { reader.resetAudio(); });
  EXPECT_NE(reopened, "") << "noise was opened as audio";
  outcome([&] { reader.close(); });
}

INSTANTIATE_TEST_SUITE_P(Formats, ChangedWhileRead, ::testing::Values("wav", "flac", "ogg"));

}  // namespace
