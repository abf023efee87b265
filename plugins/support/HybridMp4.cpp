#include "HybridMp4.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mem.h>
}

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "Fragments.h"

namespace sluice {
namespace support {

namespace {

// The longest stretch of samples one fragment holds, in seconds.
constexpr AVRational kFragment = {1, 2};

#if LIBAVFORMAT_VERSION_MAJOR >= 61
using IoBuffer = std::uint8_t const*;
#else
using IoBuffer = std::uint8_t*;
#endif

int putAt(int fd, std::uint8_t const* data, std::size_t n, std::int64_t at) {
  while (n > 0) {
    ssize_t const done = ::pwrite(fd, data, n, static_cast<off_t>(at));
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return done < 0 ? AVERROR(errno) : AVERROR(ENOSPC);
    data += done;
    n -= static_cast<std::size_t>(done);
    at += done;
  }
  return 0;
}

AVStream* addStream(AVFormatContext* f, AVCodecContext const* codec, AVRational timeBase,
                    AVRational rate) {
  AVStream* s = avformat_new_stream(f, nullptr);
  if (!s || avcodec_parameters_from_context(s->codecpar, codec) < 0) return nullptr;
  s->time_base = timeBase;
  if (rate.num > 0) {
    s->avg_frame_rate = rate;
    s->r_frame_rate = rate;
  }
  return s;
}

// The first top-level box of type `type` in `bytes`; empty when there is none.
std::vector<std::uint8_t> topBox(std::vector<std::uint8_t> const& bytes, char const* type) {
  for (std::size_t at = 0; at + 8 <= bytes.size();) {
    std::uint32_t size = 0;
    for (int i = 0; i < 4; ++i) size = size << 8 | bytes[at + i];
    if (size < 8 || at + size > bytes.size()) break;
    if (std::memcmp(&bytes[at + 4], type, 4) == 0)
      return std::vector<std::uint8_t>(bytes.begin() + at, bytes.begin() + at + size);
    at += size;
  }
  return {};
}

std::uint32_t sizeAt(std::vector<std::uint8_t> const& b, std::size_t at) {
  std::uint32_t size = 0;
  for (int i = 0; i < 4; ++i) size = size << 8 | b[at + i];
  return size;
}

void growAt(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t by) {
  std::uint32_t const size = sizeAt(b, at) + by;
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(size >> (24 - 8 * i));
}

// The child box of type `type` of the box at `box` in `b`; 0 when none.
std::size_t childOf(std::vector<std::uint8_t> const& b, std::size_t box, char const* type) {
  std::size_t const end = box + sizeAt(b, box);
  for (std::size_t at = box + 8; at + 8 <= end;) {
    std::uint32_t const size = sizeAt(b, at);
    if (size < 8 || at + size > end) break;
    if (std::memcmp(&b[at + 4], type, 4) == 0) return at;
    at += size;
  }
  return 0;
}

// Gives the track of an initial moov an edit list that starts presenting at
// media time `start`: what precedes it (AAC priming, the B-frame delay of H.264)
// is not shown, as in the closed file. The edit runs to the end of the fragments.
bool startPresentationAt(std::vector<std::uint8_t>& moov, std::uint32_t start) {
  std::size_t const trak = childOf(moov, 0, "trak");
  std::size_t const tkhd = trak ? childOf(moov, trak, "tkhd") : 0;
  if (!tkhd || childOf(moov, trak, "edts")) return false;
  IsoBoxWriter edts;
  edts.begin("edts");
  edts.beginFull("elst", 0, 0);
  edts.u32(1);
  edts.u32(0);  // duration: all there is
  edts.u32(start);
  edts.u32(0x00010000);  // rate 1
  edts.end();
  edts.end();
  auto const& box = edts.bytes();
  moov.insert(moov.begin() + static_cast<std::ptrdiff_t>(tkhd + sizeAt(moov, tkhd)), box.begin(),
              box.end());
  growAt(moov, trak, static_cast<std::uint32_t>(box.size()));
  growAt(moov, 0, static_cast<std::uint32_t>(box.size()));
  return true;
}

}  // namespace

struct HybridMp4::Impl {
  enum class Phase { Header, Samples, Trailer };

  ~Impl() {
    for (AVPacket*& p : pending) av_packet_free(&p);
    if (io) {
      av_freep(&io->buffer);
      avio_context_free(&io);
    }
    avformat_free_context(muxer);
    if (fd >= 0) ::close(fd);
  }

