// WAV and Ogg Opus through libsndfile. Integer files get samples already
// rounded and clipped to their own width: libsndfile's own float-to-integer
// path neither clips by default nor scales symmetrically. What a killed writer
// leaves stays readable: a WAV header's sizes are refreshed every half second
// of audio, and Opus pages close every quarter second rather than every second.
#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "Common.h"
#include "Encoder.h"
#include "Locks.h"

namespace sluice {
namespace audiofile {

using namespace hostlib::multimedia;

namespace {

class SndfileEncoder : public Encoder {
 public:
  SndfileEncoder(EncoderSettings const& s) {
    SF_INFO info;
    std::memset(&info, 0, sizeof info);
    info.samplerate = s.sampleRate;
    info.channels = s.channels;
    info.format = formatOf(s);

    int fd = ::open(s.path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
      int e = errno;
      fail(kWriter, openErrorIdentifier(e), s.path + ": " + std::strerror(e));
    }
    {
      std::lock_guard<std::mutex> lock(support::sndfileOpenLock());
      // libsndfile gets a duplicate that it owns: version 1.2.0 closes the
      // descriptor it is given when an open fails, whatever it was told. The
      // original stays ours, so that its close reports what the disk could not take.
      int lent = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
      file_ = lent < 0 ? nullptr : sf_open_fd(lent, SFM_WRITE, &info, SF_TRUE);
      if (!file_) {
        std::string why = sf_strerror(nullptr);
        ::close(fd);
        ::unlink(s.path.c_str());
        fail(kWriter, "Unexpected", s.path + ": " + why);
      }
    }
    fd_ = fd;
    if (s.container == Container::Opus) {
      // libsndfile maps level q to (1 - q) * 250000 + 6000 bits per second and channel.
      double perChannel = s.bitRate / s.channels;
      double level = 1.0 - (perChannel - 6000.0) / 250000.0;
      if (!sf_command(file_, SFC_SET_COMPRESSION_LEVEL, &level, sizeof level))
        abandon(s.path, "UnsupportedBitRate", "Opus encoder refused the bit rate");
      double pageMilliseconds = kOpusPageMilliseconds;
      sf_command(file_, SFC_SET_OGG_PAGE_LATENCY_MS, &pageMilliseconds, sizeof pageMilliseconds);
    } else if (s.container == Container::Wav) {
      refresh_ = headerRefreshFrames(s.sampleRate);
    }
    stored_ = storedOf(s);
    write_ = widenedOf(stored_);
  }

  ~SndfileEncoder() override {
    if (file_) sf_close(file_);
    if (fd_ >= 0) ::close(fd_);
  }

  AudioDataType storedType() const override { return stored_; }
  AudioDataType writeType() const override { return write_; }

  void write(unsigned char const* samples, std::size_t frames) override {
    sf_count_t n = sf_count_t(frames);
    sf_count_t done = 0;
    switch (write_) {
      case AUDIO_INT16:
        done = sf_writef_short(file_, reinterpret_cast<short const*>(samples), n);
        break;
      case AUDIO_INT32:
        done = sf_writef_int(file_, reinterpret_cast<int const*>(samples), n);
        break;
      case AUDIO_SINGLE:
        done = sf_writef_float(file_, reinterpret_cast<float const*>(samples), n);
        break;
      default:
        done = sf_writef_double(file_, reinterpret_cast<double const*>(samples), n);
        break;
    }
    // A short write is a failure even when libsndfile reports no error.
    if (done != n)
      fail(kWriter, "Unexpected",
           "wrote " + std::to_string(done) + " of " + std::to_string(n) +
               " frames: " + sf_strerror(file_));
    // libsndfile writes PCM straight through to the file; the header then
    // declares all of it.
    unrefreshed_ += std::uint64_t(n);
    if (refresh_ && unrefreshed_ >= refresh_) {
      sf_command(file_, SFC_UPDATE_HEADER_NOW, nullptr, 0);
      unrefreshed_ = 0;
    }
  }

  void finish() override {
    SNDFILE* f = file_;
    file_ = nullptr;
    int closed = f ? sf_close(f) : 0;
    int fd = fd_;
    fd_ = -1;
    // close() reports what the disk could not take when it flushes.
    if ((fd >= 0 && ::close(fd) != 0) || closed != 0)
      fail(kWriter, "Unexpected", "completing the file failed");
  }

 private:
  [[noreturn]] void abandon(std::string const& path, char const* id, std::string const& why) {
    sf_close(file_);
    file_ = nullptr;
    ::close(fd_);
    fd_ = -1;
    ::unlink(path.c_str());
    fail(kWriter, id, why);
  }

  static int formatOf(EncoderSettings const& s) {
    switch (s.container) {
      case Container::Wav: {
        int sub = SF_FORMAT_PCM_16;
        switch (s.fileType) {
          case AUDIO_UINT8:
            sub = SF_FORMAT_PCM_U8;
            break;
          case AUDIO_INT24:
            sub = SF_FORMAT_PCM_24;
            break;
          case AUDIO_INT32:
            sub = SF_FORMAT_PCM_32;
            break;
          case AUDIO_SINGLE:
            sub = SF_FORMAT_FLOAT;
            break;
          case AUDIO_DOUBLE:
            sub = SF_FORMAT_DOUBLE;
            break;
          default:
            break;
        }
        return SF_FORMAT_WAV | sub;
      }
      default:
        return SF_FORMAT_OGG | SF_FORMAT_OPUS;
    }
  }

  static AudioDataType storedOf(EncoderSettings const& s) {
    if (s.container == Container::Opus) return AUDIO_SINGLE;
    return s.fileType;
  }

  // The libsndfile call that takes a stored type exactly: 8-bit through short,
  // 24-bit through int (libsndfile shifts both down without loss).
  static AudioDataType widenedOf(AudioDataType stored) {
    switch (stored) {
      case AUDIO_INT8:
      case AUDIO_UINT8:
        return AUDIO_INT16;
      case AUDIO_INT24:
        return AUDIO_INT32;
      default:
        return stored;
    }
  }

  // Opus pages close after this much audio; libsndfile's own choice is a second.
  static constexpr double kOpusPageMilliseconds = 250;

  SNDFILE* file_ = nullptr;
  int fd_ = -1;                    // ours; libsndfile closes only its duplicate
  std::uint64_t refresh_ = 0;      // WAV: frames between two header refreshes
  std::uint64_t unrefreshed_ = 0;  // frames written since the last refresh
  AudioDataType stored_ = AUDIO_INT16;
  AudioDataType write_ = AUDIO_INT16;
};

}  // namespace

std::unique_ptr<Encoder> createSndfileEncoder(EncoderSettings const& settings) {
  return std::make_unique<SndfileEncoder>(settings);
}

}  // namespace audiofile
}  // namespace sluice
