// The "videofilter" filter: turns each frame record's column-major planes into the
// layout the device asked for ("ExpectedFrameType", see FrameLayouts.h), copying
// each frame once. Each converted record owns its planes.
#pragma once

#include <memory>
#include <string>

#include "FrameLayouts.h"
#include "sluice/plugin.h"

namespace videofilter {

class VideoFilter : public sluice::sdk::Filter {
 public:
  // Reads "InputFrameType", "OutputFrameType" (the device's "ExpectedFrameType"
  // value, read during the call) and "OutputDataType".
  void add(sluice::PropertyMap const& options) override;
  void open(sluice::PropertyMap const& options) override;
  std::unique_ptr<sluice::OwnedRecord> process(sluice::Record const& in) override;

 private:
  bool configured_ = false;
  Layout threeBand_ = Layout::Planar;
  Layout oneBand_ = Layout::Planar;
  // Output of the "Planar" layout: element bytes and the sign flip of signed types.
  bool wide_ = false;
  bool signed_ = false;
};

}  // namespace videofilter