  // What the regular muxer writes: its header and trailer go into the file, the
  // samples (already there, inside fragments) nowhere, nor its mdat size, which
  // finish() writes for the whole span.
  static int ioWrite(void* opaque, IoBuffer data, int n) {
    auto* m = static_cast<Impl*>(opaque);
    std::int64_t from = m->ioPos, skip = 0;
    if (m->phase == Phase::Header) m->header.insert(m->header.end(), data, data + n);
    if (m->phase == Phase::Samples) {
      if (m->captured.empty()) m->captureAt = from;
      m->captured.insert(m->captured.end(), data, data + n);
    }
    if (m->phase == Phase::Trailer && from < m->dataEnd) skip = m->dataEnd - from;
    if (m->phase != Phase::Samples && skip < n) {
      int const rc = putAt(m->fd, data + skip, static_cast<std::size_t>(n - skip), from + skip);
      if (rc < 0) {
        if (!m->error) m->error = rc;
        return rc;
      }
    }
    m->ioPos += n;
    if (m->ioPos > m->ioEnd) m->ioEnd = m->ioPos;
    return n;
  }

  static std::int64_t ioSeek(void* opaque, std::int64_t offset, int whence) {
    auto* m = static_cast<Impl*>(opaque);
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE) return m->ioEnd;
    std::int64_t const to = whence == SEEK_SET   ? offset
                            : whence == SEEK_CUR ? m->ioPos + offset
                            : whence == SEEK_END ? m->ioEnd + offset
                                                 : -1;
    if (to < 0) return AVERROR(EINVAL);
    m->ioPos = to;
    return to;
  }

  // FFmpeg's initial moov of a fragmented file for the same stream.
  static int fragmentedIndex(char const* name, AVCodecContext const* codec, AVRational timeBase,
                             AVRational rate, AVDictionary const* options,
                             std::vector<std::uint8_t>& moov, AVRational& trackTimeBase) {
    AVFormatContext* f = nullptr;
    int rc = avformat_alloc_output_context2(&f, nullptr, name, nullptr);
    if (rc < 0) return rc;
    AVDictionary* own = nullptr;
    av_dict_copy(&own, options, 0);
    av_dict_set(&own, "movflags", "empty_moov+default_base_moof+frag_custom", 0);
    AVStream* s = addStream(f, codec, timeBase, rate);
    rc = s ? avio_open_dyn_buf(&f->pb) : AVERROR(ENOMEM);
    if (rc >= 0) rc = avformat_write_header(f, &own);
    av_dict_free(&own);
    if (rc >= 0) {
      avio_flush(f->pb);
      trackTimeBase = s->time_base;
    }
    if (f->pb) {
      std::uint8_t* bytes = nullptr;
      int const n = avio_close_dyn_buf(f->pb, &bytes);
      f->pb = nullptr;
      if (rc >= 0) moov = topBox(std::vector<std::uint8_t>(bytes, bytes + n), "moov");
      av_free(bytes);
    }
    avformat_free_context(f);
    if (rc >= 0 && moov.empty()) rc = AVERROR_BUG;
    return rc < 0 ? rc : 0;
  }

  int seek(std::int64_t to) {
    std::int64_t const at = avio_seek(io, to, SEEK_SET);
    return at < 0 ? static_cast<int>(at) : 0;
  }

  int put(std::vector<std::uint8_t> const& bytes, std::int64_t at) {
    return putAt(fd, bytes.data(), bytes.size(), at);
  }

