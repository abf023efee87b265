#include "VideoFilter.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "Failure.h"
#include "Properties.h"
#include "VideoKernels.h"

namespace sluice {
namespace videofilter {

namespace {

using namespace hostlib::multimedia;

[[noreturn]] void fail(char const* identifier) { support::fail("videofilter", identifier); }

// The std::u16string under `key`; null when the key is absent or its value null;
// a value of another type is refused.
std::u16string const* stringOption(PropertyMap const& options, char const* key) {
  bool otherType = false;
  auto text = support::valueOf<std::u16string>(options, key, &otherType);
  if (otherType) fail("couldNotInitFile");
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

// A frame record checked for conversion: its planes (a one-band frame's plane
// stands for all three bands), size and element type.
struct Source {
  unsigned char const* p[3];
  std::size_t w, h;
  VideoDataType type;
  bool yuv, mono;
};

Source sourceOf(Record const& in) {
  FrameRecordView f;
  if (!parseFrameRecord(in, f)) fail("couldNotWriteFrame");
  std::size_t bound;
  // Every buffer a layout makes is at most (w + 1) x (h + 1) x 8 bytes.
  if (!f.width || !f.height || !videoElementSize(f.type) ||
      !product(f.width + 1, f.height + 1, 8, bound))
    fail("couldNotWriteFrame");
  Source s{{nullptr, nullptr, nullptr}, f.width, f.height, f.type, f.fourCC == FOURCC_YUV422_PLANAR,
           f.fourCC == FOURCC_MONO};
  if (f.fourCC != FOURCC_RGB_PLANAR && !s.mono && !s.yuv) fail("couldNotWriteFrame");
  if (f.planes.size() == 3) {
    s.p[0] = f.planes[0];
    s.p[1] = s.mono ? s.p[0] : f.planes[1];
    s.p[2] = s.mono ? s.p[0] : f.planes[2];
  }
  bool const chroma = !s.yuv || s.w / 2 > 0;  // 4:2:2 one column wide has no chroma columns
  if (!s.p[0] || (chroma && (!s.p[1] || !s.p[2]))) fail("couldNotWriteFrame");
  return s;
}

// Packed B, G, R rows padded to DIB strides; channel order and row order are
// folded into the kernels' addressing.
void toBgr24(Source const& s, bool bottomUp, OwnedRecord& out) {
  std::size_t const stride = dibStride(s.w);
  out.planes.emplace_back(stride * s.h);
  std::uint8_t* base = out.planes[0].data();
  for (std::size_t r = 0; r < s.h; ++r)
    std::memset(base + r * stride + 3 * s.w, 0, stride - 3 * s.w);
  std::uint8_t* first = bottomUp ? base + (s.h - 1) * stride : base;
  auto const rows =
      bottomUp ? -static_cast<std::ptrdiff_t>(stride) : static_cast<std::ptrdiff_t>(stride);
  if (s.yuv) {
    std::ptrdiff_t const offsets[3] = {2, 1, 0};
    kernels::yuv422ToRgb(s.type, s.p[0], s.p[1], s.p[2], s.w, s.h, first, 3, rows, offsets);
  } else {
    kernels::packThree(s.type, s.p[2], s.p[1], s.p[0], s.w, s.h, first, rows);
  }
}

void toGray8(Source const& s, OwnedRecord& out) {
  out.planes.emplace_back(s.w * s.h);
  kernels::transposePlane(s.type, s.p[0], s.w, s.h, out.planes[0].data(), 1,
                          static_cast<std::ptrdiff_t>(s.w));
}

// 4:2:0 planes; `even` pads to even sizes in limited range, else full range.
void toYuv420(Source const& s, bool even, OwnedRecord& out) {
  std::size_t const cols = even ? s.w + s.w % 2 : s.w, rows = even ? s.h + s.h % 2 : s.h;
  std::size_t const cw = (s.w + 1) / 2, ch = (s.h + 1) / 2;
  out.planes.emplace_back(cols * rows);
  out.planes.emplace_back(cw * ch);
  out.planes.emplace_back(cw * ch);
  std::uint8_t* y = out.planes[0].data();
  std::uint8_t* u = out.planes[1].data();
  std::uint8_t* v = out.planes[2].data();
  if (s.yuv)
    kernels::yuv422ToYuv420(s.type, s.p[0], s.p[1], s.p[2], s.w, s.h, even, y, cols, u, v, cw);
  else
    kernels::rgbToYuv420(s.type, s.p[0], s.p[1], s.p[2], s.w, s.h,
                         even ? kernels::kLimitedRange : kernels::kFullRange, y, cols, u, v, cw);
  if (even) kernels::padEdges(y, cols, s.w, s.h, cols, rows);
}

// One row-major plane per band, one after another in one buffer, of 8 or 16-bit
// words; `mask` flips the sign bit for signed outputs.
template <typename Word>
void toPlanar(Source const& s, Word mask, OwnedRecord& out, ConvertedFrameView& v) {
  std::size_t const bands = s.mono ? 1 : 3, n = s.w * s.h;
  out.planes.emplace_back(bands * n * sizeof(Word));
  Word* o = reinterpret_cast<Word*>(out.planes[0].data());
  auto const stride = static_cast<std::ptrdiff_t>(s.w);
  if (s.yuv) {
    std::ptrdiff_t const offsets[3] = {0, static_cast<std::ptrdiff_t>(n),
                                       static_cast<std::ptrdiff_t>(2 * n)};
    kernels::yuv422ToRgb(s.type, s.p[0], s.p[1], s.p[2], s.w, s.h, o, 1, stride, offsets, mask);
  } else {
    for (std::size_t k = 0; k < bands; ++k)
      kernels::transposePlane(s.type, s.p[k], s.w, s.h, o + k * n, 1, stride, mask);
  }
  for (std::size_t k = 0; k < bands; ++k) v.planes[k] = out.planes[0].data() + k * n * sizeof(Word);
}

// A decoded frame (RGB24, RGB48, Gray8 or Gray16, as a reading device delivers it)
// into the writer's frame record: column-major planes R, G, B or grey.
std::unique_ptr<OwnedRecord> unpack(Record const& in, FrameLayout expected) {
  ConvertedFrameView v;
  if (!parseConvertedFrameRecord(in, v) || v.layout != expected) fail("Unexpected");
  bool const wide = v.layout == FrameLayout::RGB48 || v.layout == FrameLayout::Gray16;
  bool const mono = v.layout == FrameLayout::Gray8 || v.layout == FrameLayout::Gray16;
  std::size_t const bands = mono ? 1 : 3, word = wide ? 2 : 1;
  std::size_t bytes;
  if (v.type != (wide ? VIDEO_UINT16 : VIDEO_UINT8) ||
      v.fourCC != (mono ? FOURCC_MONO : FOURCC_RGB_PLANAR) ||
      !product(v.width, v.height, word, bytes))
    fail("Unexpected");
  auto out = std::make_unique<OwnedRecord>();
  FrameRecordView f;
  f.planes.assign(3, nullptr);
  unsigned char* planes[3] = {nullptr, nullptr, nullptr};
  for (std::size_t k = 0; k < bands; ++k) {
    out->planes.emplace_back(bytes);
    planes[k] = out->planes[k].data();
    f.planes[k] = planes[k];
  }
  if (wide) {
    std::uint16_t* p16[3] = {reinterpret_cast<std::uint16_t*>(planes[0]),
                             reinterpret_cast<std::uint16_t*>(planes[1]),
                             reinterpret_cast<std::uint16_t*>(planes[2])};
    kernels::unpackPixels(reinterpret_cast<std::uint16_t const*>(v.planes[0]), v.width, v.height,
                          bands, p16);
  } else {
    kernels::unpackPixels(v.planes[0], v.width, v.height, bands, planes);
  }
  f.width = v.width;
  f.height = v.height;
  f.type = v.type;
  f.fourCC = v.fourCC;
  out->record = makeFrameRecord(f);
  return out;
}

}  // namespace

void VideoFilter::add(PropertyMap const& options) {
  // On an input stream: the device's decoded layout into column-major planes.
  FrameLayout decoded;
  auto input = stringOption(options, "InputFrameType");
  if (input && frameLayoutFromName(*input, decoded) &&
      (decoded == FrameLayout::RGB24 || decoded == FrameLayout::RGB48 ||
       decoded == FrameLayout::Gray8 || decoded == FrameLayout::Gray16)) {
    auto output = stringOption(options, "OutputFrameType");
    if (!output || *output != u"RawPlanarColumn") fail("Unexpected");
    decoded_ = decoded;
    reading_ = configured_ = true;
    return;
  }
  if (input)
    if (!input->empty() && *input != u"RawPlanarColumn" && *input != u"YUV422PlanarColumn")
      fail("couldNotInitFile");

  // Without the device's layout there is nothing sound to produce.
  auto expected = stringOption(options, "OutputFrameType");
  if (!expected) fail("couldNotInitFile");
  std::size_t const bar = expected->find(u'|');
  FrameLayout three, one;
  if (!frameLayoutFromName(expected->substr(0, bar), three)) fail("couldNotInitFile");
  if (bar == std::u16string::npos)
    one = three;
  else if (!frameLayoutFromName(expected->substr(bar + 1), one))
    fail("couldNotInitFile");
  if (three == FrameLayout::Gray8) fail("couldNotInitFile");  // one band cannot hold colour
  for (FrameLayout decoded : {FrameLayout::RGB24, FrameLayout::RGB48, FrameLayout::Gray16})
    if (three == decoded || one == decoded) fail("couldNotInitFile");

  bool wide = false, isSigned = false;
  if (auto type = stringOption(options, "OutputDataType")) {
    if (*type == u"uint16" || *type == u"int16")
      wide = true;
    else if (*type != u"uint8" && *type != u"int8" && *type != u"invalid")
      fail("couldNotInitFile");
    isSigned = *type == u"int8" || *type == u"int16";
  }
  reading_ = false;
  threeBand_ = three;
  oneBand_ = one;
  wide_ = wide;
  signed_ = isSigned;
  configured_ = true;
}

void VideoFilter::open(PropertyMap const&) {
  if (!configured_) fail("couldNotInitFile");
}

std::unique_ptr<OwnedRecord> VideoFilter::process(Record const& in) {
  if (!configured_) fail("couldNotWriteFrame");
  if (reading_) return unpack(in, decoded_);
  Source const s = sourceOf(in);
  ConvertedFrameView v;
  v.planes.assign(3, nullptr);
  v.width = s.w;
  v.height = s.h;
  v.type = VIDEO_UINT8;
  v.fourCC = s.mono ? FOURCC_MONO : FOURCC_RGB_PLANAR;
  v.layout = s.mono ? oneBand_ : threeBand_;
  auto out = std::make_unique<OwnedRecord>();
  switch (v.layout) {
    case FrameLayout::BGR24:
    case FrameLayout::BGR24BottomUp:
      toBgr24(s, v.layout == FrameLayout::BGR24BottomUp, *out);
      break;
    case FrameLayout::Gray8:
      toGray8(s, *out);
      break;
    case FrameLayout::YUVJ420P:
    case FrameLayout::YUV420PEven:
      toYuv420(s, v.layout == FrameLayout::YUV420PEven, *out);
      break;
    case FrameLayout::RGB24:
    case FrameLayout::RGB48:
    case FrameLayout::Gray16:
      fail("couldNotWriteFrame");  // what reading devices deliver, refused at add
    case FrameLayout::Planar:
      if (wide_)
        toPlanar<std::uint16_t>(s, signed_ ? 0x8000 : 0, *out, v);
      else
        toPlanar<std::uint8_t>(s, signed_ ? 0x80 : 0, *out, v);
      v.type =
          wide_ ? (signed_ ? VIDEO_INT16 : VIDEO_UINT16) : (signed_ ? VIDEO_INT8 : VIDEO_UINT8);
      break;
  }
  if (v.layout != FrameLayout::Planar)
    for (std::size_t k = 0; k < out->planes.size(); ++k) v.planes[k] = out->planes[k].data();
  out->record = makeConvertedFrameRecord(v);
  return out;
}

}  // namespace videofilter
}  // namespace sluice
