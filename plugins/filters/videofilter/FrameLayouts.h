// The layouts a video device can ask for in "ExpectedFrameType", and the record
// the video filter hands it.
//
// "ExpectedFrameType" holds a std::u16string: the layout for three-band frames,
// optionally followed by "|" and the layout for one-band frames (without it,
// one-band frames take the same layout, grey). Layouts, all row-major:
//   "BGR24"          one packed plane, bytes B G R, each row padded with zeros to
//                    a multiple of 4 bytes (a top-down DIB);
//   "BGR24BottomUp"  the same with the rows bottom-up (a DIB of positive height);
//   "Gray8"          one plane of w x h bytes, rows top-down;
//   "YUVJ420P"       full-range BT.601: Y w x h, then U and V ceil(w/2) x ceil(h/2);
//   "YUV420PEven"    limited-range BT.601 padded to even sizes by repeating the last
//                    column and row: Y W x H (W, H = w, h rounded up to even), U and
//                    V W/2 x H/2;
//   "Planar"         one plane per band (R, G, B or grey) of w x h elements of the
//                    "OutputDataType" ("invalid": uint8; int8, uint16, int16).
// Three-band input may be RGB ("RawPlanarColumn") or 4:2:2 YCbCr ("YUV422PlanarColumn").
//
// Converted frame record (6 entries): std::vector<const unsigned char*> planes
// (three, unused ones null), size_t width, size_t height (the frame's own, before
// any padding), VideoDataType of the elements (uint8, int8, uint16 or int16),
// FourCCType (FOURCC_MONO for one band, FOURCC_RGB_PLANAR for three) and the
// layout name as std::u16string.
#pragma once

#include <cstddef>
#include <string>

namespace videofilter {

enum class Layout { BGR24, BGR24BottomUp, Gray8, YUVJ420P, YUV420PEven, Planar };

inline bool layoutFromName(std::u16string const& name, Layout& layout) {
  static const struct {
    char16_t const* name;
    Layout layout;
  } names[] = {{u"BGR24", Layout::BGR24},
               {u"BGR24BottomUp", Layout::BGR24BottomUp},
               {u"Gray8", Layout::Gray8},
               {u"YUVJ420P", Layout::YUVJ420P},
               {u"YUV420PEven", Layout::YUV420PEven},
               {u"Planar", Layout::Planar}};
  for (auto const& n : names)
    if (name == n.name) {
      layout = n.layout;
      return true;
    }
  return false;
}

inline std::u16string layoutName(Layout layout) {
  switch (layout) {
    case Layout::BGR24: return u"BGR24";
    case Layout::BGR24BottomUp: return u"BGR24BottomUp";
    case Layout::Gray8: return u"Gray8";
    case Layout::YUVJ420P: return u"YUVJ420P";
    case Layout::YUV420PEven: return u"YUV420PEven";
    case Layout::Planar: return u"Planar";
  }
  return std::u16string();
}

// Bytes per row of a "BGR24" or "BGR24BottomUp" frame.
inline std::size_t dibStride(std::size_t width) { return (width * 3 + 3) / 4 * 4; }

}  // namespace videofilter
