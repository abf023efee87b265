#include "LibavSink.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "HybridMp4.h"
#include "LibavLog.h"

namespace sluice {
namespace videofile {

namespace {

using hostlib::multimedia::VIDEO_UINT8;
using Layout = FrameLayout;

struct FormatContextFree {
  void operator()(AVFormatContext* f) const {
    if (f && f->pb) avio_closep(&f->pb);
    avformat_free_context(f);
  }
};
struct CodecContextFree {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};

// Quality 0..100 onto Motion JPEG's quantiser scale 31..2 (lower is finer).
int mjpegQscale(double quality) {
  return static_cast<int>(std::lround(31.0 - quality * 29.0 / 100.0));
}

// Quality 0..100 onto x264's constant rate factor: 75 gives x264's own default of
// 23, 100 gives 1 (near lossless, still playable everywhere), 0 gives 51.
double h264Crf(double quality) {
  return quality <= 75 ? 51.0 - quality * 28.0 / 75.0 : 23.0 - (quality - 75.0) * 22.0 / 25.0;
}

// x264 holds at most a quarter second of frames before a packet comes out, so
// that with the half-second fragments a killed host loses at most a second: the
// look-ahead (and with it the B-frames) follows the rate, slices rather than
// frames run in parallel, and threads look ahead in step.
std::string x264Params(double frameRate) {
  int const lookahead = std::max(0, static_cast<int>(std::min(frameRate, 1000.0) / 4) - 2);
  return "sliced-threads=1:sync-lookahead=0:rc-lookahead=" + std::to_string(lookahead) +
         ":bframes=" + std::to_string(std::min(3, lookahead));
}

class LibavSink : public FrameSink {
 public:
  LibavSink(std::string const& path, LibavCodec codec, EncodeSettings const& settings)
      : path_(path), codec_(codec), settings_(settings) {
    support::routeLibavLogs();
    packet_.reset(av_packet_alloc());
    if (!packet_) fail("couldNotOpenFile");
    if (codec == LibavCodec::H264Mp4) {
      // MPEG-4 is written in fragments until finished (HybridMp4.h).
      mp4_ = std::make_unique<support::HybridMp4>();
      int const rc = mp4_->create(path);
      if (rc < 0) fail("couldNotOpenFile", path + ": " + support::libavFailure(rc));
      return;
    }
    AVFormatContext* f = nullptr;
    int rc = avformat_alloc_output_context2(&f, nullptr, "avi", path.c_str());
    if (rc < 0 || !f) fail("couldNotOpenFile", support::libavFailure(rc));
    format_.reset(f);
    rc = avio_open(&format_->pb, path.c_str(), AVIO_FLAG_WRITE);
    if (rc < 0) fail("couldNotOpenFile", path + ": " + support::libavFailure(rc));
    // Each frame goes to the system as it is written, not in blocks of up to
    // half a megabyte: a killed host then loses only the frames in flight.
    format_->flags |= AVFMT_FLAG_FLUSH_PACKETS;
  }

  ~LibavSink() override {
    // Only an unfinished sink gets here with a file: the device finishes every
    // sink it opened, so this is teardown after a failure.
    if ((format_ && format_->pb) || mp4_) {
      format_.reset();
      mp4_.reset();
      if (!started_) std::remove(path_.c_str());
    }
  }

  void begin(FrameFormat const& format) override {
    format_info_ = format;
    AVRational const rate = {settings_.rateNum, settings_.rateDen};
    AVRational const timeBase = av_inv_q(rate);
    if (mp4_) {
      openEncoder(format, timeBase, rate);
      int const rc = mp4_->begin("mp4", encoder_.get(), timeBase, rate, nullptr);
      if (rc < 0) fail("couldNotInitFile", "writing the header: " + support::libavFailure(rc));
      started_ = true;
      return;
    }
    stream_ = avformat_new_stream(format_.get(), nullptr);
    if (!stream_ || format.type != VIDEO_UINT8) fail("couldNotInitFile");
    stream_->time_base = timeBase;
    stream_->avg_frame_rate = rate;
    stream_->r_frame_rate = rate;
    bool const gray = format.layout == Layout::Gray8;
    if (codec_ == LibavCodec::RawAvi) {
      if (format.layout != Layout::BGR24 && !gray) fail("couldNotInitFile");
      if (format.width > 0x7fffffff / 3 || format.height > 0x7fffffff) fail("couldNotInitFile");
      AVCodecParameters* p = stream_->codecpar;
      p->codec_type = AVMEDIA_TYPE_VIDEO;
      p->codec_id = AV_CODEC_ID_RAWVIDEO;
      p->format = gray ? AV_PIX_FMT_GRAY8 : AV_PIX_FMT_BGR24;
      p->bits_per_coded_sample = gray ? 8 : 24;
      // Grey needs its own tag (Y800); without one a reader takes 8 bits for a palette.
      p->codec_tag = gray ? avcodec_pix_fmt_to_codec_tag(AV_PIX_FMT_GRAY8) : 0;
      p->width = static_cast<int>(format.width);
      p->height = static_cast<int>(format.height);
      frameBytes_ = gray ? format.width * format.height : dibStride(format.width) * format.height;
      if (frameBytes_ > 0x7fffffff) fail("couldNotInitFile");  // one packet per frame
    } else {
      openEncoder(format, timeBase, rate);
    }
    int const rc = avformat_write_header(format_.get(), nullptr);
    if (rc < 0) fail("couldNotInitFile", "writing the header: " + support::libavFailure(rc));
    started_ = true;
  }

