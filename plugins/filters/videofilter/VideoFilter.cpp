#include "VideoFilter.h"

#include <boost/any.hpp>

#include <cstdint>
#include <cstring>
#include <limits>

#include "PackedPixels.h"
#include "PlaneTranspose.h"

namespace videofilter {

namespace {

using namespace hostlib::multimedia;
using sluice::Bytes;
using sluice::sdk::Failure;

[[noreturn]] void fail(char const* identifier) { throw Failure("videofilter", identifier); }

// The std::u16string under `key`; null when the key is absent or its value null;
// a value of another type is refused.
std::u16string const* stringOption(sluice::PropertyMap const& options, char const* key) {
  auto it = options.find(key);
  if (it == options.end() || !it->second) return nullptr;
  auto text = boost::any_cast<std::u16string>(static_cast<boost::any const*>(it->second));
  if (!text) fail("couldNotInitFile");
  return text;
}

// a * b * c, or false when it does not fit a size_t.
bool product(std::size_t a, std::size_t b, std::size_t c, std::size_t& out) {
  std::size_t const max = std::numeric_limits<std::size_t>::max();
  if (a && b > max / a) return false;
  if (a * b != 0 && c > max / (a * b)) return false;
  out = a * b * c;
  return true;
}

}  // namespace

void VideoFilter::add(sluice::PropertyMap const& options) {
  if (auto input = stringOption(options, "InputFrameType"))
    if (!input->empty() && *input != u"RawPlanarColumn" && *input != u"YUV422PlanarColumn")
      fail("couldNotInitFile");

  // Without the device's layout there is nothing sound to produce.
  auto expected = stringOption(options, "OutputFrameType");
  if (!expected) fail("couldNotInitFile");
  std::size_t const bar = expected->find(u'|');
  Layout three, one;
  if (!layoutFromName(expected->substr(0, bar), three)) fail("couldNotInitFile");
  if (bar == std::u16string::npos)
    one = three;
  else if (!layoutFromName(expected->substr(bar + 1), one))
    fail("couldNotInitFile");
  if (three == Layout::Gray8) fail("couldNotInitFile");  // one band cannot hold colour

  bool wide = false, isSigned = false;
  if (auto type = stringOption(options, "OutputDataType")) {
    if (*type == u"uint16" || *type == u"int16")
      wide = true;
    else if (*type != u"uint8" && *type != u"int8" && *type != u"invalid")
      fail("couldNotInitFile");
    isSigned = *type == u"int8" || *type == u"int16";
  }
  threeBand_ = three;
  oneBand_ = one;
  wide_ = wide;
  signed_ = isSigned;
  configured_ = true;
}

void VideoFilter::open(sluice::PropertyMap const&) {
  if (!configured_) fail("couldNotInitFile");
}

std::unique_ptr<sluice::OwnedRecord> VideoFilter::process(sluice::Record const& in) {
  sluice::FrameRecordView f;
  if (!configured_ || !sluice::parseFrameRecord(in, f)) fail("couldNotWriteFrame");
  std::size_t const w = f.width, h = f.height;
  std::size_t const element = sluice::videoElementSize(f.type);
  std::size_t bound;
  // Every buffer below is at most (w + 1) x (h + 1) x 8 bytes.
  if (!w || !h || !element || !product(w + 1, h + 1, 8, bound)) fail("couldNotWriteFrame");
  bool const yuv = f.fourCC == FOURCC_YUV422_PLANAR;
  if (f.fourCC != FOURCC_RGB_PLANAR && f.fourCC != FOURCC_MONO && !yuv) fail("couldNotWriteFrame");
  bool const mono = f.fourCC == FOURCC_MONO;
  unsigned char const* p0 = f.planes.size() == 3 ? f.planes[0] : nullptr;
  unsigned char const* p1 = mono ? p0 : f.planes.size() == 3 ? f.planes[1] : nullptr;
  unsigned char const* p2 = mono ? p0 : f.planes.size() == 3 ? f.planes[2] : nullptr;
  bool const chroma = !yuv || w / 2 > 0;  // 4:2:2 one column wide has no chroma columns
  if (!p0 || (chroma && (!p1 || !p2))) fail("couldNotWriteFrame");

  Layout const layout = mono ? oneBand_ : threeBand_;
  auto out = std::make_unique<sluice::OwnedRecord>();
  std::vector<unsigned char const*> planes(3, nullptr);
  VideoDataType outType = VIDEO_UINT8;

  switch (layout) {
    case Layout::BGR24:
    case Layout::BGR24BottomUp: {
      // Channel order and row order are folded into the transpose's addressing.
      std::size_t const stride = dibStride(w);
      out->planes.emplace_back(stride * h);
      std::uint8_t* base = out->planes[0].data();
      for (std::size_t r = 0; r < h; ++r) std::memset(base + r * stride + 3 * w, 0, stride - 3 * w);
      bool const bottomUp = layout == Layout::BGR24BottomUp;
      std::uint8_t* last = bottomUp ? base + (h - 1) * stride : base;
      auto const rows = bottomUp ? -static_cast<std::ptrdiff_t>(stride) : static_cast<std::ptrdiff_t>(stride);
      withElementType(f.type, [&](auto t) {
        using T = decltype(t);
        if (yuv) {
          std::ptrdiff_t const offsets[3] = {2, 1, 0};
          yuv422ToRgb<T, std::uint8_t>(p0, p1, p2, w, h, last, 3, rows, offsets);
        } else {
          packThree<T>(p2, p1, p0, w, h, last, rows);  // B, G, R
        }
      });
      break;
    }
    case Layout::Gray8: {
      out->planes.emplace_back(w * h);
      std::uint8_t* plane = out->planes[0].data();
      withElementType(f.type, [&](auto t) {
        transposePlane<decltype(t), std::uint8_t>(p0, w, h, plane, 1, static_cast<std::ptrdiff_t>(w));
      });
      break;
    }
    case Layout::YUVJ420P:
    case Layout::YUV420PEven: {
      bool const even = layout == Layout::YUV420PEven;
      std::size_t const cols = even ? w + w % 2 : w, rows = even ? h + h % 2 : h;
      std::size_t const cw = (w + 1) / 2, ch = (h + 1) / 2;
      out->planes.emplace_back(cols * rows);
      out->planes.emplace_back(cw * ch);
      out->planes.emplace_back(cw * ch);
      std::uint8_t* y = out->planes[0].data();
      std::uint8_t* u = out->planes[1].data();
      std::uint8_t* v = out->planes[2].data();
      withElementType(f.type, [&](auto t) {
        using T = decltype(t);
        if (yuv)
          yuv422ToYuv420<T>(p0, p1, p2, w, h, even, y, cols, u, v, cw);
        else
          rgbToYuv420<T>(p0, p1, p2, w, h, even ? kLimitedRange : kFullRange, y, cols, u, v, cw);
      });
      if (even) padEdges(y, cols, w, h, cols, rows);
      break;
    }
    case Layout::Planar: {
      std::size_t const bands = mono ? 1 : 3;
      std::size_t const n = w * h;
      out->planes.emplace_back(bands * n * (wide_ ? 2 : 1));
      unsigned char* base = out->planes[0].data();
      auto run = [&](auto word) {
        using Word = decltype(word);
        Word* o = reinterpret_cast<Word*>(base);
        Word const mask = signed_ ? Word(Word(1) << (8 * sizeof(Word) - 1)) : Word(0);
        auto const stride = static_cast<std::ptrdiff_t>(w);
        withElementType(f.type, [&](auto t) {
          using T = decltype(t);
          if (yuv) {
            std::ptrdiff_t const offsets[3] = {0, static_cast<std::ptrdiff_t>(n),
                                               static_cast<std::ptrdiff_t>(2 * n)};
            yuv422ToRgb<T, Word>(p0, p1, p2, w, h, o, 1, stride, offsets, mask);
          } else {
            unsigned char const* in[3] = {p0, p1, p2};
            for (std::size_t k = 0; k < bands; ++k)
              transposePlane<T, Word>(in[k], w, h, o + k * n, 1, stride, mask);
          }
        });
        for (std::size_t k = 0; k < bands; ++k) planes[k] = base + k * n * sizeof(Word);
      };
      if (wide_)
        run(std::uint16_t());
      else
        run(std::uint8_t());
      outType = wide_ ? (signed_ ? VIDEO_INT16 : VIDEO_UINT16) : (signed_ ? VIDEO_INT8 : VIDEO_UINT8);
      break;
    }
  }
  if (layout != Layout::Planar)
    for (std::size_t k = 0; k < out->planes.size(); ++k) planes[k] = out->planes[k].data();

  out->record.reserve(6);
  out->record.emplace_back(planes);
  out->record.emplace_back(w);
  out->record.emplace_back(h);
  out->record.emplace_back(outType);
  out->record.emplace_back(mono ? FOURCC_MONO : FOURCC_RGB_PLANAR);
  out->record.emplace_back(layoutName(layout));
  return out;
}

}  // namespace videofilter
