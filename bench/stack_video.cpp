// The video cases: the planes-to-packed transpose the filter runs, and writing
// Motion JPEG AVI and H.264 MP4 through the stack beside libavcodec fed frames
// that the host packs and converts itself; reading them back through the stack
// beside a host's own libavcodec loop, the unpacking kernel beside the packing
// one, and an exact seek into a long GOP beside decoding one GOP.
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
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "Bench.h"
#include "PlaneTranspose.h"
#include "VideoKernels.h"
#include "hostlib/multimedia/fmmfb2videoreader.h"
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

void unpackCase(Table& table, Clip const& clip) {
  char const* label = "video filter kernel: packed RGB24 -> col-major uint8, 1920x1080";
  if (!selected(label)) return;
  std::vector<std::uint8_t> packed(kW * kH * 3), planes(kW * kH * 3);
  packByHand(clip, 0, packed.data());
  std::uint8_t* const out[3] = {planes.data(), planes.data() + kW * kH,
                                planes.data() + 2 * kW * kH};
  int frame = 0;
  // What the filter runs for a reading device, beside the packing kernel.
  auto ours = [&] {
    for (int i = 0; i < 10; ++i) sluice::kernels::unpackPixels(packed.data(), kW, kH, 3, out);
    sink = planes[5];
  };
  auto peer = [&] {
    for (int i = 0; i < 10; ++i, ++frame)
      sluice::kernels::packThree<std::uint8_t>(clip.plane(frame, 0), clip.plane(frame, 1),
                                               clip.plane(frame, 2), kW, kH, packed.data(),
                                               std::ptrdiff_t(kW * 3));
    sink = packed[5];
  };
  Timing t = timePair(ours, peer, std::max(kReps, 9), nullptr, nullptr, threadCpu);
  double const a = t.ours * 100, b = t.peer * 100;
  table.add({label, "ms/f (cpu)", a, b, b / a, "ratio >= 0.80 (packing)", b / a >= 0.8});
}

// Every frame of `path` through the stack: device, filter, column-major buffers.
long readOurs(std::string const& path) {
  fmmfb2videoreader r(std::u16string(path.begin(), path.end()), "videofilereader", "passthrough",
                      "videofilter");
  r.open();
  long n = 0;
  for (unsigned char* data = nullptr; unsigned long got = r.readVideo(&data, 1); delete[] data) {
    sink = data[7];
    n += long(got);
  }
  r.close();
  return n;
}

// A host's own loop: libavformat and libavcodec (threads as the device sets
// them), sws_scale to RGB24, a plain transpose into column-major planes.
struct PeerReader {
  AVFormatContext* fmt = nullptr;
  AVCodecContext* c = nullptr;
  AVFrame* frame = av_frame_alloc();
  AVPacket* pkt = av_packet_alloc();
  SwsContext* sws = nullptr;
  int stream = -1;
  std::vector<std::uint8_t> rgb, planes;
  explicit PeerReader(std::string const& path) {
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0 ||
        avformat_find_stream_info(fmt, nullptr) < 0)
      throw std::runtime_error("open");
    AVCodec const* codec = nullptr;
    stream = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    c = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(c, fmt->streams[stream]->codecpar);
    c->thread_count = 0;
    if (avcodec_open2(c, codec, nullptr) < 0) throw std::runtime_error("decoder");
  }
  ~PeerReader() {
    sws_freeContext(sws);
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&c);
    avformat_close_input(&fmt);
  }
  // The next decoded frame in frame; false at the end.
  bool decode() {
    for (bool ended = false;;) {
      if (avcodec_receive_frame(c, frame) == 0) return true;
      if (ended) return false;
      if (av_read_frame(fmt, pkt) < 0) {
        avcodec_send_packet(c, nullptr);
        ended = true;
        continue;
      }
      if (pkt->stream_index == stream) avcodec_send_packet(c, pkt);
      av_packet_unref(pkt);
    }
  }
  void toPlanes() {
    std::size_t const w = std::size_t(frame->width), h = std::size_t(frame->height);
    sws = sws_getCachedContext(sws, frame->width, frame->height, AVPixelFormat(frame->format),
                               frame->width, frame->height, AV_PIX_FMT_RGB24, SWS_BICUBIC, nullptr,
                               nullptr, nullptr);
    rgb.resize(w * h * 3);
    planes.resize(w * h * 3);
    std::uint8_t* dst[1] = {rgb.data()};
    int const stride[1] = {int(w * 3)};
    sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, stride);
    for (std::size_t y = 0; y < h; ++y)
      for (std::size_t x = 0; x < w; ++x)
        for (std::size_t b = 0; b < 3; ++b) planes[(b * w + x) * h + y] = rgb[(y * w + x) * 3 + b];
    sink = planes[7];
  }
};

