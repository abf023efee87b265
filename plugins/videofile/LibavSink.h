// Containers FFmpeg writes: AVI with uncompressed frames (bgr24 top-down DIB rows,
// or gray8) or Motion JPEG, and MPEG-4 with H.264 from libx264.
#pragma once

#include <memory>
#include <string>

#include "FrameSink.h"

namespace sluice {
namespace videofile {

enum class LibavCodec { RawAvi, MjpegAvi, H264Mp4 };

// The layouts each codec asks of the video filter, as "ExpectedFrameType" text.
std::u16string libavExpectedFrameType(LibavCodec codec);

// Creates the file at `path` (couldNotOpenFile when it cannot).
std::unique_ptr<FrameSink> makeLibavSink(std::string const& path, LibavCodec codec,
                                         EncodeSettings const& settings);

}  // namespace videofile
}  // namespace sluice
