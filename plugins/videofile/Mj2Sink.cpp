#include "Mj2Sink.h"

#include <openjpeg.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "Fragments.h"
#include "IsoBoxWriter.h"

namespace sluice {
namespace videofile {

namespace {

using namespace hostlib::multimedia;
using support::IsoBoxWriter;

// A growing in-memory output for one codestream; OpenJPEG seeks back to patch
// marker lengths.
struct MemoryStream {
  std::vector<std::uint8_t> data;
  std::size_t position = 0;
};

OPJ_SIZE_T streamWrite(void* buffer, OPJ_SIZE_T n, void* user) {
  auto* m = static_cast<MemoryStream*>(user);
  if (m->position + n > m->data.size()) m->data.resize(m->position + n);
  std::memcpy(m->data.data() + m->position, buffer, n);
  m->position += n;
  return n;
}
OPJ_OFF_T streamSkip(OPJ_OFF_T n, void* user) {
  auto* m = static_cast<MemoryStream*>(user);
  if (n < 0 && static_cast<std::size_t>(-n) > m->position) return -1;
  m->position += n;
  if (m->position > m->data.size()) m->data.resize(m->position);
  return n;
}
OPJ_BOOL streamSeek(OPJ_OFF_T to, void* user) {
  auto* m = static_cast<MemoryStream*>(user);
  if (to < 0) return OPJ_FALSE;
  m->position = static_cast<std::size_t>(to);
  if (m->position > m->data.size()) m->data.resize(m->position);
  return OPJ_TRUE;
}
void quiet(char const*, void*) {}

struct CodecFree {
  void operator()(opj_codec_t* c) const { opj_destroy_codec(c); }
};
struct StreamFree {
  void operator()(opj_stream_t* s) const { opj_stream_destroy(s); }
};
struct ImageFree {
  void operator()(opj_image_t* i) const { opj_image_destroy(i); }
};

// Largest resolution count (at most OpenJPEG's default of 6) that the smaller
// side still halves into: a 1 x 1 frame has one.
int resolutionsFor(std::size_t w, std::size_t h) {
  std::size_t side = std::min(w, h);
  int levels = 1;
  while (levels < 6 && (side >> levels) >= 1) ++levels;
  return levels;
}

// The movie's clock: one tick per frame of `delta` units of `timescale`, and
// 64-bit times (version 1 boxes) once the duration passes 32 bits.
struct MovieTimes {
  std::uint32_t timescale = 0;
  std::uint32_t delta = 1;
  std::uint64_t count = 0;
  std::uint64_t duration = 0;
  unsigned version = 0;
};

// Creation and modification time 0 (unknown), then the timescale when asked.
void writeTimes(IsoBoxWriter& b, MovieTimes const& t, bool withTimescale) {
  if (t.version) {
    b.u64(0);
    b.u64(0);
  } else {
    b.u32(0);
    b.u32(0);
  }
  if (withTimescale) b.u32(t.timescale);
}

void writeDuration(IsoBoxWriter& b, MovieTimes const& t) {
  if (t.version)
    b.u64(t.duration);
  else
    b.u32(static_cast<std::uint32_t>(t.duration));
}

void writeUnityMatrix(IsoBoxWriter& b) {
  std::uint32_t const m[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};
  for (auto v : m) b.u32(v);
}

void writeMvhd(IsoBoxWriter& b, MovieTimes const& t) {
  b.beginFull("mvhd", t.version, 0);
  writeTimes(b, t, true);
  writeDuration(b, t);
  b.u32(0x00010000);  // rate 1.0
  b.u16(0x0100);      // volume 1.0
  b.zeros(2 + 8);
  writeUnityMatrix(b);
  b.zeros(24);  // pre_defined
  b.u32(2);     // next track ID
  b.end();
}

void writeTkhd(IsoBoxWriter& b, MovieTimes const& t, FrameFormat const& format) {
  b.beginFull("tkhd", t.version, 0x000007);  // enabled, in movie, in preview
  writeTimes(b, t, false);
  b.u32(1);  // track ID
  b.u32(0);
  writeDuration(b, t);
  b.zeros(8);
  b.u16(0);  // layer
  b.u16(0);  // alternate group
  b.u16(0);  // volume: not audio
  b.u16(0);
  writeUnityMatrix(b);
  b.u32(static_cast<std::uint32_t>(format.width) << 16);
  b.u32(static_cast<std::uint32_t>(format.height) << 16);
  b.end();
}

void writeMdhd(IsoBoxWriter& b, MovieTimes const& t) {
  b.beginFull("mdhd", t.version, 0);
  writeTimes(b, t, true);
  writeDuration(b, t);
  b.u16(((('u' - 0x60) << 10) | (('n' - 0x60) << 5) | ('d' - 0x60)));  // "und"
  b.u16(0);
  b.end();
}

void writeHdlr(IsoBoxWriter& b) {
  b.beginFull("hdlr", 0, 0);
  b.u32(0);
  b.type("vide");
  b.zeros(12);
  for (char c : std::string("Video\0", 6)) b.u8(static_cast<unsigned char>(c));
  b.end();
}

void writeVmhd(IsoBoxWriter& b) {
  b.beginFull("vmhd", 0, 1);
  b.zeros(8);  // graphics mode copy, opcolor
  b.end();
}

void writeDinf(IsoBoxWriter& b) {
  b.begin("dinf");
  b.beginFull("dref", 0, 0);
  b.u32(1);
  b.beginFull("url ", 0, 1);  // media in this file
  b.end();
  b.end();
  b.end();
}

// The JP2 header of the sample entry: image header and colour box.
void writeJp2h(IsoBoxWriter& b, FrameFormat const& format, bool wide, bool isSigned) {
  b.begin("jp2h");
  b.begin("ihdr");
  b.u32(static_cast<std::uint32_t>(format.height));
  b.u32(static_cast<std::uint32_t>(format.width));
  b.u16(static_cast<std::uint32_t>(format.bands));
  b.u8((wide ? 15 : 7) | (isSigned ? 0x80 : 0));
  b.u8(7);  // compression type: JPEG 2000
  b.u8(0);  // colour space known
  b.u8(0);  // no intellectual property box
  b.end();
  b.begin("colr");
  b.u8(1);  // enumerated colour space
  b.u8(0);
  b.u8(0);
  b.u32(format.bands == 3 ? 16 : 17);  // sRGB or greyscale
  b.end();
  b.end();
}

// The MJ2 visual sample entry: the visual fields, the JP2 header and the field
// coding box (progressive).
void writeStsd(IsoBoxWriter& b, FrameFormat const& format, bool wide, bool isSigned) {
  b.beginFull("stsd", 0, 0);
  b.u32(1);
  b.begin("mjp2");
  b.zeros(6);
  b.u16(1);  // data reference index
  b.zeros(16);
  b.u16(static_cast<std::uint32_t>(format.width));
  b.u16(static_cast<std::uint32_t>(format.height));
  b.u32(0x00480000);  // 72 dpi
  b.u32(0x00480000);
  b.u32(0);
  b.u16(1);  // frames per sample
  char const name[] = "Motion JPEG 2000";
  b.u8(sizeof name - 1);
  for (std::size_t i = 0; i < 31; ++i)
    b.u8(i < sizeof name - 1 ? static_cast<unsigned char>(name[i]) : 0);
  b.u16(format.bands == 3 ? 0x18 : 0x28);  // colour, or greyscale
  b.u16(0xffff);
  writeJp2h(b, format, wide, isSigned);
  b.begin("fiel");
  b.u8(1);  // one field per frame
  b.u8(0);
  b.end();
  b.end();  // mjp2
  b.end();  // stsd
}

// The tables of a movie without frames (the initial index of a fragmented one)
// have no entries.
void writeStts(IsoBoxWriter& b, MovieTimes const& t) {
  b.beginFull("stts", 0, 0);
  b.u32(t.count ? 1 : 0);
  if (t.count) {
    b.u32(static_cast<std::uint32_t>(t.count));
    b.u32(t.delta);
  }
  b.end();
}

void writeStsc(IsoBoxWriter& b, MovieTimes const& t) {
  b.beginFull("stsc", 0, 0);  // one frame per chunk
  b.u32(t.count ? 1 : 0);
  if (t.count) {
    b.u32(1);
    b.u32(1);
    b.u32(1);
  }
  b.end();
}

void writeStsz(IsoBoxWriter& b, std::vector<std::uint64_t> const& sizes) {
  b.beginFull("stsz", 0, 0);
  b.u32(0);
  b.u32(static_cast<std::uint32_t>(sizes.size()));
  for (auto size : sizes) b.u32(static_cast<std::uint32_t>(size));
  b.end();
}

// stco, or co64 when an offset passes 32 bits.
void writeChunkOffsets(IsoBoxWriter& b, std::vector<std::uint64_t> const& offsets, bool large) {
  b.beginFull(large ? "co64" : "stco", 0, 0);
  b.u32(static_cast<std::uint32_t>(offsets.size()));
  for (auto o : offsets)
    if (large)
      b.u64(o);
    else
      b.u32(static_cast<std::uint32_t>(o));
  b.end();
}

class Mj2Sink : public FrameSink {
 public:
  Mj2Sink(std::string const& path, EncodeSettings const& settings)
      : path_(path), settings_(settings) {
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) fail("couldNotOpenFile");
  }

