// What the video file writer hands frames to: one container and codec. A sink is
// made when the device opens (creating the file), learns the frame format from the
// first frame, takes frames in the layout it asked for, and completes the file in
// finish(). Failures are sluice::sdk::Failure with the video catalogue's
// identifiers.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "Failure.h"
#include "sluice/plugin.h"

namespace sluice {
namespace videofile {

struct FrameFormat {
  std::size_t width = 0;
  std::size_t height = 0;
  std::size_t bands = 0;  // 1 or 3
  VideoDataType type = hostlib::multimedia::VIDEO_INVALID;
  FrameLayout layout = FrameLayout::Planar;
  bool operator!=(FrameFormat const& o) const {
    return width != o.width || height != o.height || bands != o.bands || type != o.type ||
           layout != o.layout;
  }
};

// The open options, checked.
struct EncodeSettings {
  double frameRate = 0;  // positive and finite
  int rateNum = 0;       // frameRate as a fraction
  int rateDen = 1;
  double quality = 75;  // 0 to 100 (Motion JPEG, H.264)
  double compressionRatio = 10;
  bool lossy = false;
};

class FrameSink {
 public:
  virtual ~FrameSink() = default;
  virtual void begin(FrameFormat const& format) = 0;
  // The planes of one frame in the format's layout.
  virtual void write(std::vector<unsigned char const*> const& planes) = 0;
  // Completes the file. A file that never had a frame is removed: it would not
  // be playable.
  virtual void finish() = 0;
};

// Fails with a video catalogue identifier; `detail` says what a codec reported.
[[noreturn]] inline void fail(char const* identifier, std::string const& detail = std::string()) {
  support::fail("videofilewriter", identifier, detail);
}

}  // namespace videofile
}  // namespace sluice
