// A shared object without the plug-in entry point.
extern "C" __attribute__((visibility("default"))) int sluice_test_not_a_plugin() { return 1; }
