// The `passthrough` converter: hands every record on unchanged.
#include "sluice/plugin.h"

namespace {

class Passthrough : public sluice::sdk::Converter {
 public:
  std::unique_ptr<sluice::OwnedRecord> convert(std::unique_ptr<sluice::OwnedRecord> in) override {
    return in;
  }
};

}  // namespace

SLUICE_CONVERTER_PLUGIN("passthrough", Passthrough)
