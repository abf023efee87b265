// Load: eight writers and eight readers on their own threads at once, through
// the shipped plug-ins; every file is read back and compared sample by sample.
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <thread>

#include "reliability/Support.h"

namespace {

using namespace reliability;

TEST(Load, EightWritersAndEightReadersAtOnceLoseNoSample) {
  constexpr unsigned kThreads = 8;
  constexpr unsigned long kFrames = 48000 * 3;
  std::string dir = audiotest::scratchDirectory("load");
  auto name = [&](char const* role, unsigned i) {
    // WAV and FLAC alternate, so both encoders and decoders run side by side.
    return dir + "/" + role + std::to_string(i) + (i % 2 ? ".flac" : ".wav");
  };
  for (unsigned i = 0; i < kThreads; ++i) writeFile(name("read", i), kFrames, 2, 100 + i);

  std::mutex lock;
  std::vector<std::string> problems;
  auto guarded = [&](std::function<std::string()> const& job) {
    std::string problem;
    try {
      problem = job();
    } catch (hm::Exception const& e) {
      problem = std::string(e.name()) + ": " + e.what();
    } catch (std::exception const& e) {
      problem = e.what();
    }
    if (!problem.empty()) {
      std::lock_guard<std::mutex> hold(lock);
      problems.push_back(problem);
    }
  };
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < kThreads; ++i) {
    threads.emplace_back(guarded, [&, i] {
      // Blocks of different sizes, so the queues fill at different rates.
      writeFile(name("write", i), kFrames, 2, 200 + i, 64 + 97 * i);
      return std::string();
    });
    threads.emplace_back(guarded, [&, i] {
      return verifyFile(name("read", i), kFrames, 2, 100 + i, 300 + 211 * i);
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_TRUE(problems.empty()) << ::testing::PrintToString(problems);
  for (unsigned i = 0; i < kThreads; ++i)
    EXPECT_EQ(verifyFile(name("write", i), kFrames, 2, 200 + i), "");
}

}  // namespace
