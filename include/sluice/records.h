// The records that travel on the streams, each layout defined here once, and an
// owned form for the queue.
//
// A record is a std::vector<boost::any>.
//  Sample record (4 entries): unsigned char* samples, unsigned long frames,
//    unsigned long channels, AudioDataType type.
//  Frame record (5 entries): std::vector<const unsigned char*> planes (three),
//    size_t width, size_t height, VideoDataType type, FourCCType fourCC.
//  Converted frame record (6 entries): what the video filter hands a video
//    device; see ConvertedFrameView.
#pragma once

#include <boost/any.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "sluice/export.h"
#include "sluice/media.h"

namespace sluice {

typedef std::vector<boost::any> Record;

// Storage for Bytes, 64-byte aligned; throws std::bad_alloc. Large blocks are
// kept in a small pool of the service's for the next record of the same size:
// a record written by the host and freed on the worker is then reused without
// fresh pages, and the memory a channel holds stays bounded.
SLUICE_API void* allocateBlock(std::size_t size);
SLUICE_API void releaseBlock(void* block, std::size_t size) noexcept;

// Uninitialised, 64-byte aligned bytes with one owner.
class Bytes {
 public:
  Bytes() = default;
  explicit Bytes(std::size_t size) : size_(size) {
    if (size) data_ = static_cast<unsigned char*>(allocateBlock(size));
  }
  Bytes(Bytes&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
  }
  Bytes& operator=(Bytes&& other) noexcept {
    if (this != &other) {
      releaseBlock(data_, size_);
      data_ = other.data_;
      size_ = other.size_;
      other.data_ = nullptr;
      other.size_ = 0;
    }
    return *this;
  }
  Bytes(Bytes const&) = delete;
  Bytes& operator=(Bytes const&) = delete;
  ~Bytes() { releaseBlock(data_, size_); }

  unsigned char* data() const { return data_; }
  std::size_t size() const { return size_; }

