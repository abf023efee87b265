// Any bytes as an audio file, read through fmmfb2audioreader to the end. The
// first byte picks the file name's extension, which picks the decoder.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "hostlib/multimedia/exceptions.h"
#include "hostlib/multimedia/fmmfb2audioreader.h"
#include "sluice/plugin.h"

namespace {

std::string directory;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char pattern[] = "/tmp/fuzz-audio-XXXXXX";
  if (!::mkdtemp(pattern)) std::abort();
  directory = pattern;
  // Keep the plug-ins mapped for the whole run: loading and unloading them on
  // every input would register their coverage counters again each time.
  for (char const* plugin : {"audiofilereader.so", "passthrough.so"})
    if (!::dlopen((sluice::defaultPluginDirectory() + "/" + plugin).c_str(),
                  RTLD_NOW | RTLD_NODELETE))
      std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  static char const* const extensions[] = {"wav", "flac", "ogg", "opus", "m4a",
                                           "mp3", "aiff", "au",  "caf"};
  if (size < 1) return 0;
  std::string path = directory + "/in." + extensions[data[0] % 9];
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    std::fwrite(data + 1, 1, size - 1, f);
    std::fclose(f);
  }
  try {
    std::u16string name(path.begin(), path.end());
    hostlib::multimedia::fmmfb2audioreader reader(name, "audiofilereader", "passthrough");
    reader.open();
    // A file of N bytes cannot hold more blocks than this; more means a loop.
    for (std::size_t calls = 0; calls < 4 * size + 16; ++calls) {
      unsigned char* samples = nullptr;
      unsigned long n = reader.readAudio(&samples, 4096);
      std::unique_ptr<unsigned char[]> owned(samples);
      if (n == 0 && reader.isEndOfAudio()) {
        reader.close();
        return 0;
      }
    }
    std::fprintf(stderr, "reading never reached the end\n");
    std::abort();
  } catch (hostlib::multimedia::Exception const& e) {
    if (!*e.name()) std::abort();  // every failure carries its identifier
  }
  return 0;
}
