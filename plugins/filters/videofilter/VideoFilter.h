// The "videofilter" filter: turns each frame record's column-major planes into the
// layout the device asked for (its "ExpectedFrameType", see sluice::FrameLayout),
// copying each frame once; on an input stream, the reverse. Each converted record
// owns its planes.
#pragma once

#include <memory>

#include "sluice/plugin.h"

namespace sluice {
namespace videofilter {

class VideoFilter : public sdk::Filter {
 public:
  // Reads "InputFrameType", "OutputFrameType" (the device's "ExpectedFrameType"
  // value, read during the call) and "OutputDataType". On an input stream,
  // "InputFrameType" is the reading device's layout (RGB24, RGB48, Gray8 or
  // Gray16) and "OutputFrameType" "RawPlanarColumn": each decoded frame becomes
  // the writer's frame record, column-major planes of uint8 or uint16.
  void add(PropertyMap const& options) override;
  void open(PropertyMap const& options) override;
  std::unique_ptr<OwnedRecord> process(Record const& in) override;

 private:
  bool configured_ = false;
  FrameLayout threeBand_ = FrameLayout::Planar;
  FrameLayout oneBand_ = FrameLayout::Planar;
  // Output of the "Planar" layout: 16-bit words, and the sign flip of signed types.
  bool wide_ = false;
  bool signed_ = false;
  // Input mode: the layout the reading device delivers.
  bool reading_ = false;
  FrameLayout decoded_ = FrameLayout::RGB24;
};

}  // namespace videofilter
}  // namespace sluice