 private:
  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
};

// A record with the storage its pointers refer to: what filters produce and what
// the queue holds. `record` may point into `storage` (or into `planes`, for the
// extra planes of a frame).
struct OwnedRecord {
  Record record;
  Bytes storage;
  std::vector<Bytes> planes;
  std::size_t bytes() const {
    std::size_t n = storage.size();
    for (auto const& p : planes) n += p.size();
    return n;
  }
};

// A record with `bytes` of storage and no planes, for a filter's output. Called
// while an output stream writes, it is one that the stream's device has
// finished with when there is one: its entries are as they were (set them with
// setSampleRecord), its storage uninitialised. Otherwise a new, empty one.
// Throws std::bad_alloc.
SLUICE_API std::unique_ptr<OwnedRecord> spareRecord(std::size_t bytes);

// A record handed to a caller that owns its storage: the record with one more
// entry at its end, a std::shared_ptr<OwnedRecord> holding the storage its
// pointers refer to. Deleting the record frees it all. Input devices deliver
// frames so, and an input stream hands its filters' records over so.
typedef std::shared_ptr<OwnedRecord> RecordStorage;

inline Record* handOver(std::unique_ptr<OwnedRecord> owned) {
  auto record = std::make_unique<Record>(std::move(owned->record));
  owned->record.clear();
  record->emplace_back(RecordStorage(std::move(owned)));
  return record.release();
}

// Whether the last entry of `r` is the storage a handed-over record carries.
inline bool carriesStorage(Record const& r) {
  return !r.empty() && boost::any_cast<RecordStorage>(&r.back()) != nullptr;
}

// Typed views of the two layouts. parse* returns false when the record does not
// have the layout (entry count or held types), never throwing.
struct SampleRecordView {
  unsigned char* samples = nullptr;
  unsigned long frames = 0;
  unsigned long channels = 0;
  AudioDataType type = hostlib::multimedia::AUDIO_UNSPECIFIED;
};

inline bool parseSampleRecord(Record const& r, SampleRecordView& v) {
  if (r.size() != 4) return false;
  auto p = boost::any_cast<unsigned char*>(&r[0]);
  auto f = boost::any_cast<unsigned long>(&r[1]);
  auto c = boost::any_cast<unsigned long>(&r[2]);
  auto t = boost::any_cast<AudioDataType>(&r[3]);
  if (!p || !f || !c || !t) return false;
  v.samples = *p;
  v.frames = *f;
  v.channels = *c;
  v.type = *t;
  return true;
}

struct FrameRecordView {
  std::vector<const unsigned char*> planes;
  std::size_t width = 0;
  std::size_t height = 0;
  VideoDataType type = hostlib::multimedia::VIDEO_INVALID;
  FourCCType fourCC = hostlib::multimedia::FOURCC_NONE;
};

namespace detail {
// The five entries a frame record and a converted frame record begin with.
inline bool parseFrameEntries(Record const& r, FrameRecordView& v) {
  auto p = boost::any_cast<std::vector<const unsigned char*>>(&r[0]);
  auto w = boost::any_cast<std::size_t>(&r[1]);
  auto h = boost::any_cast<std::size_t>(&r[2]);
  auto t = boost::any_cast<VideoDataType>(&r[3]);
  auto f = boost::any_cast<FourCCType>(&r[4]);
  if (!p || !w || !h || !t || !f) return false;
  v.planes = *p;
  v.width = *w;
  v.height = *h;
  v.type = *t;
  v.fourCC = *f;
  return true;
}
}  // namespace detail

inline bool parseFrameRecord(Record const& r, FrameRecordView& v) {
  return r.size() - carriesStorage(r) == 5 && detail::parseFrameEntries(r, v);
}

// Builds a sample record over `samples` (not owned).
inline Record makeSampleRecord(unsigned char* samples, unsigned long frames, unsigned long channels,
                               AudioDataType type) {
  Record r;
  r.reserve(4);
  r.emplace_back(samples);
  r.emplace_back(frames);
  r.emplace_back(channels);
  r.emplace_back(type);
  return r;
}

// Sets the entries of a sample record; in place, without allocating, when `r`
// already has the layout.
inline void setSampleRecord(Record& r, unsigned char* samples, unsigned long frames,
                            unsigned long channels, AudioDataType type) {
  if (r.size() == 4) {
    auto p = boost::any_cast<unsigned char*>(&r[0]);
    auto f = boost::any_cast<unsigned long>(&r[1]);
    auto c = boost::any_cast<unsigned long>(&r[2]);
    auto t = boost::any_cast<AudioDataType>(&r[3]);
    if (p && f && c && t) {
      *p = samples;
      *f = frames;
      *c = channels;
      *t = type;
      return;
    }
  }
  r = makeSampleRecord(samples, frames, channels, type);
}

inline Record makeFrameRecord(FrameRecordView const& v) {
  Record r;
  r.reserve(5);
  r.emplace_back(v.planes);
  r.emplace_back(v.width);
  r.emplace_back(v.height);
  r.emplace_back(v.type);
  r.emplace_back(v.fourCC);
  return r;
}

// Bytes of one plane of `v`'s layout (0: plane unused), or false when the
// element type or layout is unknown or the size overflows.
inline bool framePlaneBytes(FrameRecordView const& v, std::size_t plane, std::size_t& bytes) {
  std::size_t e = videoElementSize(v.type);
  if (!e) return false;
  std::size_t columns = v.width;
  switch (v.fourCC) {
    case hostlib::multimedia::FOURCC_RGB_PLANAR:
      break;
    case hostlib::multimedia::FOURCC_MONO:
      columns = plane == 0 ? v.width : 0;
      break;
    case hostlib::multimedia::FOURCC_YUV422_PLANAR:
      columns = plane == 0 ? v.width : v.width / 2;
      break;
    default:
      return false;
  }
  if (columns && v.height > SIZE_MAX / columns) return false;
  std::size_t n = columns * v.height;
  if (n && e > SIZE_MAX / n) return false;
  bytes = n * e;
  return true;
}

// An owned deep copy of a sample or frame record, or null when `in` has neither
// layout, names an unknown type, or points nowhere for a non-empty block. The
// copy's planes that the layout leaves unused are null.
inline std::unique_ptr<OwnedRecord> copyKnownRecord(Record const& in) {
  auto out = std::make_unique<OwnedRecord>();
  SampleRecordView s;
  if (parseSampleRecord(in, s)) {
    std::size_t e = audioSampleSize(s.type);
    if (!e) return nullptr;
    if (s.channels && s.frames > SIZE_MAX / s.channels) return nullptr;
    std::size_t n = s.frames * s.channels;
    if (n && e > SIZE_MAX / n) return nullptr;
    n *= e;
    if (n && !s.samples) return nullptr;
    out->storage = Bytes(n);
    if (n) std::memcpy(out->storage.data(), s.samples, n);
    out->record = makeSampleRecord(out->storage.data(), s.frames, s.channels, s.type);
    return out;
  }
  FrameRecordView f;
  if (!parseFrameRecord(in, f) || f.planes.size() != 3) return nullptr;
  std::vector<const unsigned char*> planes(3, nullptr);
  for (std::size_t i = 0; i < 3; ++i) {
    std::size_t n = 0;
    if (!framePlaneBytes(f, i, n)) return nullptr;
    if (!n) continue;
    if (!f.planes[i]) return nullptr;
    Bytes b(n);
    std::memcpy(b.data(), f.planes[i], n);
    planes[i] = b.data();
    if (i == 0) {
      out->storage = std::move(b);
    } else {
      out->planes.push_back(std::move(b));
    }
  }
  f.planes = planes;
  out->record = makeFrameRecord(f);
  return out;
}

// Frees a record an input stream delivered: the record allocated with new, its
// sample buffer (entry 0, when it holds one) with new[]. Null is ignored.
inline void releaseDeliveredRecord(void* address) noexcept {
  Record* record = static_cast<Record*>(address);
  if (!record) return;
  if (!record->empty())
    if (auto samples = boost::any_cast<unsigned char*>(&(*record)[0])) delete[] * samples;
  delete record;
}

// The layouts a video device can ask of the video filter in its
// "ExpectedFrameType" value: the layout for three-band frames, optionally
// followed by "|" and the layout for one-band frames (without it, one-band
// frames take the same layout, grey). All are row-major:
//   "BGR24"          one packed plane, bytes B G R, each row padded with zeros to
//                    a multiple of 4 bytes (a top-down DIB);
//   "BGR24BottomUp"  the same with the rows bottom-up (a DIB of positive height);
//   "Gray8"          one plane of w x h bytes, rows top-down;
//   "YUVJ420P"       full-range BT.601: Y w x h, then U and V ceil(w/2) x ceil(h/2);
//   "YUV420PEven"    limited-range BT.601 padded to even sizes by repeating the last
//                    column and row: Y W x H (W, H = w, h rounded up to even), U and
//                    V W/2 x H/2;
//   "Planar"         one plane per band (R, G, B or grey) of w x h elements of the
//                    filter's "OutputDataType" ("invalid": uint8; int8, uint16, int16),
//                    the bands one after another in the first plane.
//   "RGB24", "RGB48" one packed plane, R G B, rows top-down, no padding; 48: each
//                    band a little-endian 16-bit word (what a reading device decodes to);
//   "Gray16"         one plane of w x h little-endian 16-bit words, rows top-down.
enum class FrameLayout {
  BGR24,
  BGR24BottomUp,
  Gray8,
  YUVJ420P,
  YUV420PEven,
  Planar,
  RGB24,
  RGB48,
  Gray16
};

namespace detail {
struct LayoutName {
  char16_t const* name;
  FrameLayout layout;
};
inline LayoutName const (&layoutNames())[9] {
  static const LayoutName names[] = {{u"BGR24", FrameLayout::BGR24},
                                     {u"BGR24BottomUp", FrameLayout::BGR24BottomUp},
                                     {u"Gray8", FrameLayout::Gray8},
                                     {u"YUVJ420P", FrameLayout::YUVJ420P},
                                     {u"YUV420PEven", FrameLayout::YUV420PEven},
                                     {u"Planar", FrameLayout::Planar},
                                     {u"RGB24", FrameLayout::RGB24},
                                     {u"RGB48", FrameLayout::RGB48},
                                     {u"Gray16", FrameLayout::Gray16}};
  return names;
}
}  // namespace detail

inline bool frameLayoutFromName(std::u16string const& name, FrameLayout& layout) {
  for (auto const& n : detail::layoutNames())
    if (name == n.name) {
      layout = n.layout;
      return true;
    }
  return false;
}

inline std::u16string frameLayoutName(FrameLayout layout) {
  for (auto const& n : detail::layoutNames())
    if (n.layout == layout) return n.name;
  return std::u16string();
}

// Bytes per row of a "BGR24" or "BGR24BottomUp" frame.
inline std::size_t dibStride(std::size_t width) { return (width * 3 + 3) / 4 * 4; }

// The converted frame record: the five entries of a frame record, then the
// layout by name. Planes: three, unused ones null ("Planar" puts every band in
// the first); width and height: the frame's own, before any padding; element
// type: uint8, int8, uint16 or int16; FOURCC_MONO for one band or
// FOURCC_RGB_PLANAR for three.
struct ConvertedFrameView : FrameRecordView {
  FrameLayout layout = FrameLayout::Planar;
  std::size_t bands() const { return fourCC == hostlib::multimedia::FOURCC_MONO ? 1 : 3; }
};

inline Record makeConvertedFrameRecord(ConvertedFrameView const& v) {
  Record r = makeFrameRecord(v);
  r.emplace_back(frameLayoutName(v.layout));
  return r;
}

// False when `r` is not a converted frame record: entry count or held types, an
// unknown layout or band count, no size, or a plane missing that the layout uses.
inline bool parseConvertedFrameRecord(Record const& r, ConvertedFrameView& v) {
  if (r.size() - carriesStorage(r) != 6 || !detail::parseFrameEntries(r, v) || v.planes.size() != 3)
    return false;
  auto layout = boost::any_cast<std::u16string>(&r[5]);
  if (!layout || !frameLayoutFromName(*layout, v.layout)) return false;
  if (v.fourCC != hostlib::multimedia::FOURCC_MONO &&
      v.fourCC != hostlib::multimedia::FOURCC_RGB_PLANAR)
    return false;
  bool const yuv = v.layout == FrameLayout::YUVJ420P || v.layout == FrameLayout::YUV420PEven;
  return v.width && v.height && v.planes[0] && (!yuv || (v.planes[1] && v.planes[2]));
}

}  // namespace sluice
