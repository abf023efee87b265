// Helpers of the video tests: synthetic column-major frames, a temporary folder,
// and FFmpeg's own tools (ffprobe, ffmpeg) to check what was written.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace videotest {

inline std::filesystem::path tempDir(std::string const& name) {
  char const* base = std::getenv("HOSTLIB_TEST_TMP");
  std::filesystem::path dir =
      std::filesystem::path(base ? base : std::filesystem::temp_directory_path().string()) /
      "video" / name;
  std::filesystem::create_directories(dir);
  return dir;
}

// Output of a shell command; empty when it fails.
inline std::string run(std::string const& command) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) return out;
  char buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  if (pclose(p) != 0) out.clear();
  return out;
}

struct Probe {
  std::string codec, pixelFormat;
  int width = 0, height = 0, frames = -1;
};

// The first video stream as ffprobe sees it, frames counted by decoding.
inline Probe probe(std::filesystem::path const& file) {
  std::string const text =
      run("ffprobe -v error -select_streams v:0 -count_frames -show_entries "
          "stream=codec_name,pix_fmt,width,height,nb_read_frames -of default=nw=1 '" +
          file.string() + "'");
  Probe p;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "codec_name") p.codec = value;
    if (key == "pix_fmt") p.pixelFormat = value;
    if (key == "width") p.width = std::atoi(value.c_str());
    if (key == "height") p.height = std::atoi(value.c_str());
    if (key == "nb_read_frames") p.frames = std::atoi(value.c_str());
  }
  return p;
}

// Every frame decoded by ffmpeg into packed `pixelFormat` (rgb24, gray, rgb48le...).
inline std::vector<std::uint8_t> decode(std::filesystem::path const& file,
                                        std::string const& pixelFormat) {
  std::string const bytes = run("ffmpeg -v error -i '" + file.string() +
                                "' -f rawvideo -pix_fmt " + pixelFormat + " -");
  return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

// PSNR in dB of `got` against `want` over packed frames of `stride` bytes per row,
// comparing only the first `cols` bytes of each row.
inline double psnr(std::vector<std::uint8_t> const& want, std::vector<std::uint8_t> const& got,
                   std::size_t stride, std::size_t cols) {
  if (want.size() != got.size() || want.empty()) return 0;
  double sum = 0;
  std::size_t n = 0;
  for (std::size_t row = 0; row * stride < want.size(); ++row)
    for (std::size_t c = 0; c < cols; ++c) {
      double d = double(want[row * stride + c]) - double(got[row * stride + c]);
      sum += d * d;
      ++n;
    }
  if (sum == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 * n / sum);
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

// A frame of `bands` column-major planes of T, element (r, c) of band k being
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
void appendPacked(std::vector<std::uint8_t>& out, std::size_t w, std::size_t h, std::size_t bands, F f) {
  for (std::size_t r = 0; r < h; ++r)
    for (std::size_t c = 0; c < w; ++c)
      for (std::size_t k = 0; k < bands; ++k) {
        auto const v = static_cast<Word>(f(r, c, k));
        for (std::size_t b = 0; b < sizeof(Word); ++b) out.push_back(static_cast<std::uint8_t>(v >> (8 * b)));
      }
}

// A smooth moving picture: band k of pixel (r, c) of frame f, in [0, 1].
inline double smooth(std::size_t r, std::size_t c, std::size_t k, std::size_t f) {
  return 0.5 + 0.4 * std::sin(0.09 * double(r) + 0.06 * double(c) + 2.1 * double(k) + 0.3 * double(f));
}

// An 8-bit code with every value and sharp edges: lossless checks.
inline std::uint8_t sharp(std::size_t r, std::size_t c, std::size_t k, std::size_t f) {
  return static_cast<std::uint8_t>((r * 37 + c * 11 + k * 85 + f * 29 + (r * c) % 7) & 255);
}

}  // namespace videotest
