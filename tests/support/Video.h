// Synthetic column-major frames, and what FFmpeg's own tools find in a file.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/Tools.h"

namespace testsupport {

struct Probe {
  std::string codec, pixelFormat;
  int width = 0, height = 0, frames = -1;
};

// The first video stream as ffprobe sees it, frames counted by decoding.
inline Probe probe(std::string const& path) {
  auto s = ffprobe(path, "v", "codec_name,pix_fmt,width,height,nb_read_frames");
  auto number = [&](char const* key) { return s.count(key) ? std::atoi(s[key].c_str()) : -1; };
  return {s["codec_name"], s["pix_fmt"], number("width"), number("height"),
          number("nb_read_frames")};
}

// A frame's planes, column-major, of element type T.
template <typename T>
struct Planes {
  std::vector<std::vector<T>> planes;
  std::vector<const unsigned char*> pointers() const {
    std::vector<const unsigned char*> p(3, nullptr);
    for (std::size_t k = 0; k < planes.size(); ++k)
      p[k] = reinterpret_cast<const unsigned char*>(planes[k].data());
    return p;
  }
};

// `bands` planes of w columns of h elements, element (r, c) of band k being
// f(r, c, k).
template <typename T, typename F>
Planes<T> makeFrame(std::size_t w, std::size_t h, std::size_t bands, F f) {
  Planes<T> p;
  p.planes.assign(bands, std::vector<T>(w * h));
  for (std::size_t k = 0; k < bands; ++k)
    for (std::size_t c = 0; c < w; ++c)
      for (std::size_t r = 0; r < h; ++r) p.planes[k][c * h + r] = static_cast<T>(f(r, c, k));
  return p;
}

// Appends f(r, c, k) as packed top-down pixels of little-endian Words, the way
// ffmpeg hands decoded frames out.
template <typename Word, typename F>
void appendPacked(std::vector<std::uint8_t>& out, std::size_t w, std::size_t h, std::size_t bands,
                  F f) {
  for (std::size_t r = 0; r < h; ++r)
    for (std::size_t c = 0; c < w; ++c)
      for (std::size_t k = 0; k < bands; ++k) {
        auto const v = static_cast<Word>(f(r, c, k));
        for (std::size_t b = 0; b < sizeof(Word); ++b)
          out.push_back(static_cast<std::uint8_t>(v >> (8 * b)));
      }
}

// A smooth moving picture: band k of pixel (r, c) of frame f, in [0, 1].
inline double smooth(std::size_t r, std::size_t c, std::size_t k, std::size_t f) {
  return 0.5 +
         0.4 * std::sin(0.09 * double(r) + 0.06 * double(c) + 2.1 * double(k) + 0.3 * double(f));
}

// An 8-bit code with every value and sharp edges, for lossless checks.
inline std::uint8_t sharp(std::size_t r, std::size_t c, std::size_t k, std::size_t f) {
  return static_cast<std::uint8_t>((r * 37 + c * 11 + k * 85 + f * 29 + (r * c) % 7) & 255);
}

// PSNR in dB of `got` against `want`, both packed 8-bit frames.
inline double psnr(std::vector<std::uint8_t> const& want, std::vector<std::uint8_t> const& got) {
  if (want.size() != got.size() || want.empty()) return 0;
  double sum = 0;
  for (std::size_t i = 0; i < want.size(); ++i)
    sum += (double(want[i]) - got[i]) * (double(want[i]) - got[i]);
  return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * double(want.size()) / sum);
}

}  // namespace testsupport