  void write(std::vector<unsigned char const*> const& planes) override {
    if (codec_ == LibavCodec::RawAvi) {
      if (av_new_packet(packet_.get(), static_cast<int>(frameBytes_)) < 0)
        fail("couldNotWriteFrame");
      std::memcpy(packet_->data, planes[0], frameBytes_);
      packet_->pts = packet_->dts = frames_++;
      packet_->duration = 1;
      packet_->flags |= AV_PKT_FLAG_KEY;
      writePacket(stream_->time_base);
      return;
    }
    if (av_frame_make_writable(frame_.get()) < 0) fail("couldNotWriteFrame");
    std::size_t const w = format_info_.width, h = format_info_.height;
    bool const even = format_info_.layout == Layout::YUV420PEven;
    std::size_t const cols = even ? w + w % 2 : w, rows = even ? h + h % 2 : h;
    std::size_t const cw = (w + 1) / 2, ch = (h + 1) / 2;
    if (full444_) {
      // Each chroma sample of the 4:2:0 planes to its 2 x 2 block of pixels.
      for (std::size_t r = 0; r < h; ++r) {
        std::memcpy(frame_->data[0] + r * frame_->linesize[0], planes[0] + r * cols, w);
        for (int k = 1; k < 3; ++k) {
          std::uint8_t* to = frame_->data[k] + r * frame_->linesize[k];
          unsigned char const* from = planes[k] + r / 2 * cw;
          for (std::size_t c = 0; c < w; ++c) to[c] = from[c / 2];
        }
      }
      frame_->pts = frames_++;
      encode(frame_.get());
      return;
    }
    copyPlane(planes[0], cols, rows, frame_->data[0], frame_->linesize[0]);
    copyPlane(planes[1], cw, ch, frame_->data[1], frame_->linesize[1]);
    copyPlane(planes[2], cw, ch, frame_->data[2], frame_->linesize[2]);
    frame_->pts = frames_++;
    if (codec_ == LibavCodec::MjpegAvi) frame_->quality = encoder_->global_quality;
    encode(frame_.get());
  }

  void finish() override {
    if (!started_) {
      format_.reset();
      mp4_.reset();
      std::remove(path_.c_str());
      return;
    }
    if (encoder_) encode(nullptr);
    if (mp4_) {
      int const finished = mp4_->finish();
      mp4_.reset();
      if (finished < 0)
        fail("couldNotWriteFrame", "finishing the file: " + support::libavFailure(finished));
      return;
    }
    int const trailer = av_write_trailer(format_.get());
    if (trailer < 0)
      fail("couldNotWriteFrame", "writing the trailer: " + support::libavFailure(trailer));
    int const closed = avio_closep(&format_->pb);
    format_.reset();
    if (closed < 0)
      fail("couldNotWriteFrame", "closing the file: " + support::libavFailure(closed));
  }

