// How a reading plug-in opens the file it was given, each time it opens it: a FIFO,
// a directory or a device is refused from its status before any open (opening
// a FIFO for reading blocks until a writer comes; a device may never end), and
// each open is non-blocking and checked again, so that a file swapped for a
// FIFO in between cannot block either.
#pragma once

#include <string>

#include "SupportExport.h"

struct AVFormatContext;
struct AVIOContext;

namespace sluice {
namespace support {

// A descriptor of the regular file `path`, open for reading; -1 with errno set
// when it cannot be opened, EINVAL when it is no regular file.
SLUICE_SUPPORT_API int openRegularFile(std::string const& path);

// FFmpeg's demuxer on a file opened by openRegularFile: FFmpeg's own file
// protocol would open it blocking (and take "name:" for a protocol).
class SLUICE_SUPPORT_API LibavInput {
 public:
  LibavInput() = default;
  ~LibavInput();
  LibavInput(LibavInput const&) = delete;
  LibavInput& operator=(LibavInput const&) = delete;

  // 0, or a negative FFmpeg error as avformat_open_input returns it.
  int open(std::string const& path);
  AVFormatContext* format() const { return format_; }

 private:
  AVFormatContext* format_ = nullptr;
  AVIOContext* io_ = nullptr;
  int fd_ = -1;
};

}  // namespace support
}  // namespace sluice
