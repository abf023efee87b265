// Ogg Vorbis through libvorbis and libogg, encoded as libsndfile encoded it
// (same quality, comment and packets), with one difference: a page is closed
// once it holds a quarter of a second. libogg closes a page at 4 KiB of
// packets, over a second at low bit rates, and a killed writer loses the page
// it had not closed; libsndfile offers no way to close one sooner.
#include <fcntl.h>
#include <ogg/ogg.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vorbis/vorbisenc.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

#include "Common.h"
#include "Encoder.h"

namespace sluice {
namespace audiofile {

using namespace hostlib::multimedia;

namespace {

class VorbisEncoder : public Encoder {
 public:
  explicit VorbisEncoder(EncoderSettings const& s)
      : channels_(s.channels), pageFrames_(std::max(1, s.sampleRate / 4)) {
    vorbis_info_init(&info_);
    vorbis_comment_init(&comment_);
    // libsndfile's quality: 1 less the compression level it was given.
    double const compression = 1.0 - s.quality;
    double const quality = std::clamp(1.0 - compression, 0.0, 1.0);
    if (vorbis_encode_init_vbr(&info_, s.channels, s.sampleRate, float(quality)) != 0) {
      vorbis_comment_clear(&comment_);
      vorbis_info_clear(&info_);
      fail(kWriter, "Unexpected", s.path + ": the Vorbis encoder refused the settings");
    }
    fd_ = ::open(s.path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) {
      int const e = errno;
      vorbis_comment_clear(&comment_);
      vorbis_info_clear(&info_);
      fail(kWriter, openErrorIdentifier(e), s.path + ": " + std::strerror(e));
    }
    // The tag libsndfile wrote, so that tools see the files as before.
    vorbis_comment_add_tag(&comment_, "ENCODER", "libsndfile");
    vorbis_analysis_init(&dsp_, &info_);
    vorbis_block_init(&dsp_, &block_);
    ogg_stream_init(&stream_, int(std::random_device()() & 0x7FFFFFFF));
    started_ = true;
    // The three headers, on pages of their own, so that a file closed without
    // frames is a valid stream of none.
    ogg_packet header, comments, codebooks;
    vorbis_analysis_headerout(&dsp_, &comment_, &header, &comments, &codebooks);
    ogg_stream_packetin(&stream_, &header);
    ogg_stream_packetin(&stream_, &comments);
    ogg_stream_packetin(&stream_, &codebooks);
    if (!writePages(true)) {
      release();
      ::unlink(s.path.c_str());
      fail(kWriter, "Unexpected", s.path + ": " + std::strerror(error_));
    }
  }

  ~VorbisEncoder() override {
    if (started_) encode(0);
    release();
  }

  AudioDataType storedType() const override { return AUDIO_SINGLE; }
  AudioDataType writeType() const override { return AUDIO_SINGLE; }

  void write(unsigned char const* samples, std::size_t frames) override {
    auto const* in = reinterpret_cast<float const*>(samples);
    float** buffer = vorbis_analysis_buffer(&dsp_, int(frames));
    for (std::size_t i = 0; i < frames; ++i)
      for (int c = 0; c < channels_; ++c) buffer[c][i] = in[i * std::size_t(channels_) + c];
    if (!encode(int(frames)))
      fail(kWriter, "Unexpected",
           "wrote 0 of " + std::to_string(frames) + " frames: " + std::strerror(error_));
  }

  void finish() override {
    // The end of the stream: what libvorbis holds, then the last page.
    bool const ended = started_ && encode(0);
    started_ = false;
    int const fd = fd_;
    fd_ = -1;
    release();
    // close() reports what the disk could not take when it flushes.
    if (::close(fd) != 0 || !ended)
      fail(
          kWriter, "Unexpected",
          "completing the file failed" + (error_ ? ": " + std::string(std::strerror(error_)) : ""));
  }

 private:
  // Hands `frames` frames (0: the end) to libvorbis and writes the pages due.
  bool encode(int frames) {
    vorbis_analysis_wrote(&dsp_, frames);
    ogg_packet packet;
    while (vorbis_analysis_blockout(&dsp_, &block_) == 1) {
      vorbis_analysis(&block_, nullptr);
      vorbis_bitrate_addblock(&block_);
      while (vorbis_bitrate_flushpacket(&dsp_, &packet)) {
        ogg_stream_packetin(&stream_, &packet);
        if (!writePages(packet.granulepos - pageGranule_ >= pageFrames_)) return false;
      }
    }
    return true;
  }

  // Writes the pages libogg has filled, or every packet it holds when `all`.
  bool writePages(bool all) {
    ogg_page page;
    while (all ? ogg_stream_flush(&stream_, &page) : ogg_stream_pageout(&stream_, &page)) {
      iovec parts[2] = {{page.header, std::size_t(page.header_len)},
                        {page.body, std::size_t(page.body_len)}};
      std::size_t const bytes = parts[0].iov_len + parts[1].iov_len;
      if (error_ || ::writev(fd_, parts, 2) != ssize_t(bytes)) {
        error_ = error_ ? error_ : errno ? errno : ENOSPC;
        return false;
      }
      pageGranule_ = std::max<ogg_int64_t>(pageGranule_, ogg_page_granulepos(&page));
    }
    return true;
  }

  void release() {
    if (stream_.body_data) ogg_stream_clear(&stream_);
    if (dsp_.vi) {
      vorbis_block_clear(&block_);
      vorbis_dsp_clear(&dsp_);
    }
    vorbis_comment_clear(&comment_);
    vorbis_info_clear(&info_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  int const channels_;
  ogg_int64_t const pageFrames_;  // a page is closed once it holds this many frames
  int fd_ = -1;
  bool started_ = false;  // the stream is begun and not yet ended
  vorbis_info info_{};
  vorbis_comment comment_{};
  vorbis_dsp_state dsp_{};
  vorbis_block block_{};
  ogg_stream_state stream_{};
  ogg_int64_t pageGranule_ = 0;  // the granule position of the last page written
  int error_ = 0;                // errno of the first failed write
};

}  // namespace

std::unique_ptr<Encoder> createVorbisEncoder(EncoderSettings const& settings) {
  return std::make_unique<VorbisEncoder>(settings);
}

}  // namespace audiofile
}  // namespace sluice
