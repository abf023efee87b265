// The audio filter: turns each sample record, channel after channel, into a new
// record of interleaved frames of the type named by "FilterOutputDataType".
#pragma once

#include <memory>

#include "sluice/plugin.h"

namespace sluice {
namespace audiofilter {

class AudioFilter : public sdk::Filter {
 public:
  void add(PropertyMap const& options) override;
  // Reads "FilterTransformType" (only "InterleaveTranspose") and
  // "FilterOutputDataType" (a sample type name); an empty map keeps the last ones.
  void open(PropertyMap const& options) override;
  std::unique_ptr<OwnedRecord> process(Record const& in) override;

  AudioDataType outputType() const { return output_; }

 private:
  void read(PropertyMap const& options);
  bool configured_ = false;
  AudioDataType output_ = hostlib::multimedia::AUDIO_UNSPECIFIED;
};

}  // namespace audiofilter
}  // namespace sluice
