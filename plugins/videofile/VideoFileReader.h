// The videofilereader device: demuxes and decodes one video file with FFmpeg
// into packed frames (RGB24, RGB48, Gray8 or Gray16, see sluice::FrameLayout),
// one converted-frame record a frame, each handed over with its storage.
#pragma once

#include <memory>
#include <string>

#include "sluice/plugin.h"

namespace sluice {
namespace videofile {

class VideoFileReader : public sdk::Device {
 public:
  // Bytes of frames one read delivers at most, whatever the count asked for
  // (always at least one frame).
  static constexpr std::size_t kLargestReadBytes = std::size_t(256) << 20;

  VideoFileReader();
  ~VideoFileReader() override;

  // Reads "Filename" and opens the file, so that a file that cannot be read is
  // refused here; reports "Width", "Height", "FrameRate", "NumFrames", "Bands"
  // (doubles), "DataType", "Codec", "Format" and "ExpectedFrameType".
  void init(PropertyMap const& options, PropertyMap& result) override;
  // Starts at frame 0 (so flush, which drops what was decoded ahead, has
  // nothing to do); an empty map reopens the file of the last init.
  void open(PropertyMap const& options) override;
  void read(unsigned long count, std::vector<void*>& out, unsigned long& countRead) override;
  // Exact: decodes from the key frame before `frame` and drops what precedes it.
  void seek(unsigned long frame) override;
  void close() override;
  void term() override;

  class Decoder;

 private:
  std::string path_;
  std::unique_ptr<Decoder> decoder_;
  bool open_ = false;
};

}  // namespace videofile
}  // namespace sluice