  ~Mj2Sink() override {
    if (file_) {
      std::fclose(file_);
      if (!started_) std::remove(path_.c_str());
    }
  }

  void begin(FrameFormat const& format) override {
    format_ = format;
    wide_ = format.type == VIDEO_UINT16 || format.type == VIDEO_INT16;
    signed_ = format.type == VIDEO_INT8 || format.type == VIDEO_INT16;
    bool const known = wide_ || format.type == VIDEO_UINT8 || format.type == VIDEO_INT8;
    // The sample entry stores 16-bit sizes.
    if (!known || format.layout != FrameLayout::Planar || format.width > 65535 ||
        format.height > 65535 || (format.bands != 1 && format.bands != 3))
      fail("couldNotInitFile");

    IsoBoxWriter head;
    head.begin("jP  ");
    head.u32(0x0D0A870A);
    head.end();
    head.begin("ftyp");
    head.type("mjp2");
    head.u32(0);
    head.type("mjp2");
    head.end();
    // Until finish() makes it the header of an mdat with a 64-bit size that holds
    // everything up to the full index, a free box; then the initial index of a
    // fragmented movie.
    mdatStart_ = head.bytes().size();
    head.u32(16);
    head.type("free");
    head.u64(0);
    writeMoov(head, true);
    put(head.bytes().data(), head.bytes().size(), "couldNotInitFile");
    offset_ = head.bytes().size();
    framesPerFragment_ = std::max<std::uint64_t>(
        1, std::uint64_t(settings_.rateNum) / (2 * std::uint64_t(settings_.rateDen)));
    slot_ =
        support::movieFragment(0, 0, std::vector<support::FragmentSample>(framesPerFragment_), 16)
            .size() +
        16;
    started_ = true;
  }

