// A converter plug-in that claims another SDK version.
#include "sluice/plugin.h"

using namespace sluice::sdk;

extern "C" __attribute__((visibility("default"))) PluginDescriptor const*
sluice_plugin_descriptor() {
  static PluginDescriptor const d{SDK_VERSION + 98, Kind::Converter, "wrongversion", {}, {}, {}};
  return &d;
}