  // Writes the pending packets as one fragment at the end of the file. The muxer
  // takes them first, at the positions they are to have, and what it writes of
  // them (H.264 with its start codes made lengths) is what the fragment holds.
  // `nextDts` ends the last one's duration (none: its own).
  int flush(std::int64_t nextDts) {
    if (pending.empty()) return 0;
    std::size_t const n = pending.size();
    std::vector<FragmentSample> samples(n);
    std::uint64_t given = 0;
    for (std::size_t i = 0; i < n; ++i) {
      AVPacket const* p = pending[i];
      std::int64_t const next = i + 1 < n ? pending[i + 1]->dts : nextDts;
      std::int64_t duration = next != AV_NOPTS_VALUE ? next - p->dts : p->duration;
      if (duration <= 0 && i > 0) duration = samples[i - 1].duration;
      samples[i].duration = static_cast<std::uint32_t>(duration > 0 ? duration : 0);
      samples[i].compositionOffset = static_cast<std::int32_t>(p->pts - p->dts);
      samples[i].sync = (p->flags & AV_PKT_FLAG_KEY) != 0;
      given += static_cast<std::uint64_t>(p->size);
    }
    // Samples shown wholly before time 0 (AAC's priming) stay out of the
    // fragments: FFmpeg would play them there, where it drops them from the
    // closed file. The first that stays is decoded at fragment time 0.
    std::size_t skip = 0;
    if (!indexed) {
      while (skip + 1 < n && pending[skip]->pts + samples[skip].duration <= 0) ++skip;
      firstDts = pending[skip]->dts;
    }
    std::vector<FragmentSample> kept(samples.begin() + static_cast<std::ptrdiff_t>(skip),
                                     samples.end());
    std::uint64_t const base = static_cast<std::uint64_t>(pending[skip]->dts - firstDts);
    // The moof's size does not depend on the samples' sizes.
    std::uint32_t const mdatHeader = given > 0x7fffffffu ? 16 : 8;
    std::size_t const moofSize = movieFragment(0, base, kept, mdatHeader).size();
    std::vector<std::uint8_t> index;
    if (!indexed) {
      // The initial index, now that the first decoding time is known.
      index = moov;
      if (firstDts < 0 && !startPresentationAt(index, static_cast<std::uint32_t>(-firstDts)))
        return AVERROR_BUG;
    }
    std::int64_t const dataAt =
        end + static_cast<std::int64_t>(index.size() + moofSize + mdatHeader);
    captured.clear();
    int rc = seek(dataAt);
    std::uint64_t skipped = 0;
    for (std::size_t i = 0; i < n; ++i) {
      std::int64_t const before = avio_tell(io);
      if (rc >= 0) rc = av_write_frame(muxer, pending[i]);
      samples[i].size = static_cast<std::uint32_t>(avio_tell(io) - before);
      if (i < skip)
        skipped += samples[i].size;
      else
        kept[i - skip].size = samples[i].size;
      av_packet_free(&pending[i]);
    }
    pending.clear();
    maxPts = AV_NOPTS_VALUE;
    avio_flush(io);
    if (rc < 0) return rc;
    if (error) return error;
    std::uint64_t sized = 0;
    for (auto const& sample : samples) sized += sample.size;
    if (captureAt != dataAt || sized != captured.size()) return AVERROR_BUG;
    IsoBoxWriter out;
    auto& bytes = out.bytes();
    bytes = std::move(index);
    auto const moof = movieFragment(++sequence, base, kept, mdatHeader + skipped);
    bytes.insert(bytes.end(), moof.begin(), moof.end());
    writeMdatHeader(out, captured.size(), mdatHeader);
    bytes.insert(bytes.end(), captured.begin(), captured.end());
    rc = put(bytes, end);
    if (rc < 0) return rc;
    end += static_cast<std::int64_t>(bytes.size());
    indexed = true;
    return 0;
  }