 private:
  void openEncoder(FrameFormat const& format, AVRational timeBase, AVRational rate) {
    bool const h264 = codec_ == LibavCodec::H264Mp4;
    if (format.layout != (h264 ? Layout::YUV420PEven : Layout::YUVJ420P)) fail("couldNotInitFile");
    AVCodec const* codec =
        h264 ? avcodec_find_encoder_by_name("libx264") : avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (!codec) fail("couldNotInitFile");
    encoder_.reset(avcodec_alloc_context3(codec));
    if (!encoder_) fail("couldNotInitFile");
    // 4:2:0 H.264 crops only in steps of two pixels: a picture of odd size is
    // coded 4:4:4 at its own size, so that every decoder gives it back so.
    full444_ = h264 && (format.width % 2 || format.height % 2);
    std::size_t const w = format.width, h = format.height;
    if (w > 65535 || h > 65535) fail("couldNotInitFile");
    AVCodecContext* c = encoder_.get();
    c->width = static_cast<int>(w);
    c->height = static_cast<int>(h);
    c->time_base = timeBase;
    c->framerate = rate;
    c->pix_fmt = full444_ ? AV_PIX_FMT_YUV444P : h264 ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_YUVJ420P;
    c->color_range = h264 ? AVCOL_RANGE_MPEG : AVCOL_RANGE_JPEG;
    c->colorspace = AVCOL_SPC_SMPTE170M;
    c->thread_count = 0;
    AVOutputFormat const* muxer =
        mp4_ ? av_guess_format("mp4", nullptr, nullptr) : format_->oformat;
    if (muxer && muxer->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* options = nullptr;
    if (h264) {
      char crf[32];
      std::snprintf(crf, sizeof crf, "%.2f", h264Crf(settings_.quality));
      av_dict_set(&options, "crf", crf, 0);
      av_dict_set(&options, "preset", "faster", 0);
      av_dict_set(&options, "x264-params", x264Params(settings_.frameRate).c_str(), 0);
    } else {
      c->flags |= AV_CODEC_FLAG_QSCALE;
      c->global_quality = FF_QP2LAMBDA * mjpegQscale(settings_.quality);
    }
    int const opened = avcodec_open2(c, codec, &options);
    av_dict_free(&options);
    if (opened < 0)
      fail("couldNotInitFile", "opening the encoder: " + support::libavFailure(opened));
    if (stream_ && avcodec_parameters_from_context(stream_->codecpar, c) < 0)
      fail("couldNotInitFile");
    frame_.reset(av_frame_alloc());
    if (!frame_) fail("couldNotInitFile");
    frame_->format = c->pix_fmt;
    frame_->width = c->width;
    frame_->height = c->height;
    if (av_frame_get_buffer(frame_.get(), 0) < 0) fail("couldNotInitFile");
  }

  static void copyPlane(unsigned char const* from, std::size_t cols, std::size_t rows,
                        std::uint8_t* to, int linesize) {
    for (std::size_t r = 0; r < rows; ++r) std::memcpy(to + r * linesize, from + r * cols, cols);
  }

  // Sends one frame (null: drains) and writes every packet the encoder has ready.
  void encode(AVFrame* frame) {
    int const sent = avcodec_send_frame(encoder_.get(), frame);
    if (sent < 0) fail("couldNotWriteFrame", "encoding: " + support::libavFailure(sent));
    for (;;) {
      int const got = avcodec_receive_packet(encoder_.get(), packet_.get());
      if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return;
      if (got < 0) fail("couldNotWriteFrame", "encoding: " + support::libavFailure(got));
      writePacket(encoder_->time_base);
    }
  }

  void writePacket(AVRational from) {
    if (mp4_) {
      int const written = mp4_->write(packet_.get(), from);
      av_packet_unref(packet_.get());
      if (written < 0) fail("couldNotWriteFrame", "writing: " + support::libavFailure(written));
      return;
    }
    packet_->stream_index = stream_->index;
    av_packet_rescale_ts(packet_.get(), from, stream_->time_base);
    int const written = av_interleaved_write_frame(format_.get(), packet_.get());
    av_packet_unref(packet_.get());
    if (written < 0) fail("couldNotWriteFrame", "writing: " + support::libavFailure(written));
  }

  std::string path_;
  LibavCodec codec_;
  EncodeSettings settings_;
  FrameFormat format_info_;
  std::unique_ptr<AVFormatContext, FormatContextFree> format_;
  std::unique_ptr<AVCodecContext, CodecContextFree> encoder_;
  std::unique_ptr<AVFrame, FrameFree> frame_;
  std::unique_ptr<AVPacket, PacketFree> packet_;
  std::unique_ptr<support::HybridMp4> mp4_;
  AVStream* stream_ = nullptr;
  std::size_t frameBytes_ = 0;
  std::int64_t frames_ = 0;
  bool started_ = false;
  bool full444_ = false;  // H.264 of odd size: 4:4:4 at the exact size
};

}  // namespace

std::u16string libavExpectedFrameType(LibavCodec codec) {
  switch (codec) {
    // FFmpeg's AVI muxer stores RGB top-down (a negative DIB height).
    case LibavCodec::RawAvi:
      return u"BGR24|Gray8";
    case LibavCodec::MjpegAvi:
      return u"YUVJ420P";
    case LibavCodec::H264Mp4:
      return u"YUV420PEven";
  }
  return std::u16string();
}

std::unique_ptr<FrameSink> makeLibavSink(std::string const& path, LibavCodec codec,
                                         EncodeSettings const& settings) {
  return std::make_unique<LibavSink>(path, codec, settings);
}

}  // namespace videofile
}  // namespace sluice
