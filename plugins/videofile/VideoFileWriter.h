// The "videofilewriter" device: writes a video file, the container chosen by the
// file name's extension (case-insensitive): .avi (uncompressed, or Motion JPEG when
// "FileFormat" is "MotionJpeg"), .mp4 and .m4v (H.264), .mj2 (Motion JPEG 2000).
//
// init reads "OutputFileName" and "FileFormat" and reports "ExpectedFrameType" (the
// layout the video filter is to produce, see sluice::FrameLayout); open reads
// "FrameRate", "Quality", "CompressionRatio" and "Lossy" and creates the file. The
// first frame fixes width, height, bands and element type and sets up the encoder;
// frames are encoded in write, on the channel's worker thread; close completes the
// file.
#pragma once

#include <memory>
#include <string>

#include "FrameSink.h"

namespace sluice {
namespace videofile {

class VideoFileWriter : public sdk::Device {
 public:
  ~VideoFileWriter() override;
  void init(PropertyMap const& options, PropertyMap& result) override;
  void open(PropertyMap const& options) override;
  void write(OwnedRecord& record) override;
  void close() override;
  void term() override;

 private:
  enum class Container { None, RawAvi, MjpegAvi, Mp4, Mj2 };

  EncodeSettings settingsFrom(PropertyMap const& options) const;

  Container container_ = Container::None;
  std::string path_;
  EncodeSettings settings_;
  bool haveSettings_ = false;
  std::unique_ptr<FrameSink> sink_;
  bool started_ = false;
  char const* broken_ = nullptr;  // identifier every later frame is refused with
  FrameFormat format_;
};

}  // namespace videofile
}  // namespace sluice