  int fd = -1;
  AVFormatContext* muxer = nullptr;
  AVIOContext* io = nullptr;
  AVStream* stream = nullptr;
  Phase phase = Phase::Header;
  std::vector<std::uint8_t> header;
  std::vector<std::uint8_t> moov;      // FFmpeg's initial index of a fragmented file
  bool indexed = false;                // whether it is in the file
  std::vector<std::uint8_t> captured;  // the samples of a fragment, as the muxer writes them
  std::int64_t captureAt = -1;
  std::int64_t ioPos = 0, ioEnd = 0;
  std::int64_t mdatAt = 0;   // the muxer's mdat header
  std::int64_t end = 0;      // the end of what is in the file
  std::int64_t dataEnd = 0;  // the end of the samples, once finishing
  int error = 0;
  std::vector<AVPacket*> pending;
  std::int64_t firstDts = 0;             // fragment time 0, in decoding time
  std::int64_t maxPts = AV_NOPTS_VALUE;  // of the pending packets
  std::int64_t fragmentTicks = 0;
  std::uint32_t sequence = 0;
  bool begun = false;
};

HybridMp4::HybridMp4() : impl_(std::make_unique<Impl>()) {}
HybridMp4::~HybridMp4() = default;

int HybridMp4::create(std::string const& path) {
  impl_->fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  return impl_->fd < 0 ? AVERROR(errno) : 0;
}

int HybridMp4::begin(char const* name, AVCodecContext const* codec, AVRational timeBase,
                     AVRational rate, AVDictionary** options) {
  Impl& m = *impl_;
  if (m.fd < 0 || m.muxer) return AVERROR(EINVAL);
  int rc = avformat_alloc_output_context2(&m.muxer, nullptr, name, nullptr);
  if (rc < 0) return rc;
  m.stream = addStream(m.muxer, codec, timeBase, rate);
  if (!m.stream) return AVERROR(ENOMEM);
  int const bufferSize = 1 << 15;
  auto* buffer = static_cast<unsigned char*>(av_malloc(bufferSize));
  if (buffer)
    m.io = avio_alloc_context(buffer, bufferSize, 1, &m, nullptr, Impl::ioWrite, Impl::ioSeek);
  if (!m.io) {
    av_free(buffer);
    return AVERROR(ENOMEM);
  }
  m.muxer->pb = m.io;
  m.muxer->flags |= AVFMT_FLAG_CUSTOM_IO;

  AVRational trackTimeBase{0, 1};
  rc = Impl::fragmentedIndex(name, codec, timeBase, rate, options ? *options : nullptr, m.moov,
                             trackTimeBase);
  if (rc < 0) return rc;
  rc = avformat_write_header(m.muxer, options);
  if (rc < 0) return rc;
  avio_flush(m.io);
  if (m.error) return m.error;
  // The header ends with the mdat header, its size to come: a free box until then.
  std::size_t const n = m.header.size();
  if (n < 16 || std::memcmp(&m.header[n - 4], "mdat", 4) != 0 ||
      av_cmp_q(trackTimeBase, m.stream->time_base) != 0)
    return AVERROR_BUG;
  m.mdatAt = static_cast<std::int64_t>(n) - 8;
  IsoBoxWriter free;
  free.u32(8);
  free.type("free");
  rc = m.put(free.bytes(), m.mdatAt);
  if (rc < 0) return rc;
  m.end = static_cast<std::int64_t>(n);
  m.fragmentTicks = av_rescale_q(1, kFragment, m.stream->time_base);
  m.phase = Impl::Phase::Samples;
  m.begun = true;
  return 0;
}

int HybridMp4::write(AVPacket* packet, AVRational from) {
  Impl& m = *impl_;
  if (!m.begun || m.phase != Impl::Phase::Samples) return AVERROR(EINVAL);
  av_packet_rescale_ts(packet, from, m.stream->time_base);
  packet->stream_index = m.stream->index;
  // A fragment ends once long enough, before a packet shown after every pending
  // one: a killed file then shows all it holds, no frame missing between.
  if (!m.pending.empty() && packet->dts - m.pending[0]->dts >= m.fragmentTicks &&
      packet->pts > m.maxPts) {
    int const rc = m.flush(packet->dts);
    if (rc < 0) return rc;
  }
  AVPacket* kept = av_packet_alloc();
  if (!kept) return AVERROR(ENOMEM);
  av_packet_move_ref(kept, packet);
  m.pending.push_back(kept);
  if (m.maxPts == AV_NOPTS_VALUE || kept->pts > m.maxPts) m.maxPts = kept->pts;
  return 0;
}

int HybridMp4::finish() {
  Impl& m = *impl_;
  if (!m.begun || m.phase != Impl::Phase::Samples) return AVERROR(EINVAL);
  int rc = m.flush(AV_NOPTS_VALUE);
  m.dataEnd = m.end;
  if (rc >= 0) rc = m.seek(m.end);
  m.phase = Impl::Phase::Trailer;
  if (rc >= 0) rc = av_write_trailer(m.muxer);
  if (rc >= 0) rc = m.error;
  if (rc >= 0) {
    // The mdat spans from its header to the moov, the wide form past 4 GiB as the
    // muxer does it: over the free box before.
    std::uint64_t const span = static_cast<std::uint64_t>(m.dataEnd - m.mdatAt);
    IsoBoxWriter head;
    if (span <= 0xffffffffu) {
      head.u32(static_cast<std::uint32_t>(span));
      head.type("mdat");
      rc = m.put(head.bytes(), m.mdatAt);
    } else {
      head.u32(1);
      head.type("mdat");
      head.u64(span + 8);
      rc = m.put(head.bytes(), m.mdatAt - 8);
    }
  }
  int const closed = ::close(m.fd);
  m.fd = -1;
  if (rc >= 0 && closed != 0) rc = AVERROR(errno);
  return rc < 0 ? rc : 0;
}

}  // namespace support
}  // namespace sluice
