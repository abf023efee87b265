// Everything libsndfile does not read (MP3, MPEG-4 AAC, ...) through FFmpeg.
// libavcodec drops the samples the container marks as priming or padding
// (skip_samples, edit lists, LAME gapless info) before we see them.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "AudioFacts.h"
#include "Common.h"
#include "Decoder.h"
#include "LibavLog.h"
#include "RegularFile.h"

namespace sluice {
namespace audiofile {

namespace {

using support::libavFailure;

// True when the first bytes of the file look like a format FFmpeg knows, by
// content alone.
bool contentLooksKnown(std::string const& path) {
  int const fd = support::openRegularFile(path);
  if (fd < 0) return false;
  std::vector<unsigned char> head(4096 + AVPROBE_PADDING_SIZE, 0);
  ssize_t const got = ::read(fd, head.data(), 4096);
  ::close(fd);
  std::size_t const n = got > 0 ? std::size_t(got) : 0;
  AVProbeData probe;
  std::memset(&probe, 0, sizeof probe);
  probe.filename = "";
  probe.buf = head.data();
  probe.buf_size = static_cast<int>(n);
  int score = 0;
  AVInputFormat const* format = av_probe_input_format2(&probe, 1, &score);
  return format && score >= AVPROBE_SCORE_MAX / 4;
}

class FfmpegDecoder : public Decoder {
 public:
  ~FfmpegDecoder() override {
    swr_free(&resampler_);
    av_frame_free(&frame_);
    av_packet_free(&packet_);
    avcodec_free_context(&codec_);
  }

