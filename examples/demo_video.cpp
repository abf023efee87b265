// The video half of the tour: a synthetic animation written through
// tmmfb2videowriter into each container, decoded with FFmpeg (a decoder we did
// not write) and compared with the source, then read back with fmmfb2videoreader.
#include "demo_video.h"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include "hostlib/multimedia/exceptions.h"
#include "hostlib/multimedia/fmmfb2videoreader.h"
#include "hostlib/multimedia/tmmfb2videowriter.h"

using namespace hostlib::multimedia;
namespace fs = std::filesystem;

namespace {

struct VideoCase {
  char const* label;
  char const* file;
  MMFileType fileType;
  char const* method;
  bool sixteenBit;
  bool gray;
  size_t compression;
};

// Frame t of the animation, packed row-major, `bands` samples per pixel.
std::vector<uint16_t> render(size_t w, size_t h, int bands, int t, int maxValue) {
  std::vector<uint16_t> px(w * h * bands);
  const double cx = w * (0.3 + 0.4 * std::sin(t * 0.2)), cy = h * 0.5;
  for (size_t y = 0; y < h; ++y)
    for (size_t x = 0; x < w; ++x) {
      double d = std::hypot(x - cx, y - cy);
      double ring = d < h * 0.25 ? 1.0 : 0.0;
      double v[3] = {double(x) / w, double(y) / h, ring * 0.9 + 0.05};
      for (int b = 0; b < bands; ++b) {
        double val = bands == 1 ? 0.5 * v[0] + 0.5 * v[2] : v[b];
        px[(y * w + x) * bands + b] = uint16_t(std::lround(val * maxValue));
      }
    }
  return px;
}

// Decodes every frame as packed RGB24/RGB48/GRAY8/GRAY16 at the source size.
bool decodeAll(std::string const& file, size_t w, size_t h, bool sixteen, bool gray,
               std::vector<std::vector<uint16_t>>& frames) {
  // The demo's own check of each file: FFmpeg's warnings about the decoders'
  // pixel formats are no news here.
  av_log_set_level(AV_LOG_ERROR);
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, file.c_str(), nullptr, nullptr) < 0) return false;
  bool ok = false;
  AVCodecContext* ctx = nullptr;
  SwsContext* sws = nullptr;
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  const AVPixelFormat want = gray ? (sixteen ? AV_PIX_FMT_GRAY16LE : AV_PIX_FMT_GRAY8)
                                  : (sixteen ? AV_PIX_FMT_RGB48LE : AV_PIX_FMT_RGB24);
  const int bands = gray ? 1 : 3;
  int stream = -1;
  const AVCodec* codec = nullptr;
  // Converts at the decoded size, then keeps the top-left w x h: an MPEG-4 frame
  // comes back with the padding row that the writer added.
  auto take = [&](AVFrame* f) {
    if (size_t(f->width) < w || size_t(f->height) < h) return;
    sws = sws_getCachedContext(sws, f->width, f->height, AVPixelFormat(f->format), f->width,
                               f->height, want, SWS_POINT, nullptr, nullptr, nullptr);
    const size_t es = sixteen ? 2 : 1, rowBytes = size_t(f->width) * bands * es;
    std::vector<uint8_t> bytes(rowBytes * f->height);
    uint8_t* dst[4] = {bytes.data(), nullptr, nullptr, nullptr};
    int stride[4] = {int(rowBytes), 0, 0, 0};
    sws_scale(sws, f->data, f->linesize, 0, f->height, dst, stride);
    std::vector<uint16_t> out(w * h * bands);
    for (size_t y = 0; y < h; ++y)
      for (size_t i = 0; i < w * bands; ++i) {
        uint8_t const* b = &bytes[y * rowBytes + i * es];
        out[y * w * bands + i] = sixteen ? uint16_t(b[0] | (b[1] << 8)) : b[0];
      }
    frames.push_back(std::move(out));
  };
  if (avformat_find_stream_info(fmt, nullptr) >= 0 &&
      (stream = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0)) >= 0 &&
      (ctx = avcodec_alloc_context3(codec)) &&
      avcodec_parameters_to_context(ctx, fmt->streams[stream]->codecpar) >= 0 &&
      avcodec_open2(ctx, codec, nullptr) >= 0) {
    while (av_read_frame(fmt, pkt) >= 0) {
      if (pkt->stream_index == stream && avcodec_send_packet(ctx, pkt) >= 0)
        while (avcodec_receive_frame(ctx, frame) >= 0) take(frame);
      av_packet_unref(pkt);
    }
    avcodec_send_packet(ctx, nullptr);
    while (avcodec_receive_frame(ctx, frame) >= 0) take(frame);
    ok = true;
  }
  sws_freeContext(sws);
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&ctx);
  avformat_close_input(&fmt);
  return ok;
}

