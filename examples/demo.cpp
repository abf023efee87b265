// A tour of the library: loads it and shows a catalogue message.
#include <cstdio>

#include "hostlib/multimedia/exceptions.h"

int main() {
  std::printf("libzelhostlibmultimedia %s (built %s)\n", libzelhostlibmultimedia_version,
              libzelhostlibmultimedia_build_date);
  hostlib::multimedia::OutputFileLocationNotFoundException e;
  std::printf("%s: %s\n", e.name(), e.what());
  return 0;
}
