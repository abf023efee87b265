// Several writers and readers at once, each on its own thread: the backends
// share process-wide state (libsndfile's last error, FFmpeg's registries).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <fstream>
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

// libsndfile keeps the error of a failed open in one process-wide value: the
// reader and the writer must read it under one lock, or one may report the
// other's. Writers fail on a FIFO (WAV cannot be written to a pipe), readers on
// a file of text; every failure must name its own file and its own reason.
TEST(AudioFilesAtOnce, OpenFailuresOnEightThreadsEachNameTheirOwnFile) {
  std::string dir = scratchDirectory("open-failures");
  std::vector<std::string> errors(8);
  for (int round = 0; round < 25; ++round) {
    std::vector<std::string> paths(8);
    for (int i = 0; i < 8; ++i) {
      paths[i] = dir + "/" + std::to_string(round) + "-" + std::to_string(i);
      if (i % 2 == 0) {
        paths[i] += ".wav";
        ASSERT_EQ(::mkfifo(paths[i].c_str(), 0600), 0);
      } else {
        paths[i] += ".bin";
        std::ofstream(paths[i]) << "not a sound file, only some text of no known format at all";
      }
    }
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
      threads.emplace_back([&, i] {
        ResultMap result;
        Map options;
        options.text("Filename", paths[i]).number("SampleRate", 48000).number("NumberOfChannels", 2);
        ++ready;
        while (ready.load() < 8) std::this_thread::yield();
        try {
          if (i % 2 == 0) {
            sluice::audiofile::AudioFileWriter writer;
            writer.init(options, result.map);
            writer.open(options);
          } else {
            sluice::audiofile::AudioFileReader reader;
            reader.init(options, result.map);
          }
          errors[i] = paths[i] + " was opened";
        } catch (std::exception const& e) {
          std::string const text = e.what();
          char const* reason = i % 2 == 0 ? "pipe write" : "Format not recognised";
          if (text.find(paths[i] + ":") == std::string::npos ||
              text.find(reason) == std::string::npos)
            errors[i] = text;
        }
      });
    for (auto& t : threads) t.join();
    for (auto const& e : errors) ASSERT_EQ(e, "");
  }
}

}  // namespace
