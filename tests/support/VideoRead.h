// Video files read back through fmmfb2videoreader, laid out as FFmpeg's tools
// hand decoded frames out, so that the two compare byte for byte.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hostlib/multimedia/fmmfb2videoreader.h"
#include "support/Maps.h"
#include "support/Tools.h"

namespace testsupport {

struct ReadBack {
  std::size_t w = 0, h = 0, bands = 0, word = 0;  // word: bytes per element
  unsigned long frames = 0;                       // the reader's count
  double rate = 0;
  std::string codec, format;
  std::vector<std::uint8_t> packed;  // top-down pixels of little-endian words
  // ffmpeg's -pix_fmt for the same layout.
  std::string pixelFormat() const {
    return bands == 1 ? (word == 2 ? "gray16le" : "gray") : (word == 2 ? "rgb48le" : "rgb24");
  }
};

inline std::string utf8(std::u16string const& text) {
  return std::string(text.begin(), text.end());
}

inline std::unique_ptr<hostlib::multimedia::fmmfb2videoreader> openReader(std::string const& path) {
  auto reader = std::make_unique<hostlib::multimedia::fmmfb2videoreader>(
      u16(path), "videofilereader", "passthrough", "videofilter");
  reader->open();
  return reader;
}

// Up to `count` frames from the reader's position, appended to `out` as packed
// pixels; returns the frames read.
inline unsigned long readPacked(hostlib::multimedia::fmmfb2videoreader& reader, unsigned long count,
                                ReadBack const& shape, std::vector<std::uint8_t>& out) {
  unsigned char* data = nullptr;
  unsigned long const n = reader.readVideo(&data, count);
  std::unique_ptr<unsigned char[]> owned(data);
  std::size_t const w = shape.w, h = shape.h, bands = shape.bands, word = shape.word;
  for (unsigned long f = 0; f < n; ++f)
    for (std::size_t r = 0; r < h; ++r)
      for (std::size_t c = 0; c < w; ++c)
        for (std::size_t k = 0; k < bands; ++k) {
          std::size_t const at = (((f * bands + k) * w + c) * h + r) * word;
          for (std::size_t b = 0; b < word; ++b) out.push_back(data[at + b]);
        }
  return n;
}

// Every frame of `path` with its facts, read in blocks of `block` frames.
inline ReadBack readAll(std::string const& path, unsigned long block = 4) {
  auto reader = openReader(path);
  ReadBack got;
  got.w = reader->getWidth();
  got.h = reader->getHeight();
  got.bands = reader->getNumBands();
  got.word = reader->getVideoDataType() == hostlib::multimedia::VIDEO_UINT16 ? 2 : 1;
  got.frames = reader->getNumFrames();
  got.rate = reader->getFrameRate();
  got.codec = utf8(reader->getCodec());
  got.format = utf8(reader->getFormat());
  while (readPacked(*reader, block, got, got.packed) > 0) {
  }
  return got;
}

// A file made by `ffmpeg -y <args> path` from a test pattern; false when ffmpeg
// cannot make it (an encoder not built in).
inline bool ffmpegMakes(std::string const& args, std::string const& path) {
  bool ok = false;
  run("ffmpeg -nostdin -v error -y " + args + " '" + path + "'", &ok);
  return ok;
}

}  // namespace testsupport