  // Frames go in fragments of at most half a second: room for the fragment's moof
  // and mdat header, then its frames, then the moof written into that room.
  void write(std::vector<unsigned char const*> const& planes) override {
    std::vector<std::uint8_t> codestream = encode(planes);
    if (sizes_.size() % framesPerFragment_ == 0) {
      fragmentAt_ = offset_;
      offset_ += slot_;
      seek(offset_);
    }
    put(codestream.data(), codestream.size(), "couldNotWriteFrame");
    offsets_.push_back(offset_);
    sizes_.push_back(codestream.size());
    offset_ += codestream.size();
    if (sizes_.size() % framesPerFragment_ == 0) writeFragment();
  }

  void finish() override {
    if (!started_) {
      std::fclose(file_);
      file_ = nullptr;
      std::remove(path_.c_str());
      return;
    }
    IsoBoxWriter moov;
    writeMoov(moov, false);
    put(moov.bytes().data(), moov.bytes().size(), "couldNotWriteFrame");
    // The mdat, now that its end is known: the fragment boxes become bytes in it
    // that no table points at.
    IsoBoxWriter mdat;
    mdat.u32(1);
    mdat.type("mdat");
    mdat.u64(offset_ - mdatStart_);
    seek(mdatStart_);
    put(mdat.bytes().data(), mdat.bytes().size(), "couldNotWriteFrame");
    int const closed = std::fclose(file_);
    file_ = nullptr;
    if (closed != 0) fail("couldNotWriteFrame");
  }

