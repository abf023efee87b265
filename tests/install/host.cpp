// A host built against an installed copy of the library: it throws and catches
// one of the library's exceptions and, when asked, loads the shipped passthrough
// converter by its bare name from the installed plug-in directory.
#include <cstdio>
#include <cstring>

#include "hostlib/multimedia/exceptions.h"
#include "sluice/sluice.h"

int main(int argc, char** argv) {
  std::printf("version %s\n", libzelhostlibmultimedia_version);
  try {
    throw hostlib::multimedia::OutputFileLocationNotFoundException();
  } catch (hostlib::multimedia::Exception const& e) {
    std::printf("%s: %s\n", e.name(), e.what());
  }
  if (argc > 1 && std::strcmp(argv[1], "--converter") == 0 && argc > 2) {
    try {
      sluice::Converter converter(argv[2]);
      std::printf("converter %s loaded\n", argv[2]);
    } catch (std::exception const& e) {
      std::printf("converter %s failed: %s\n", argv[2], e.what());
      return 1;
    }
  }
  return 0;
}
