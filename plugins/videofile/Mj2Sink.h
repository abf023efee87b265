// Motion JPEG 2000 (.mj2): OpenJPEG codestreams, one per frame, in an ISO base
// media file of our own (JPEG 2000 signature box, ftyp brand mjp2, mdat, then moov
// with an mjp2 sample entry carrying the JP2 header). No library writes this
// container conformantly, hence the box writer.
#pragma once

#include <memory>
#include <string>

#include "FrameSink.h"

namespace sluice {
namespace videofile {

// Creates the file at `path` (couldNotOpenFile when it cannot).
std::unique_ptr<FrameSink> makeMj2Sink(std::string const& path, EncodeSettings const& settings);

}  // namespace videofile
}  // namespace sluice