 private:
  void put(void const* data, std::size_t n, char const* identifier) {
    if (n && std::fwrite(data, 1, n, file_) != n) fail(identifier);
  }

  void seek(std::uint64_t to) {
    if (fseeko(file_, static_cast<off_t>(to), SEEK_SET) != 0) fail("couldNotWriteFrame");
  }

  // The moof and mdat header of the fragment just completed, into its room; the
  // seeks hand everything written so far to the system.
  void writeFragment() {
    std::size_t const first = sizes_.size() - framesPerFragment_;
    std::vector<support::FragmentSample> samples(framesPerFragment_);
    std::uint64_t payload = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
      samples[i].size = static_cast<std::uint32_t>(sizes_[first + i]);
      samples[i].duration = static_cast<std::uint32_t>(settings_.rateDen);
      payload += sizes_[first + i];
    }
    IsoBoxWriter b;
    b.bytes() = support::movieFragment(
        static_cast<std::uint32_t>(sizes_.size() / framesPerFragment_),
        std::uint64_t(first) * std::uint64_t(settings_.rateDen), samples, 16);
    support::writeMdatHeader(b, payload, 16);
    seek(fragmentAt_);
    put(b.bytes().data(), b.bytes().size(), "couldNotWriteFrame");
    seek(offset_);
  }

  std::vector<std::uint8_t> encode(std::vector<unsigned char const*> const& planes) {
    std::size_t const w = format_.width, h = format_.height, n = w * h;
    unsigned const bands = static_cast<unsigned>(format_.bands);
    opj_image_cmptparm_t parts[3];
    std::memset(parts, 0, sizeof parts);
    for (unsigned k = 0; k < bands; ++k) {
      parts[k].dx = parts[k].dy = 1;
      parts[k].w = static_cast<OPJ_UINT32>(w);
      parts[k].h = static_cast<OPJ_UINT32>(h);
      parts[k].prec = wide_ ? 16 : 8;
      parts[k].sgnd = signed_ ? 1 : 0;
    }
    std::unique_ptr<opj_image_t, ImageFree> image(
        opj_image_create(bands, parts, bands == 3 ? OPJ_CLRSPC_SRGB : OPJ_CLRSPC_GRAY));
    if (!image) fail("couldNotWriteFrame");
    image->x0 = image->y0 = 0;
    image->x1 = static_cast<OPJ_UINT32>(w);
    image->y1 = static_cast<OPJ_UINT32>(h);
    for (unsigned k = 0; k < bands; ++k) {
      OPJ_INT32* to = image->comps[k].data;
      unsigned char const* from = planes[0] + k * n * (wide_ ? 2 : 1);
      if (wide_) {
        for (std::size_t i = 0; i < n; ++i) {
          std::uint16_t v;
          std::memcpy(&v, from + 2 * i, 2);
          to[i] = signed_ ? static_cast<std::int16_t>(v) : v;
        }
      } else {
        for (std::size_t i = 0; i < n; ++i)
          to[i] = signed_ ? static_cast<std::int8_t>(from[i]) : from[i];
      }
    }

    opj_cparameters_t p;
    opj_set_default_encoder_parameters(&p);
    p.tcp_numlayers = 1;
    p.cp_disto_alloc = 1;
    p.tcp_rates[0] = settings_.lossy ? static_cast<float>(settings_.compressionRatio) : 0.f;
    p.irreversible = settings_.lossy ? 1 : 0;
    p.tcp_mct = bands == 3 ? 1 : 0;
    p.numresolution = resolutionsFor(w, h);

    std::unique_ptr<opj_codec_t, CodecFree> codec(opj_create_compress(OPJ_CODEC_J2K));
    if (!codec) fail("couldNotWriteFrame");
    opj_set_info_handler(codec.get(), quiet, nullptr);
    opj_set_warning_handler(codec.get(), quiet, nullptr);
    opj_set_error_handler(codec.get(), quiet, nullptr);
    if (!opj_setup_encoder(codec.get(), &p, image.get())) fail("couldNotWriteFrame");

    MemoryStream out;
    out.data.reserve(settings_.lossy ? n * bands / 4 + 4096 : n * bands * (wide_ ? 2 : 1) + 4096);
    std::unique_ptr<opj_stream_t, StreamFree> stream(opj_stream_create(1 << 20, OPJ_FALSE));
    if (!stream) fail("couldNotWriteFrame");
    opj_stream_set_user_data(stream.get(), &out, nullptr);
    opj_stream_set_write_function(stream.get(), streamWrite);
    opj_stream_set_skip_function(stream.get(), streamSkip);
    opj_stream_set_seek_function(stream.get(), streamSeek);
    if (!opj_start_compress(codec.get(), image.get(), stream.get()) ||
        !opj_encode(codec.get(), stream.get()) || !opj_end_compress(codec.get(), stream.get()))
      fail("couldNotWriteFrame");
    stream.reset();  // flushes what OpenJPEG still buffers
    return std::move(out.data);
  }

