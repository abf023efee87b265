// MPEG-4 AAC in .m4a/.mp4 through FFmpeg's native AAC encoder. The muxer records
// the encoder's priming (initial padding) in an edit list, and a short last frame
// carries its true duration, so readers get back exactly the frames written.
// Written in fragments until closed, so that a killed host leaves a readable file.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "Common.h"
#include "Encoder.h"
#include "Extension.h"
#include "HybridMp4.h"
#include "LibavLog.h"

namespace sluice {
namespace audiofile {

using namespace hostlib::multimedia;

namespace {

using support::libavFailure;

class AacEncoder : public Encoder {
 public:
  explicit AacEncoder(EncoderSettings const& s) : channels_(s.channels) {
    try {
      setUp(s);
    } catch (...) {
      release();
      throw;
    }
  }

  void setUp(EncoderSettings const& s) {
    support::routeLibavLogs();
    AVCodec const* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec) fail(kWriter, "CodecNotFound", "no AAC encoder");
    if (!rateSupported(codec, s.sampleRate))
      fail(kWriter, "UnsupportedSampleRate",
           "AAC takes no sample rate " + std::to_string(s.sampleRate));

    char const* muxer = support::lowerExtension(s.path) == "m4a" ? "ipod" : "mp4";
    AVOutputFormat const* format = av_guess_format(muxer, nullptr, nullptr);
    if (!format) fail(kWriter, "Unexpected", "no " + std::string(muxer) + " muxer");

    codec_ = avcodec_alloc_context3(codec);
    if (!codec_) fail(kWriter, "Unexpected", "out of memory");
    codec_->sample_fmt = AV_SAMPLE_FMT_FLTP;
    codec_->sample_rate = s.sampleRate;
    av_channel_layout_default(&codec_->ch_layout, s.channels);
    codec_->bit_rate = static_cast<int64_t>(s.bitRate);
    codec_->time_base = AVRational{1, s.sampleRate};
    if (format->flags & AVFMT_GLOBALHEADER) codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int rc = avcodec_open2(codec_, codec, nullptr);
    if (rc < 0)
      fail(kWriter, "UnsupportedOutputChannels", "AAC encoder refused: " + libavFailure(rc));

    file_ = std::make_unique<support::HybridMp4>();
    rc = file_->create(s.path);
    if (rc < 0) {
      int e = AVUNERROR(rc);
      fail(kWriter, openErrorIdentifier(e), s.path + ": " + libavFailure(rc));
    }
    // The edit list that hides the priming is in movie time: make that the
    // sample rate so the recorded length is exact to the frame.
    AVDictionary* options = nullptr;
    av_dict_set_int(&options, "movie_timescale", s.sampleRate, 0);
    rc = file_->begin(muxer, codec_, AVRational{1, s.sampleRate}, AVRational{0, 1}, &options);
    av_dict_free(&options);
    if (rc < 0) fail(kWriter, "Unexpected", "writing the header: " + libavFailure(rc));
    headerWritten_ = true;

    frameSize_ = codec_->frame_size > 0 ? codec_->frame_size : 1024;
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (!frame_ || !packet_) fail(kWriter, "Unexpected", "out of memory");
    pending_.assign(std::size_t(channels_), std::vector<float>());
  }

  ~AacEncoder() override {
    if (file_ && headerWritten_ && !finished_) {
      try {
        finish();
      } catch (...) {
        // A destructor completes what it can and reports nothing.
      }
    }
    release();
  }

  AudioDataType storedType() const override { return AUDIO_SINGLE; }
  AudioDataType writeType() const override { return AUDIO_SINGLE; }

  void write(unsigned char const* samples, std::size_t frames) override {
    float const* in = reinterpret_cast<float const*>(samples);
    for (std::size_t done = 0; done < frames;) {
      std::size_t have = pending_[0].size();
      std::size_t take = std::min(frames - done, std::size_t(frameSize_) - have);
      for (int c = 0; c < channels_; ++c) {
        auto& plane = pending_[std::size_t(c)];
        plane.resize(have + take);
        for (std::size_t f = 0; f < take; ++f) plane[have + f] = in[(done + f) * channels_ + c];
      }
      done += take;
      if (pending_[0].size() == std::size_t(frameSize_)) encodePending();
    }
  }

  void finish() override {
    if (finished_) return;
    finished_ = true;
    if (!pending_.empty() && !pending_[0].empty()) encodePending();
    int rc = avcodec_send_frame(codec_, nullptr);
    if (rc < 0) fail(kWriter, "Unexpected", "flushing the encoder: " + libavFailure(rc));
    drain();
    rc = file_->finish();
    if (rc < 0) fail(kWriter, "Unexpected", "writing the trailer: " + libavFailure(rc));
  }

 private:
  static bool rateSupported(AVCodec const* codec, int rate) {
    if (!codec->supported_samplerates) return rate > 0;
    for (int const* r = codec->supported_samplerates; *r; ++r)
      if (*r == rate) return true;
    return false;
  }

  void encodePending() {
    int n = static_cast<int>(pending_[0].size());
    av_frame_unref(frame_);
    frame_->format = AV_SAMPLE_FMT_FLTP;
    frame_->nb_samples = n;
    frame_->sample_rate = codec_->sample_rate;
    int rc = av_channel_layout_copy(&frame_->ch_layout, &codec_->ch_layout);
    if (rc >= 0) rc = av_frame_get_buffer(frame_, 0);
    if (rc < 0) fail(kWriter, "Unexpected", "allocating a frame: " + libavFailure(rc));
    for (int c = 0; c < channels_; ++c)
      std::memcpy(frame_->extended_data[c], pending_[std::size_t(c)].data(), sizeof(float) * n);
    frame_->pts = nextPts_;
    nextPts_ += n;
    rc = avcodec_send_frame(codec_, frame_);
    if (rc < 0) fail(kWriter, "Unexpected", "encoding: " + libavFailure(rc));
    for (auto& plane : pending_) plane.clear();
    drain();
  }

  void drain() {
    for (;;) {
      int rc = avcodec_receive_packet(codec_, packet_);
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
      if (rc < 0) fail(kWriter, "Unexpected", "encoding: " + libavFailure(rc));
      rc = file_->write(packet_, codec_->time_base);
      av_packet_unref(packet_);
      if (rc < 0) fail(kWriter, "Unexpected", "writing: " + libavFailure(rc));
    }
  }

  void release() {
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&codec_);
    file_.reset();
  }

  int channels_;
  std::unique_ptr<support::HybridMp4> file_;
  AVCodecContext* codec_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  int frameSize_ = 1024;
  int64_t nextPts_ = 0;
  bool headerWritten_ = false;
  bool finished_ = false;
  std::vector<std::vector<float>> pending_;
};

}  // namespace

std::unique_ptr<Encoder> createAacEncoder(EncoderSettings const& settings) {
  return std::make_unique<AacEncoder>(settings);
}

}  // namespace audiofile
}  // namespace sluice
