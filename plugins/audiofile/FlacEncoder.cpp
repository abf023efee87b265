// FLAC through libFLAC's stream encoder, set as libsndfile sets it (so that a
// closed file is the same byte for byte), with one addition: the total of
// samples in STREAMINFO follows the frames on disk while the file is written.
// libFLAC rewrites STREAMINFO only when it finishes, so a file whose writer was
// killed would otherwise declare no length; its write callback says how many
// samples each complete frame holds, which the total never runs ahead of (our
// reader refuses a FLAC file that ends short of its declared length).
#include <FLAC/stream_encoder.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "Common.h"
#include "Encoder.h"

namespace sluice {
namespace audiofile {

using namespace hostlib::multimedia;

namespace {

// libsndfile's FLAC level for SFC_SET_COMPRESSION_LEVEL 0.5 (0.5 × 8).
constexpr unsigned kCompressionLevel = 4;
// Where STREAMINFO's bits per sample (low 4 of 5 bits) and total samples (36
// bits) begin: "fLaC", the block header, sizes (10 bytes), rate and channels.
constexpr off_t kTotalSamplesAt = 21;

class FlacEncoder : public Encoder {
 public:
  explicit FlacEncoder(EncoderSettings const& s)
      : stored_(s.fileType == AUDIO_INT8    ? AUDIO_INT8
                : s.fileType == AUDIO_INT24 ? AUDIO_INT24
                                            : AUDIO_INT16),
        bits_(stored_ == AUDIO_INT8    ? 8
              : stored_ == AUDIO_INT24 ? 24
                                       : 16),
        channels_(std::size_t(s.channels)),
        refresh_(headerRefreshFrames(s.sampleRate)) {
    fd_ = ::open(s.path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) {
      int e = errno;
      fail(kWriter, openErrorIdentifier(e), s.path + ": " + std::strerror(e));
    }
    encoder_ = FLAC__stream_encoder_new();
    bool ok = encoder_ && FLAC__stream_encoder_set_channels(encoder_, unsigned(s.channels)) &&
              FLAC__stream_encoder_set_sample_rate(encoder_, unsigned(s.sampleRate)) &&
              FLAC__stream_encoder_set_bits_per_sample(encoder_, bits_) &&
              FLAC__stream_encoder_set_compression_level(encoder_, kCompressionLevel);
    // The stream, its STREAMINFO and comment header are written here, so that a
    // file closed without frames is a valid stream of none.
    FLAC__StreamEncoderInitStatus const status =
        ok ? FLAC__stream_encoder_init_stream(encoder_, &writeCallback, &seekCallback,
                                              &tellCallback, nullptr, this)
           : FLAC__STREAM_ENCODER_INIT_STATUS_ENCODER_ERROR;
    if (status != FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
      std::string why = FLAC__StreamEncoderInitStatusString[status];
      if (status == FLAC__STREAM_ENCODER_INIT_STATUS_ENCODER_ERROR && encoder_)
        why = FLAC__stream_encoder_get_resolved_state_string(encoder_);
      release();
      ::unlink(s.path.c_str());
      fail(kWriter, "Unexpected", s.path + ": " + why);
    }
  }

  ~FlacEncoder() override { release(); }

  AudioDataType storedType() const override { return stored_; }
  // 8-bit samples come as int16 and 24-bit as int32, as libsndfile took them.
  AudioDataType writeType() const override {
    return stored_ == AUDIO_INT24 ? AUDIO_INT32 : AUDIO_INT16;
  }

  void write(unsigned char const* samples, std::size_t frames) override {
    std::size_t const piece = kPieceSamples / channels_;
    for (std::size_t at = 0; at < frames; at += piece) {
      std::size_t const n = std::min(piece, frames - at);
      widen(samples, at * channels_, n * channels_);
      if (!FLAC__stream_encoder_process_interleaved(encoder_, wide_.data(), unsigned(n)))
        fail(kWriter, "Unexpected",
             "wrote " + std::to_string(at) + " of " + std::to_string(frames) +
                 " frames: " + problem());
    }
  }

  void finish() override {
    // libFLAC encodes what it holds, then rewrites STREAMINFO with the length,
    // frame sizes and MD5 sum.
    bool const finished = FLAC__stream_encoder_finish(encoder_) != 0;
    std::string const why = finished ? "" : problem();
    FLAC__stream_encoder_delete(encoder_);
    encoder_ = nullptr;
    int const fd = fd_;
    fd_ = -1;
    // close() reports what the disk could not take when it flushes.
    if (::close(fd) != 0 || !finished)
      fail(kWriter, "Unexpected", "completing the file failed" + (why.empty() ? "" : ": " + why));
  }

