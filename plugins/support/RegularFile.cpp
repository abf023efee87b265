#include "RegularFile.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace sluice {
namespace support {

namespace {

constexpr int kBufferBytes = 32768;  // FFmpeg's own file buffer

int readPacket(void* opaque, uint8_t* buffer, int size) {
  int const fd = *static_cast<int*>(opaque);
  for (;;) {
    ssize_t const n = ::read(fd, buffer, std::size_t(size));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return AVERROR(errno);
    return n == 0 ? AVERROR_EOF : int(n);
  }
}

int64_t seekTo(void* opaque, int64_t offset, int whence) {
  int const fd = *static_cast<int*>(opaque);
  if (whence & AVSEEK_SIZE) {
    struct stat st;
    return ::fstat(fd, &st) == 0 ? int64_t(st.st_size) : AVERROR(errno);
  }
  off_t const at = ::lseek(fd, off_t(offset), whence & ~AVSEEK_FORCE);
  return at < 0 ? AVERROR(errno) : int64_t(at);
}

}  // namespace

int openRegularFile(std::string const& path) {
  struct stat before;
  if (::stat(path.c_str(), &before) != 0) return -1;
  if (!S_ISREG(before.st_mode)) {
    errno = EINVAL;
    return -1;
  }
  int const fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return -1;
  struct stat opened;
  if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_dev != before.st_dev ||
      opened.st_ino != before.st_ino) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  // Reads of a regular file never block; the flag goes so that none is refused.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

LibavInput::~LibavInput() {
  avformat_close_input(&format_);
  if (io_) av_freep(&io_->buffer);
  avio_context_free(&io_);
  if (fd_ >= 0) ::close(fd_);
}

int LibavInput::open(std::string const& path) {
  fd_ = openRegularFile(path);
  if (fd_ < 0) return AVERROR(errno);
  auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferBytes));
  io_ = buffer ? avio_alloc_context(buffer, kBufferBytes, 0, &fd_, &readPacket, nullptr, &seekTo)
               : nullptr;
  if (!io_) av_free(buffer);
  format_ = io_ ? avformat_alloc_context() : nullptr;
  if (!format_) return AVERROR(ENOMEM);
  format_->pb = io_;
  // The name still tells the demuxers its extension; on failure the context is freed.
  return avformat_open_input(&format_, path.c_str(), nullptr, nullptr);
}

}  // namespace support
}  // namespace sluice
