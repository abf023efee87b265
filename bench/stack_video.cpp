// The video cases: the planes-to-packed transpose the filter runs, and writing
// Motion JPEG AVI and H.264 MP4 through the stack beside libavcodec fed frames
// that the host packs and converts itself.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "Bench.h"
#include "PlaneTranspose.h"
#include "hostlib/multimedia/tmmfb2videowriter.h"
#include "sluice/records.h"

namespace bench {
namespace {

using namespace hostlib::multimedia;

constexpr std::size_t kW = 1920, kH = 1080;
constexpr int kFrames = 100;
constexpr int kDistinct = 8;
constexpr int kQuality = 75;

volatile unsigned char sink;

// kDistinct frames of three column-major uint8 planes: a moving gradient with
// some grain, so that the encoders have real work.
struct Clip {
  std::vector<std::vector<std::uint8_t>> planes;  // frame * 3 + band
  Clip() {
    std::uint32_t seed = 777;
    for (int t = 0; t < kDistinct; ++t)
      for (int b = 0; b < 3; ++b) {
        std::vector<std::uint8_t> p(kW * kH);
        for (std::size_t x = 0; x < kW; ++x)
          for (std::size_t y = 0; y < kH; ++y) {
            seed = seed * 1664525u + 1013904223u;
            int v =
                int((x * (b + 1) + y * (3 - b) + std::size_t(t) * 16) % 256) + int(seed >> 29) - 4;
            p[x * kH + y] = std::uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
          }
        planes.push_back(std::move(p));
      }
  }
  std::uint8_t const* plane(int frame, int band) const {
    return planes[std::size_t(frame % kDistinct) * 3 + std::size_t(band)].data();
  }
};

// The host's straightforward loop: column-major planes into packed RGB24.
void packByHand(Clip const& clip, int frame, std::uint8_t* out) {
  std::uint8_t const* p[3] = {clip.plane(frame, 0), clip.plane(frame, 1), clip.plane(frame, 2)};
  for (std::size_t y = 0; y < kH; ++y)
    for (std::size_t x = 0; x < kW; ++x)
      for (int b = 0; b < 3; ++b) out[(y * kW + x) * 3 + std::size_t(b)] = p[b][x * kH + y];
}

// Enough distinct frames that none is still in cache when its turn comes
// again: half as much again as the last-level cache this machine reports, and
// at least 512 MiB.
std::size_t coldFrameCount() {
  long const llc = ::sysconf(_SC_LEVEL3_CACHE_SIZE);
  std::size_t const bytes =
      std::max<std::size_t>(std::size_t(512) << 20, llc > 0 ? std::size_t(llc) / 2 * 3 : 0);
  return bytes / (3 * kW * kH) + 1;
}

void transposeCase(Table& table, Clip const& clip) {
  char const* label = "video pack 1080p col-major uint8 RGB -> packed";
  if (!selected(label)) return;
  std::size_t const stride = sluice::dibStride(kW);
  std::vector<std::uint8_t> out(stride * kH, 0);
  // Three planes a frame, copies of the clip's frames, each frame visited once
  // per pass: both sides read frames that are not in cache.
  std::size_t const cold = coldFrameCount();
  std::vector<std::uint8_t> frames(cold * 3 * kW * kH);
  for (std::size_t f = 0; f < cold; ++f)
    for (int b = 0; b < 3; ++b)
      std::memcpy(&frames[(f * 3 + std::size_t(b)) * kW * kH], clip.plane(int(f), b), kW * kH);
  auto plane = [&](std::size_t f, int b) {
    return &frames[(f % cold * 3 + std::size_t(b)) * kW * kH];
  };
  std::size_t frame = 0;
  int const perRun = 10;
  // Exactly what the video filter runs for a "BGR24" device.
  auto ours = [&] {
    for (int i = 0; i < perRun; ++i, ++frame) {
      auto const rows = static_cast<std::ptrdiff_t>(stride);
      sluice::kernels::packThree<std::uint8_t>(plane(frame, 2), plane(frame, 1), plane(frame, 0),
                                               kW, kH, out.data(), rows);
      sink = out[5];
    }
  };
  // A plain copy of the same frame's three planes into the same buffer: what
  // the memory allows here and now.
  auto copy = [&] {
    for (int i = 0; i < perRun; ++i, ++frame) {
      for (int b = 0; b < 3; ++b)
        std::memcpy(out.data() + std::size_t(b) * kW * kH, plane(frame, b), kW * kH);
      sink = out[5];
    }
  };
  auto byHand = [&] {
    for (int i = 0; i < perRun; ++i, ++frame) {
      packByHand(clip, int(frame), out.data());
      sink = out[5];
    }
  };
  int const reps = std::max(kReps, 9);
  Timing m = timePair(ours, copy, reps, nullptr, nullptr, threadCpu);
  Timing t = timePair(ours, byHand, reps, nullptr, nullptr, threadCpu);
  double const a = m.ours * 1e3 / perRun, c = m.peer * 1e3 / perRun, b = t.peer * 1e3 / perRun;
  char target[64];
  std::snprintf(target, sizeof target, "<= 4x copy (%.2f)", c);
  table.add({label + std::string(", vs host loop"), "ms/f (cpu)", a, b, b / a, "ratio >= 1.00",
             b / a >= 1.0});
  table.add(
      {label + std::string(", vs frame copy"), "ms/f (cpu)", a, c, c / a, target, a <= 4 * c});
}

void writeOurs(std::string const& path, Clip const& clip, int frames, MMFileType type,
               char const* method) {
  tmmfb2videowriter w(std::u16string(path.begin(), path.end()), "videofilewriter", "passthrough",
                      "videofilter");
  w.setFrameRate(25.0);
  w.setWidth(kW);
  w.setHeight(kH);
  w.setVideoDataType(VIDEO_UINT8);
  w.setFourCC(FOURCC_RGB_PLANAR);
  w.setFileType(type);
  w.setCompressionMethod(method);
  w.setVideoQuality(kQuality);
  w.open();
  for (int f = 0; f < frames; ++f)
    w.writeVideo(clip.plane(f, 0), clip.plane(f, 1), clip.plane(f, 2));
  w.close();
}

// The peer: libavcodec and libavformat with the settings the device uses, fed
// packed RGB24 frames that the host converts with swscale.
void writePeer(std::string const& path, Clip const& clip, int frames, bool h264) {
  AVFormatContext* fmt = nullptr;
  if (avformat_alloc_output_context2(&fmt, nullptr, h264 ? "mp4" : "avi", path.c_str()) < 0)
    throw std::runtime_error("no muxer");
  AVCodec const* codec =
      h264 ? avcodec_find_encoder_by_name("libx264") : avcodec_find_encoder(AV_CODEC_ID_MJPEG);
  if (!codec) throw std::runtime_error("no encoder");
  AVCodecContext* c = avcodec_alloc_context3(codec);
  c->width = int(kW);
  c->height = int(kH);
  c->time_base = AVRational{1, 25};
  c->framerate = AVRational{25, 1};
  c->pix_fmt = h264 ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_YUVJ420P;
  c->color_range = h264 ? AVCOL_RANGE_MPEG : AVCOL_RANGE_JPEG;
  c->colorspace = AVCOL_SPC_SMPTE170M;
  c->thread_count = 0;
  if (fmt->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  AVDictionary* opts = nullptr;
  if (h264) {
    av_dict_set(&opts, "crf", "23.00", 0);  // the device's mapping of quality 75
    av_dict_set(&opts, "preset", "faster", 0);
  } else {
    c->flags |= AV_CODEC_FLAG_QSCALE;
    c->global_quality = FF_QP2LAMBDA * int(std::lround(31.0 - kQuality * 29.0 / 100.0));
  }
  if (avcodec_open2(c, codec, &opts) < 0) throw std::runtime_error("avcodec_open2");
  av_dict_free(&opts);
  AVStream* st = avformat_new_stream(fmt, nullptr);
  st->time_base = c->time_base;
  avcodec_parameters_from_context(st->codecpar, c);
  if (avio_open(&fmt->pb, path.c_str(), AVIO_FLAG_WRITE) < 0) throw std::runtime_error("avio_open");
  if (avformat_write_header(fmt, nullptr) < 0) throw std::runtime_error("header");
  SwsContext* sws = sws_getContext(int(kW), int(kH), AV_PIX_FMT_RGB24, int(kW), int(kH), c->pix_fmt,
                                   SWS_BILINEAR, nullptr, nullptr, nullptr);
  AVFrame* frame = av_frame_alloc();
  frame->format = c->pix_fmt;
  frame->width = c->width;
  frame->height = c->height;
  av_frame_get_buffer(frame, 0);
  AVPacket* pkt = av_packet_alloc();
  std::vector<std::uint8_t> rgb(kW * kH * 3);
  auto send = [&](AVFrame* f) {
    if (avcodec_send_frame(c, f) < 0) throw std::runtime_error("send_frame");
    while (avcodec_receive_packet(c, pkt) >= 0) {
      pkt->stream_index = st->index;
      av_packet_rescale_ts(pkt, c->time_base, st->time_base);
      av_interleaved_write_frame(fmt, pkt);
    }
  };
  for (int f = 0; f < frames; ++f) {
    packByHand(clip, f, rgb.data());
    av_frame_make_writable(frame);
    std::uint8_t const* src[1] = {rgb.data()};
    int const srcStride[1] = {int(kW * 3)};
    sws_scale(sws, src, srcStride, 0, int(kH), frame->data, frame->linesize);
    frame->pts = f;
    if (!h264) frame->quality = c->global_quality;
    send(frame);
  }
  send(nullptr);
  av_write_trailer(fmt);
  avio_closep(&fmt->pb);
  sws_freeContext(sws);
  av_packet_free(&pkt);
  av_frame_free(&frame);
  avcodec_free_context(&c);
  avformat_free_context(fmt);
}

void encodeCase(Table& table, Clip const& clip, char const* label, bool h264) {
  if (!selected(label)) return;
  std::string const a = scratch(h264 ? "ours.mp4" : "ours.avi");
  std::string const b = scratch(h264 ? "peer.mp4" : "peer.avi");
  MMFileType const type = h264 ? FILETYPE_MPEG4 : FILETYPE_AVI;
  char const* method = h264 ? "" : "MJPEG Compressor";
  // The warm-up writes 10 frames: it loads the codecs and warms the caches.
  Timing t = timePair([&] { writeOurs(a, clip, kFrames, type, method); },
                      [&] { writePeer(b, clip, kFrames, h264); }, kReps,
                      [&] { writeOurs(a, clip, 10, type, method); },
                      [&] { writePeer(b, clip, 10, h264); });
  double const ours = kFrames / t.ours, peer = kFrames / t.peer;
  table.add({label, "frames/s", ours, peer, ours / peer, "ratio >= 1.00", ours / peer >= 1.0});
  std::remove(a.c_str());
  std::remove(b.c_str());
}

}  // namespace

void videoCases(Table& table) {
  std::printf("video:\n");
  av_log_set_level(AV_LOG_ERROR);
  Clip clip;
  transposeCase(table, clip);
  encodeCase(table, clip, "write MJPEG AVI 1920x1080 100 frames vs libavcodec", false);
  encodeCase(table, clip, "write H.264 MP4 1920x1080 100 frames vs libavcodec", true);
}

}  // namespace bench