long readPeer(std::string const& path) {
  PeerReader p(path);
  long n = 0;
  for (; p.decode(); ++n) p.toPlanes();
  return n;
}

void readCase(Table& table, Clip const& clip, char const* label, bool h264) {
  if (!selected(label)) return;
  std::string const path = scratch(h264 ? "read.mp4" : "read.avi");
  writeOurs(path, clip, kFrames, h264 ? FILETYPE_MPEG4 : FILETYPE_AVI,
            h264 ? "" : "MJPEG Compressor");
  long got = 0;
  Timing t = timePair([&] { got = readOurs(path); }, [&] { readPeer(path); }, kReps);
  double const ours = double(got) / t.ours, peer = kFrames / t.peer;
  table.add({label, "frames/s", ours, peer, ours / peer, "ratio >= 1.00", ours / peer >= 1.0});
  std::remove(path.c_str());
}

// One minute of 1080p H.264 at 25 frames/s in GOPs of 250 frames: an exact seek
// into the middle of a GOP and the frame read there, beside decoding one GOP
// from its key frame.
void seekCase(Table& table) {
  char const* label = "seek 1080p H.264, GOP 250, 1 min: seek+read vs decode 1 GOP";
  if (!selected(label)) return;
  std::string const path = scratch("seek.mp4");
  std::string const make =
      "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=s=1920x1080:r=25:d=60 "
      "-c:v libx264 -preset veryfast -g 250 -keyint_min 250 "
      "-sc_threshold 0 '" +
      path + "'";
  if (std::system(make.c_str()) != 0) throw std::runtime_error("ffmpeg could not make " + path);
  fmmfb2videoreader r(std::u16string(path.begin(), path.end()), "videofilereader", "passthrough",
                      "videofilter");
  r.open();
  int turn = 0;
  auto ours = [&] {  // alternately frames 874 and 870, each a seek back into the GOP at 750
    r.seekFrame(874ul - 4ul * (turn++ % 2));
    unsigned char* data = nullptr;
    if (r.readVideo(&data, 1) != 1) throw std::runtime_error("seek read nothing");
    sink = data[7];
    delete[] data;
  };
  PeerReader p(path);
  AVStream const* st = p.fmt->streams[p.stream];
  std::int64_t const key = av_rescale_q(30, AVRational{1, 1}, st->time_base);  // frame 750
  auto peer = [&] {
    av_seek_frame(p.fmt, p.stream, key, AVSEEK_FLAG_BACKWARD);
    avcodec_flush_buffers(p.c);
    for (int i = 0; i < 250 && p.decode(); ++i) sink = p.frame->data[0][7];
  };
  Timing t = timePair(ours, peer, std::max(kReps, 5));
  table.add({label, "ms", t.ours * 1000, t.peer * 1000, t.peer / t.ours, "ratio >= 1.00",
             t.ours <= t.peer});
  r.close();
  std::remove(path.c_str());
}

}  // namespace

void videoCases(Table& table) {
  std::printf("video:\n");
  av_log_set_level(AV_LOG_ERROR);
  Clip clip;
  transposeCase(table, clip);
  encodeCase(table, clip, "write MJPEG AVI 1920x1080 100 frames vs libavcodec", false);
  encodeCase(table, clip, "write H.264 MP4 1920x1080 100 frames vs libavcodec", true);
  unpackCase(table, clip);
  readCase(table, clip, "read MJPEG AVI 1920x1080 100 frames vs libavcodec", false);
  readCase(table, clip, "read H.264 MP4 1920x1080 100 frames vs libavcodec", true);
  seekCase(table);
}

}  // namespace bench