  // The full index, or the initial one of a fragmented movie (no frames, mvex).
  void writeMoov(IsoBoxWriter& b, bool initial) const {
    MovieTimes t;
    t.timescale = static_cast<std::uint32_t>(settings_.rateNum);
    t.delta = static_cast<std::uint32_t>(settings_.rateDen);
    t.count = initial ? 0 : sizes_.size();
    t.duration = t.count * t.delta;
    t.version = t.duration > std::numeric_limits<std::uint32_t>::max() ? 1 : 0;
    b.begin("moov");
    writeMvhd(b, t);
    b.begin("trak");
    writeTkhd(b, t, format_);
    b.begin("mdia");
    writeMdhd(b, t);
    writeHdlr(b);
    b.begin("minf");
    writeVmhd(b);
    writeDinf(b);
    b.begin("stbl");
    writeStsd(b, format_, wide_, signed_);
    writeStts(b, t);
    writeStsc(b, t);
    std::vector<std::uint64_t> const none;
    writeStsz(b, initial ? none : sizes_);
    writeChunkOffsets(b, initial ? none : offsets_,
                      offset_ > std::numeric_limits<std::uint32_t>::max());
    b.end();  // stbl
    b.end();  // minf
    b.end();  // mdia
    b.end();  // trak
    if (initial) support::writeMvex(b);
    b.end();  // moov
  }

  std::string path_;
  EncodeSettings settings_;
  FrameFormat format_;
  std::FILE* file_ = nullptr;
  bool started_ = false;
  bool wide_ = false;
  bool signed_ = false;
  std::uint64_t mdatStart_ = 0;
  std::uint64_t offset_ = 0;
  std::uint64_t framesPerFragment_ = 1;
  std::uint64_t slot_ = 0;        // bytes of a fragment's moof and mdat header
  std::uint64_t fragmentAt_ = 0;  // where the current fragment's moof goes
  std::vector<std::uint64_t> offsets_;
  std::vector<std::uint64_t> sizes_;
};

}  // namespace

std::unique_ptr<FrameSink> makeMj2Sink(std::string const& path, EncodeSettings const& settings) {
  return std::make_unique<Mj2Sink>(path, settings);
}

}  // namespace videofile
}  // namespace sluice