  // Returns false when FFmpeg does not know the file; throws when it knows it
  // but cannot read it.
  bool open(std::string const& path, Refusal& refusal) {
    support::routeLibavLogs();
    int rc = input_.open(path);
    format_ = input_.format();
    if (rc < 0) {
      if (rc == AVERROR(EACCES)) fail(kReader, "FilePermissionDenied", path);
      if (contentLooksKnown(path)) refusal.corrupt = true;
      refusal.why = libavFailure(rc);
      return false;
    }
    rc = avformat_find_stream_info(format_, nullptr);
    if (rc < 0) fail(kReader, "FileCorrupt", "no stream information: " + libavFailure(rc));
    AVCodec const* decoder = nullptr;
    rc = av_find_best_stream(format_, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (rc == AVERROR_STREAM_NOT_FOUND) {
      // Images and text that FFmpeg also opens are no audio files at all;
      // a media container without an audio stream has no audio.
      std::string name = format_->iformat->name;
      bool notMedia = name == "image2" || name == "tty" ||
                      (name.size() > 5 && name.compare(name.size() - 5, 5, "_pipe") == 0) ||
                      !contentLooksKnown(path);
      fail(kReader, notMedia ? "FileTypeNotSupported" : "NoAudio", path);
    }
    if (rc == AVERROR_DECODER_NOT_FOUND) fail(kReader, "CodecNotFound", path);
    if (rc < 0) fail(kReader, "NoAudio", libavFailure(rc));
    stream_ = rc;
    AVCodecParameters const* par = format_->streams[stream_]->codecpar;
    codec_ = avcodec_alloc_context3(decoder);
    if (!codec_) fail(kReader, "Unexpected", "out of memory");
    rc = avcodec_parameters_to_context(codec_, par);
    if (rc >= 0) rc = avcodec_open2(codec_, decoder, nullptr);
    if (rc < 0) fail(kReader, "CodecNotFound", "decoder refused the stream: " + libavFailure(rc));
    channels_ = codec_->ch_layout.nb_channels;
    rate_ = codec_->sample_rate;
    if (channels_ <= 0 || rate_ <= 0) fail(kReader, "FileCorrupt", "no channel count or rate");
    // An MPEG-4 edit list gives the true length; FFmpeg drops the priming it
    // describes but leaves the padding of the last frame to us.
    AVStream const* st = format_->streams[stream_];
    if (std::strstr(format_->iformat->name, "mp4") && st->duration > 0)
      limit_ = av_rescale_q(st->duration, st->time_base, AVRational{1, rate_});
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (!frame_ || !packet_) fail(kReader, "Unexpected", "out of memory");
    return true;
  }

  int channels() const override { return channels_; }
  int sampleRate() const override { return rate_; }
  std::int64_t frames() const override { return -1; }

  std::size_t read(double* out, std::size_t frames) override {
    std::size_t const want = frames * std::size_t(channels_);
    while (pending_.size() - taken_ < want && !ended_) decodeMore();
    std::size_t n = std::min(want, pending_.size() - taken_);
    if (limit_ >= 0)
      n = std::min<std::size_t>(n, std::size_t(limit_ - delivered_) * std::size_t(channels_));
    delivered_ += std::int64_t(n / std::size_t(channels_));
    std::copy(pending_.begin() + std::ptrdiff_t(taken_),
              pending_.begin() + std::ptrdiff_t(taken_ + n), out);
    taken_ += n;
    if (taken_ == pending_.size()) {
      pending_.clear();
      taken_ = 0;
    }
    return n / std::size_t(channels_);
  }

  // From the stream's parameters and its packets, demuxed again without
  // decoding; the length is what read() delivers.
  AudioFacts facts(std::string const& path) const override {
    AudioFacts facts;
    AVCodecParameters const* par = format_->streams[stream_]->codecpar;
    facts.format = formatName(format_->iformat->name);
    facts.codec = codecName(par->codec_id);
    std::string const name = avcodec_get_name(par->codec_id);
    bool const pcm = facts.codec == "PCM";
    if (pcm)
      setStoredType(facts, av_get_bits_per_sample(par->codec_id), name[4] == 'f', name[4] == 'u');
    else if (par->codec_id == AV_CODEC_ID_FLAC || par->codec_id == AV_CODEC_ID_ALAC)
      setStoredType(facts, par->bits_per_raw_sample, false, false);
    // MP3 without a Xing header: frame headers alone, far faster than demuxing.
    PacketTotals packets = par->codec_id == AV_CODEC_ID_MP3 ? scanMpegFrames(path) : PacketTotals();
    if (!packets.ok) packets = scanPackets(path);
    facts.totalFrames = packets.ok ? packets.frames : limit_;
    if (packets.ok && limit_ >= 0) facts.totalFrames = std::min(packets.frames, limit_);
    setBitRate(facts, rate_, channels_, pcm, packets.ok ? double(packets.bytes) : -1);
    return facts;
  }

 private:
  void decodeMore() {
    int rc = av_read_frame(format_, packet_);
    if (rc == AVERROR_EOF) {
      rc = avcodec_send_packet(codec_, nullptr);
      receive();
      ended_ = true;
      return;
    }
    if (rc < 0) fail(kReader, rc == AVERROR(EIO) ? "ReadFailed" : "FileCorrupt", libavFailure(rc));
    if (packet_->stream_index == stream_) {
      rc = avcodec_send_packet(codec_, packet_);
      av_packet_unref(packet_);
      if (rc < 0 && rc != AVERROR(EAGAIN))
        fail(kReader, "FileCorrupt", "decoding: " + libavFailure(rc));
      receive();
    } else {
      av_packet_unref(packet_);
    }
  }

  void receive() {
    for (;;) {
      int rc = avcodec_receive_frame(codec_, frame_);
      if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return;
      if (rc < 0) fail(kReader, "FileCorrupt", "decoding: " + libavFailure(rc));
      append();
      av_frame_unref(frame_);
    }
  }

  void append() {
    if (frame_->ch_layout.nb_channels != channels_ || frame_->sample_rate != rate_)
      fail(kReader, "StreamFormatChanged", "channels or rate change mid-stream");
    if (!resampler_ || frame_->format != inputFormat_) {
      swr_free(&resampler_);
      int rc = swr_alloc_set_opts2(&resampler_, &frame_->ch_layout, AV_SAMPLE_FMT_DBL, rate_,
                                   &frame_->ch_layout, AVSampleFormat(frame_->format), rate_, 0,
                                   nullptr);
      if (rc >= 0) rc = swr_init(resampler_);
      if (rc < 0) fail(kReader, "Unexpected", "sample conversion: " + libavFailure(rc));
      inputFormat_ = frame_->format;
    }
    std::size_t const at = pending_.size();
    pending_.resize(at + std::size_t(frame_->nb_samples) * std::size_t(channels_));
    uint8_t* dst = reinterpret_cast<uint8_t*>(pending_.data() + at);
    int n = swr_convert(resampler_, &dst, frame_->nb_samples,
                        const_cast<uint8_t const**>(frame_->extended_data), frame_->nb_samples);
    if (n < 0) fail(kReader, "Unexpected", "sample conversion: " + libavFailure(n));
    pending_.resize(at + std::size_t(n) * std::size_t(channels_));
  }

  support::LibavInput input_;  // owns format_
  AVFormatContext* format_ = nullptr;
  AVCodecContext* codec_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
  SwrContext* resampler_ = nullptr;
  int inputFormat_ = -1;
  int stream_ = -1;
  int channels_ = 0;
  int rate_ = 0;
  bool ended_ = false;
  std::int64_t limit_ = -1;  // frames the container says the stream has, -1: unknown
  std::int64_t delivered_ = 0;
  std::vector<double> pending_;  // decoded, not yet delivered
  std::size_t taken_ = 0;
};

}  // namespace

std::unique_ptr<Decoder> openFfmpegDecoder(std::string const& path, Refusal& refusal) {
  auto decoder = std::make_unique<FfmpegDecoder>();
  if (!decoder->open(path, refusal)) return nullptr;
  return decoder;
}

}  // namespace audiofile
}  // namespace sluice
