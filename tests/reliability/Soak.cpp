// Soak: writes SECONDS of 8-channel 48 kHz audio to FILE in blocks of 256 frames
// (the same minute of the signal again and again) through the library and the
// shipped plug-ins, printing the peak resident memory after each minute, then
// reads the file back and compares every sample. Usage: reliability_soak FILE
// SECONDS. Exit status 1 when the peak grows after the first minute by more than
// 16 MiB, or when a sample differs or is missing.
#include <sys/resource.h>

#include <cstdio>

#include "support/Audio.h"

int main(int argc, char** argv) {
  using namespace testsupport;
  if (argc != 3) return std::fprintf(stderr, "usage: %s FILE SECONDS\n", argv[0]), 2;
  unsigned long const minute = 60 * 48000, frames = std::stoul(argv[2]) * 48000;
  rusage use;
  long first = 0;
  auto writer = openWriter(argv[1], 8, 48000, hm::AUDIO_INT16);
  for (unsigned long f0 = 0; f0 < frames; f0 += minute) {
    writeBlocks(*writer, std::min(minute, frames - f0), 256, 8, 11);
    ::getrusage(RUSAGE_SELF, &use);
    first = first ? first : use.ru_maxrss;
    std::fprintf(stderr, "%6lu s written, peak resident %ld KiB\n",
                 std::min(f0 + minute, frames) / 48000, use.ru_maxrss);
  }
  writer->close();
  hm::fmmfb2audioreader reader(u16(argv[1]), "audiofilereader", "passthrough");
  reader.open();
  unsigned long at = 0, wrong = 0;
  for (unsigned char* data = nullptr; !reader.isEndOfAudio(); delete[] data, data = nullptr) {
    unsigned long const n = reader.readAudio(&data, 4096);
    for (unsigned long i = 0; i < n * 8; ++i)
      wrong += reinterpret_cast<double const*>(data)[i] !=
               sampleAt((at + i / 8) % minute, i % 8, 11) / 32768.0;
    at += n;
  }
  std::printf("%lu of %lu frames read back, %lu samples differ\n", at, frames, wrong);
  return at == frames && wrong == 0 && use.ru_maxrss - first <= 16 * 1024 ? 0 : 1;
}