 private:
  static constexpr std::size_t kPieceSamples = 16384;

  // Samples [first, first + count) of `samples` as libFLAC's 32-bit integers at
  // the stored width.
  void widen(unsigned char const* samples, std::size_t first, std::size_t count) {
    wide_.resize(count);
    if (writeType() == AUDIO_INT32) {
      auto const* in = reinterpret_cast<std::int32_t const*>(samples) + first;
      for (std::size_t i = 0; i < count; ++i) wide_[i] = in[i] >> 8;
      return;
    }
    auto const* in = reinterpret_cast<std::int16_t const*>(samples) + first;
    int const shift = stored_ == AUDIO_INT8 ? 8 : 0;
    for (std::size_t i = 0; i < count; ++i) wide_[i] = in[i] >> shift;
  }

  // What went wrong: the system's error when a write failed, else libFLAC's state.
  std::string problem() const {
    if (error_) return std::strerror(error_);
    return FLAC__stream_encoder_get_resolved_state_string(encoder_);
  }

  // Rewrites the total of samples in STREAMINFO: only whole frames are counted,
  // and only after their bytes were written.
  bool declare(std::uint64_t total) {
    unsigned char field[5] = {
        static_cast<unsigned char>(((bits_ - 1) & 0xF) << 4 | (total >> 32 & 0xF)),
        static_cast<unsigned char>(total >> 24), static_cast<unsigned char>(total >> 16),
        static_cast<unsigned char>(total >> 8), static_cast<unsigned char>(total)};
    if (::pwrite(fd_, field, sizeof field, kTotalSamplesAt) != ssize_t(sizeof field)) {
      error_ = errno ? errno : EIO;
      return false;
    }
    declared_ = total;
    return true;
  }

  static FLAC__StreamEncoderWriteStatus writeCallback(FLAC__StreamEncoder const*,
                                                      FLAC__byte const buffer[], size_t bytes,
                                                      uint32_t samples, uint32_t, void* self) {
    auto* e = static_cast<FlacEncoder*>(self);
    for (size_t done = 0; done < bytes;) {
      ssize_t const n = ::write(e->fd_, buffer + done, bytes - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        e->error_ = n < 0 ? errno : ENOSPC;
        return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
      }
      done += std::size_t(n);
      e->position_ += std::uint64_t(n);
    }
    // A call with samples holds one whole frame of that many samples.
    e->onDisk_ += samples;
    if (samples > 0 && e->onDisk_ - e->declared_ >= e->refresh_ && !e->declare(e->onDisk_))
      return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
    return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
  }

  static FLAC__StreamEncoderSeekStatus seekCallback(FLAC__StreamEncoder const*, FLAC__uint64 offset,
                                                    void* self) {
    auto* e = static_cast<FlacEncoder*>(self);
    if (::lseek(e->fd_, off_t(offset), SEEK_SET) < 0) {
      e->error_ = errno;
      return FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
    }
    e->position_ = offset;
    return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
  }

  // Called before every frame: answered from our count, without a system call.
  static FLAC__StreamEncoderTellStatus tellCallback(FLAC__StreamEncoder const*,
                                                    FLAC__uint64* offset, void* self) {
    *offset = static_cast<FlacEncoder*>(self)->position_;
    return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
  }

  // Completes what it can, quietly.
  void release() {
    if (encoder_) {
      FLAC__stream_encoder_finish(encoder_);
      FLAC__stream_encoder_delete(encoder_);
      encoder_ = nullptr;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  AudioDataType const stored_;
  unsigned const bits_;
  std::size_t const channels_;
  std::uint64_t const refresh_;  // samples on disk between two refreshes of the total
  int fd_ = -1;
  FLAC__StreamEncoder* encoder_ = nullptr;
  std::uint64_t position_ = 0;  // where the next write lands
  std::uint64_t onDisk_ = 0;    // samples in frames written whole
  std::uint64_t declared_ = 0;  // the total STREAMINFO says
  int error_ = 0;               // errno of the first failed system call
  std::vector<FLAC__int32> wide_;
};

}  // namespace

std::unique_ptr<Encoder> createFlacEncoder(EncoderSettings const& settings) {
  return std::make_unique<FlacEncoder>(settings);
}

}  // namespace audiofile
}  // namespace sluice
