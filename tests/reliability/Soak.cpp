// Soak: writes SECONDS of 8-channel 48 kHz audio in blocks of 256 frames to one
// file through the library and the shipped plug-ins, sampling the resident
// memory as it goes, then reads the file back and compares every sample.
// Usage: reliability_soak FILE SECONDS. Exit status 1 when memory grows after
// the first minute by more than 16 MiB, or when a sample differs or is missing.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "reliability/Support.h"

namespace {

long residentKiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace reliability;
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s FILE SECONDS\n", argv[0]);
    return 2;
  }
  std::string path = argv[1];
  unsigned long const rate = 48000, channels = 8, blockFrames = 256;
  unsigned long const frames = std::stoul(argv[2]) * rate;
  auto start = std::chrono::steady_clock::now();
  long baseline = 0, peak = 0;
  try {
    auto writer = openWriter(path, channels, rate);
    for (unsigned long f0 = 0; f0 < frames; f0 += blockFrames) {
      unsigned long n = std::min(blockFrames, frames - f0);
      auto b = block(f0, n, channels, 11);
      writer->writeAudio(reinterpret_cast<unsigned char const*>(b.data()), n, hm::AUDIO_INT16);
      if (f0 % (rate * 60) < blockFrames) {
        long now = residentKiB();
        if (f0 >= rate * 60 && baseline == 0) baseline = now;
        peak = std::max(peak, now);
        std::printf("%6lu s of audio written, resident %ld KiB\n", f0 / rate, now);
        std::fflush(stdout);
      }
    }
    writer->close();
  } catch (hm::Exception const& e) {
    std::printf("write failed: %s %s\n", e.name(), e.what());
    return 1;
  }
  double written = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf(
      "wrote %lu frames x %lu channels in %.1f s; resident after the first minute %ld KiB, "
      "peak %ld KiB\n",
      frames, channels, written, baseline, peak);
  std::string problem;
  try {
    problem = verifyFile(path, frames, channels, 11, 4096);
  } catch (hm::Exception const& e) {
    problem = std::string("read failed: ") + e.name() + " " + e.what();
  }
  std::printf("read back: %s\n",
              problem.empty() ? "every sample equal, none missing" : problem.c_str());
  bool flat = baseline == 0 || peak - baseline <= 16 * 1024;
  if (!flat) std::printf("memory grew by %ld KiB after the first minute\n", peak - baseline);
  return problem.empty() && flat ? 0 : 1;
}
