// A shared object without the plug-in entry point. Its constructor leaves a mark
// in the environment, so a test can tell whether the loader ever ran its code.
#include <stdlib.h>

extern "C" __attribute__((visibility("default"))) int sluice_test_not_a_plugin() { return 1; }

__attribute__((constructor)) static void markLoaded() {
  ::setenv("SLUICE_TEST_NOENTRY_RAN", "1", 1);
}