// Fidelity of `got` against `want` over `n` samples of range 0..maxValue.
std::string fidelityOf(double squaredError, size_t n, int maxValue) {
  char text[64] = "nothing compared";
  if (n && squaredError == 0)
    std::snprintf(text, sizeof text, "exact");
  else if (n)
    std::snprintf(text, sizeof text, "PSNR %.1f dB",
                  10 * std::log10(double(maxValue) * maxValue / (squaredError / n)));
  return text;
}

// Reads `file` back with the library's reader: what it reports, every frame
// against the source (the top-left w x h, as an MPEG-4 frame carries the
// writer's padding row), and a seek to the middle against the sequential read.
void readBack(std::string const& file, char const* label, size_t w, size_t h, int maxValue,
              std::vector<std::vector<uint16_t>> const& source) {
  fmmfb2videoreader reader(std::u16string(file.begin(), file.end()), "videofilereader",
                           "passthrough", "videofilter");
  reader.open();
  const size_t rw = reader.getWidth(), rh = reader.getHeight(), bands = reader.getNumBands();
  const bool sixteen = reader.getVideoDataType() == VIDEO_UINT16;
  const size_t frameElements = rw * rh * bands;
  std::vector<std::vector<uint16_t>> frames;
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    unsigned char* data = nullptr;
    unsigned long n = reader.readVideo(&data, 8);
    std::unique_ptr<unsigned char[]> owned(data);
    if (n == 0) break;
    for (unsigned long f = 0; f < n; ++f) {
      std::vector<uint16_t> frame(frameElements);
      for (size_t i = 0; i < frameElements; ++i)
        frame[i] = sixteen ? reinterpret_cast<uint16_t const*>(data)[f * frameElements + i]
                           : data[f * frameElements + i];
      frames.push_back(std::move(frame));
    }
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double se = 0;
  size_t n = 0;
  for (size_t f = 0; f < std::min(frames.size(), source.size()) && rw >= w && rh >= h; ++f)
    for (size_t b = 0; b < bands; ++b)
      for (size_t x = 0; x < w; ++x)
        for (size_t y = 0; y < h; ++y, ++n) {
          double d =
              double(source[f][(y * w + x) * bands + b]) - double(frames[f][(b * rw + x) * rh + y]);
          se += d * d;
        }
  const unsigned long middle = reader.getNumFrames() / 2;
  reader.seekFrame(middle);
  unsigned char* data = nullptr;
  bool seekExact = reader.readVideo(&data, 1) == 1 && middle < frames.size();
  std::unique_ptr<unsigned char[]> owned(data);
  for (size_t i = 0; seekExact && i < frameElements; ++i)
    seekExact =
        (sixteen ? reinterpret_cast<uint16_t const*>(data)[i] : data[i]) == frames[middle][i];
  reader.close();
  std::u16string const codecName = reader.getCodec(), formatName = reader.getFormat();
  std::string const codec(codecName.begin(), codecName.end());
  std::string const format(formatName.begin(), formatName.end());
  std::printf("%-13s %4zux%-4zu %2zu %-6s %5.1f %6lu %-12s %-5s %10.1f  %-13s %s\n", label, rw, rh,
              bands, sixteen ? "uint16" : "uint8", reader.getFrameRate(), reader.getNumFrames(),
              codec.c_str(), format.c_str(), frames.size() / seconds,
              fidelityOf(se, n, maxValue).c_str(), seekExact ? "exact" : "differs");
}

}  // namespace

