// Several writers and readers at once, each on its own thread: the backends
// share process-wide state (libsndfile's last error, FFmpeg's registries).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "audio/AudioFileSupport.h"

namespace {

using namespace audiotest;

TEST(AudioFilesAtOnce, WriteAndReadBackOnSeparateThreads) {
  std::string dir = scratchDirectory("threads");
  char const* names[] = {"a.wav", "b.flac", "c.ogg", "d.opus", "e.m4a", "f.wav", "g.flac", "h.mp4"};
  Signal const signal = tones(20000, 2, 48000, 16);
  std::vector<double> const source = interleaved(signal);
  std::atomic<int> failures{0};
  std::vector<std::string> errors(8);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      try {
        std::string path = dir + "/" + names[i];
        WriteOptions o;
        o.sampleRate = 48000;
        for (int round = 0; round < 3; ++round) {
          writeThrough(path, signal, o, 777 + i);
          Decoded d = readThrough(path, 1000 + i);
          bool lossless = lowerExtensionOf(path) == "wav" || lowerExtensionOf(path) == "flac";
          if (d.count() != signal.frames || (lossless && d.frames != source) ||
              (!lossless && snr(source, d.frames) < 15)) {
            errors[i] = std::string(names[i]) + " came back different";
            ++failures;
            return;
          }
        }
      } catch (std::exception const& e) {
        errors[i] = std::string(names[i]) + ": " + e.what();
        ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  for (auto const& e : errors) EXPECT_EQ(e, "");
}

}  // namespace
