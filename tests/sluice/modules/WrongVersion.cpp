// A converter plug-in that claims another SDK version.
#include "sluice/plugin.h"

namespace {
sluice::sdk::Converter* create() { return nullptr; }
}  // namespace

extern "C" __attribute__((visibility("default"))) sluice::sdk::PluginDescriptor const*
sluice_plugin_descriptor() {
  static const sluice::sdk::PluginDescriptor d = {sluice::sdk::SDK_VERSION + 98,
                                                  sluice::sdk::Kind::Converter,
                                                  "wrongversion",
                                                  nullptr,
                                                  nullptr,
                                                  &create};
  return &d;
}