void videoTour(fs::path const& dir) {
  const VideoCase cases[] = {
      {"AVI raw RGB", "tour-raw.avi", FILETYPE_AVI, "", false, false, 0},
      {"AVI raw gray", "tour-gray.avi", FILETYPE_AVI, "", false, true, 0},
      {"AVI MJPEG", "tour-mjpeg.avi", FILETYPE_AVI, "MJPEG Compressor", false, false, 0},
      {"MP4 H.264", "tour.mp4", FILETYPE_MPEG4, "", false, false, 0},
      {"MJ2 8-bit", "tour-8.mj2", FILETYPE_MJ2, "", false, false, 0},
      {"MJ2 16-bit", "tour-16.mj2", FILETYPE_MJ2, "", true, true, 0},
      {"MJ2 lossy", "tour-lossy.mj2", FILETYPE_MJ2, "Lossy", false, false, 20},
  };
  // An odd height: the writer pads MPEG-4 frames to an even height.
  const size_t w = 320, h = 181;
  const int count = 30;
  std::printf("\nVideo: %zux%zu, %d frames at 30 fps, written from column-major planes\n", w, h,
              count);
  std::printf("%-13s %6s %10s %12s  %s\n", "format", "frames", "bytes", "encode fps", "fidelity");
  struct Written {
    char const* label;
    std::string file;
    int maxValue;
    std::vector<std::vector<uint16_t>> source;
  };
  std::vector<Written> written;
  for (auto const& c : cases) {
    const int bands = c.gray ? 1 : 3;
    const int maxValue = c.sixteenBit ? 65535 : 255;
    const std::string file = (dir / c.file).string();
    std::vector<std::vector<uint16_t>> source;
    try {
      double seconds = 0;
      {
        tmmfb2videowriter writer(std::u16string(file.begin(), file.end()), "videofilewriter",
                                 "passthrough", "videofilter");
        writer.setFrameRate(30.0);
        writer.setWidth(w);
        writer.setHeight(h);
        writer.setVideoDataType(c.sixteenBit ? VIDEO_UINT16 : VIDEO_UINT8);
        writer.setFourCC(c.gray ? FOURCC_MONO : FOURCC_RGB_PLANAR);
        writer.setFileType(c.fileType);
        writer.setCompressionMethod(c.method);
        writer.setVideoQuality(90);
        writer.setCompressionFactor(c.compression);
        writer.open();
        const size_t es = c.sixteenBit ? 2 : 1;
        std::vector<unsigned char> planes[3];
        for (auto& p : planes) p.assign(w * h * es, 0);
        for (int t = 0; t < count; ++t) {
          source.push_back(render(w, h, bands, t, maxValue));
          auto const& px = source.back();
          // Column-major planes: column after column, each `h` elements.
          for (int b = 0; b < bands; ++b)
            for (size_t x = 0; x < w; ++x)
              for (size_t y = 0; y < h; ++y) {
                uint16_t v = px[(y * w + x) * bands + b];
                size_t at = (x * h + y) * es;
                planes[b][at] = uint8_t(v);
                if (es == 2) planes[b][at + 1] = uint8_t(v >> 8);
              }
          // Only the library's work is timed: handing the frame over and, at the
          // end, waiting for the encoder to finish.
          auto start = std::chrono::steady_clock::now();
          writer.writeVideo(planes[0].data(), planes[1].data(), planes[2].data());
          if (t == count - 1) writer.close();
          seconds +=
              std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
      }
      std::vector<std::vector<uint16_t>> back;
      std::string fidelity = "not decoded";
      if (decodeAll(file, w, h, c.sixteenBit, c.gray, back)) {
        double se = 0;
        size_t n = 0;
        for (size_t f = 0; f < std::min(back.size(), source.size()); ++f)
          for (size_t i = 0; i < source[f].size(); ++i, ++n) {
            double d = double(source[f][i]) - double(back[f][i]);
            se += d * d;
          }
        fidelity = fidelityOf(se, n, maxValue);
      }
      std::printf("%-13s %6zu %10ju %12.1f  %s\n", c.label, back.size(),
                  static_cast<std::uintmax_t>(fs::file_size(file)), count / seconds,
                  fidelity.c_str());
      written.push_back({c.label, file, maxValue, std::move(source)});
    } catch (Exception const& e) {
      std::printf("%-13s failed: %s: %s\n", c.label, e.name(), e.what());
    }
  }

  std::printf("\nThe same files read back with fmmfb2videoreader (column-major planes)\n");
  std::printf("%-13s %9s %2s %-6s %5s %6s %-12s %-5s %10s  %-13s %s\n", "file", "size", "b", "type",
              "fps", "frames", "codec", "form", "read fps", "fidelity", "seek");
  for (auto const& f : written) {
    try {
      readBack(f.file, f.label, w, h, f.maxValue, f.source);
    } catch (Exception const& e) {
      std::printf("%-13s failed: %s: %s\n", f.label, e.name(), e.what());
    }
  }
}
