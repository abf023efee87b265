#include "VideoFileReader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "Failure.h"
#include "LibavLog.h"
#include "Properties.h"
#include "RegularFile.h"
#include "ostra/i18n.h"

namespace sluice {
namespace videofile {

using namespace hostlib::multimedia;

namespace {

[[noreturn]] void fail(char const* identifier, std::string const& detail = std::string()) {
  support::fail("videofilereader", identifier, detail);
}

// A failure of FFmpeg's while reading: damaged data, or the file itself.
[[noreturn]] void failRead(char const* what, int code) {
  bool const io = code == AVERROR(EIO) || code == AVERROR(EACCES) || code == AVERROR(EBADF);
  fail(io ? "ReadFailed" : "FileCorrupt", std::string(what) + ": " + support::libavFailure(code));
}

struct FormatDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
  void operator()(AVFrame* f) const { av_frame_free(&f); }
  void operator()(AVPacket* p) const { av_packet_free(&p); }
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};
template <typename T>
using Owned = std::unique_ptr<T, FormatDeleter>;

// True when the first bytes of the file look like a format FFmpeg knows by
// content alone: such a file that FFmpeg cannot open is damaged.
bool contentLooksKnown(std::string const& path) {
  int const fd = support::openRegularFile(path);
  if (fd < 0) return false;
  std::vector<unsigned char> head(4096 + AVPROBE_PADDING_SIZE, 0);
  ssize_t const got = ::read(fd, head.data(), 4096);
  ::close(fd);
  AVProbeData probe;
  std::memset(&probe, 0, sizeof probe);
  probe.filename = "";
  probe.buf = head.data();
  probe.buf_size = got > 0 ? int(got) : 0;
  int score = 0;
  AVInputFormat const* format = av_probe_input_format2(&probe, 1, &score);
  return format && score >= AVPROBE_SCORE_MAX / 4;
}

std::string codecName(AVCodecID id) {
  switch (id) {
    case AV_CODEC_ID_H264:
      return "H.264";
    case AV_CODEC_ID_HEVC:
      return "H.265";
    case AV_CODEC_ID_MJPEG:
      return "Motion JPEG";
    case AV_CODEC_ID_JPEG2000:
      return "JPEG 2000";
    case AV_CODEC_ID_RAWVIDEO:
      return "Uncompressed";
    case AV_CODEC_ID_FFV1:
      return "FFV1";
    case AV_CODEC_ID_VP8:
      return "VP8";
    case AV_CODEC_ID_VP9:
      return "VP9";
    case AV_CODEC_ID_AV1:
      return "AV1";
    case AV_CODEC_ID_MPEG4:
      return "MPEG-4";
    case AV_CODEC_ID_MPEG2VIDEO:
      return "MPEG-2";
    case AV_CODEC_ID_GIF:
      return "GIF";
    case AV_CODEC_ID_PNG:
      return "PNG";
    case AV_CODEC_ID_PRORES:
      return "ProRes";
    default:
      break;
  }
  AVCodecDescriptor const* d = avcodec_descriptor_get(id);
  return d ? d->name : "unknown";
}

std::string formatName(AVFormatContext const* f, std::string const& path) {
  std::string const name = f->iformat->name;
  if (name.rfind("mov,", 0) == 0) {
    AVDictionaryEntry const* brand = av_dict_get(f->metadata, "major_brand", nullptr, 0);
    std::string const b = brand ? brand->value : "";
    if (b.rfind("mjp2", 0) == 0) return "MJ2";
    if (b.rfind("qt", 0) == 0) return "MOV";
    return "MP4";
  }
  if (name.rfind("matroska", 0) == 0) {
    std::string const ext = path.size() >= 5 ? path.substr(path.size() - 5) : "";
    bool const webm = ext.size() == 5 && ext[0] == '.' && (ext[1] | 32) == 'w' &&
                      (ext[2] | 32) == 'e' && (ext[3] | 32) == 'b' && (ext[4] | 32) == 'm';
    return webm ? "WebM" : "MKV";
  }
  std::string upper = name.substr(0, name.find(','));
  for (char& c : upper) c = char(c >= 'a' && c <= 'z' ? c - 32 : c);
  return upper;
}

// Whether the GIF file at `path` has a global colour table whose entries all
// have R = G = B.
bool grayGifPalette(std::string const& path) {
  unsigned char head[13 + 768];
  int const fd = support::openRegularFile(path);
  if (fd < 0) return false;
  ssize_t const got = ::read(fd, head, sizeof head);
  ::close(fd);
  if (got < 13 || !(head[10] & 0x80)) return false;
  std::size_t const entries = std::size_t(2) << (head[10] & 7);
  if (std::size_t(got) < 13 + 3 * entries) return false;
  for (std::size_t i = 0; i < entries; ++i) {
    unsigned char const* rgb = head + 13 + 3 * i;
    if (rgb[0] != rgb[1] || rgb[1] != rgb[2]) return false;
  }
  return true;
}

}  // namespace

// FFmpeg's demuxer, decoder and scaler on one file, and what a full read of it
// delivers: the count and presentation time of every frame.
class VideoFileReader::Decoder {
 public:
  explicit Decoder(std::string const& path) : path_(path) {
    support::routeLibavLogs();
    // A FIFO, a directory or a device is refused from its status, unopened.
    int const fd = support::openRegularFile(path);
    if (fd < 0) {
      int const e = errno;
      fail((e == EACCES || e == EPERM) ? "FilePermissionDenied" : "ReadFailed",
           path + ": " + (e == EINVAL ? "not a regular file" : std::strerror(e)));
    }
    struct stat st;
    bool const empty = ::fstat(fd, &st) == 0 && st.st_size == 0;
    ::close(fd);
    if (empty) fail("FileCorrupt", path + ": empty");
    openInput();
    AVCodecParameters const* par = stream_->codecpar;
    AVCodec const* codec = avcodec_find_decoder(par->codec_id);
    if (!codec) fail("CodecNotFound", "no decoder for " + codecName(par->codec_id));
    codecId_ = par->codec_id;
    countFrames();
    openDecoder(codec);
    packet_.reset(av_packet_alloc());
    frame_.reset(av_frame_alloc());
    if (!packet_ || !frame_) throw std::bad_alloc();
    // The first frame tells the decoded size and pixel format.
    if (frames_ > 0) {
      if (!decode()) fail("FileCorrupt", "no frame could be decoded");
      pending_ = true;
      width_ = frame_->width;
      height_ = frame_->height;
      chooseLayout(AVPixelFormat(frame_->format), frame_->data[1]);
    } else {
      width_ = par->width;
      height_ = par->height;
      chooseLayout(AVPixelFormat(par->format), nullptr);
    }
    if (width_ <= 0 || height_ <= 0) fail("FileCorrupt", "no picture size");
    AVRational rate = stream_->avg_frame_rate;
    if (rate.num <= 0 || rate.den <= 0) rate = stream_->r_frame_rate;
    frameRate_ = rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0;
    if (frameRate_ <= 0 && frames_ > 0 && stream_->duration > 0)
      frameRate_ = double(frames_) / (double(stream_->duration) * av_q2d(stream_->time_base));
  }

  ~Decoder() { closeInput(); }

  void report(PropertyMap& result) const {
    support::put(result, "Width", double(width_));
    support::put(result, "Height", double(height_));
    support::put(result, "FrameRate", frameRate_);
    support::put(result, "NumFrames", double(frames_));
    support::put(result, "Bands", double(bands()));
    support::put(result, "DataType", ostra::i18n::to_ustring(wide() ? "uint16" : "uint8"));
    support::put(result, "Codec", ostra::i18n::to_ustring(codecName(codecId_)));
    support::put(result, "Format", ostra::i18n::to_ustring(formatName(format_, path_)));
    support::put(result, "ExpectedFrameType", frameLayoutName(layout_));
  }

  std::size_t frameBytes() const {
    return std::size_t(width_) * std::size_t(height_) * bands() * (wide() ? 2 : 1);
  }
  std::int64_t position() const { return position_; }
  std::int64_t frames() const { return frames_; }

  // The next frame as a handed-over record; null at the end.
  Record* next() {
    if (position_ >= frames_ && !damage_.empty()) fail("FileCorrupt", damage_);
    if (position_ >= frames_) return nullptr;
    if (!pending_ && !decode())
      fail("FileCorrupt", "the stream ends at frame " + std::to_string(position_) + " of " +
                              std::to_string(frames_));
    pending_ = false;
    auto owned = std::make_unique<OwnedRecord>();
    owned->storage = Bytes(frameBytes());
    convert(owned->storage.data());
    ConvertedFrameView v;
    v.planes = {owned->storage.data(), nullptr, nullptr};
    v.width = std::size_t(width_);
    v.height = std::size_t(height_);
    v.type = wide() ? VIDEO_UINT16 : VIDEO_UINT8;
    v.fourCC = bands() == 1 ? FOURCC_MONO : FOURCC_RGB_PLANAR;
    v.layout = layout_;
    owned->record = makeConvertedFrameRecord(v);
    ++position_;
    return handOver(std::move(owned));
  }

  void seek(std::int64_t target) {
    if (target >= frames_) {  // the end: nothing to decode
      position_ = frames_;
      pending_ = false;
      return;
    }
    if (target == position_) return;
    // A little ahead: decoding on costs less than going back to a key frame.
    if (target > position_ && target - position_ <= 8) return skipTo(target);
    if (timed_) {
      // From the key frame before a frame a little before the target: a key frame
      // decoded before the frames it follows would start after the target.
      for (std::int64_t back : {0, 4, 32, 256}) {
        if (back > target) break;
        if (seekNear(pts_[std::size_t(target - back)], pts_[std::size_t(target)])) {
          position_ = target;
          return;
        }
      }
    }
    rewind();
    skipTo(target);
  }

  // Back to frame 0.
  void rewind() {
    if (position_ == 0 && (pending_ || frames_ == 0)) return;
    position_ = 0;
    if (timed_ && seekNear(pts_[0], pts_[0])) return;
    closeInput();
    openInput();
    AVCodec const* codec = avcodec_find_decoder(codecId_);
    if (!codec) fail("CodecNotFound");
    openDecoder(codec);
    pending_ = false;
  }

 private:
  void openInput() {
    input_ = std::make_unique<support::LibavInput>();
    int rc = input_->open(path_);
    format_ = input_->format();
    if (rc < 0) {
      if (rc == AVERROR(EACCES)) fail("FilePermissionDenied", path_);
      fail(contentLooksKnown(path_) ? "FileCorrupt" : "FileTypeNotSupported",
           path_ + ": " + support::libavFailure(rc));
    }
    // FFmpeg also opens text (as a terminal recording): no video file.
    if (std::strcmp(format_->iformat->name, "tty") == 0)
      fail("FileTypeNotSupported", path_ + ": text");
    rc = avformat_find_stream_info(format_, nullptr);
    if (rc < 0) fail("FileCorrupt", "no stream information: " + support::libavFailure(rc));
    stream_ = nullptr;
    for (unsigned i = 0; i < format_->nb_streams; ++i) {
      AVStream* s = format_->streams[i];
      bool const video = s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
                         !(s->disposition & AV_DISPOSITION_ATTACHED_PIC);
      if (video && !stream_) stream_ = s;
      s->discard = AVDISCARD_ALL;
    }
    if (!stream_) fail("NoVideo", path_);
    stream_->discard = AVDISCARD_DEFAULT;
    drained_ = false;
  }

  void closeInput() {
    decoder_.reset();
    scaler_.reset();
    input_.reset();
    format_ = nullptr;
    stream_ = nullptr;
  }

  void openDecoder(AVCodec const* codec) {
    decoder_.reset(avcodec_alloc_context3(codec));
    if (!decoder_) throw std::bad_alloc();
    int rc = avcodec_parameters_to_context(decoder_.get(), stream_->codecpar);
    if (rc < 0) fail("Unexpected", support::libavFailure(rc));
    decoder_->pkt_timebase = stream_->time_base;
    decoder_->thread_count = 0;
    // Damage is reported, never concealed.
    decoder_->err_recognition |= AV_EF_EXPLODE;
    rc = avcodec_open2(decoder_.get(), codec, nullptr);
    if (rc < 0) fail("CodecNotFound", "opening the decoder: " + support::libavFailure(rc));
    drained_ = false;
  }

  // The frames a full read delivers, by demuxing once without decoding, and their
  // presentation times for exact seeks. A second demuxer leaves the first at the
  // start.
  void countFrames() {
    support::LibavInput counter;
    int rc = counter.open(path_);
    if (rc < 0) failRead("counting frames", rc);
    AVFormatContext* f = counter.format();
    if (f->ctx_flags & AVFMTCTX_NOHEADER) {
      rc = avformat_find_stream_info(f, nullptr);
      if (rc < 0) failRead("counting frames", rc);
    }
    int const index = stream_->index;
    if (unsigned(index) >= f->nb_streams) fail("FileCorrupt", "streams differ on reading");
    for (unsigned i = 0; i < f->nb_streams; ++i)
      f->streams[i]->discard = int(i) == index ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    Owned<AVPacket> packet(av_packet_alloc());
    if (!packet) throw std::bad_alloc();
    pts_.clear();
    timed_ = true;
    frames_ = 0;
    while ((rc = av_read_frame(f, packet.get())) >= 0) {
      if (packet->stream_index == index && !(packet->flags & AV_PKT_FLAG_DISCARD)) {
        ++frames_;
        std::int64_t const t = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        if (t == AV_NOPTS_VALUE) timed_ = false;
        if (timed_) pts_.push_back(t);
      }
      av_packet_unref(packet.get());
    }
    // Damage in the container: the frames before it are read, the next fails.
    if (rc != AVERROR_EOF) damage_ = "counting frames: " + support::libavFailure(rc);
    std::sort(pts_.begin(), pts_.end());
    if (std::adjacent_find(pts_.begin(), pts_.end()) != pts_.end()) timed_ = false;
    if (!timed_) pts_.clear();
  }

  // Decodes the next frame into frame_; false at the end of the stream.
  bool decode() {
    for (;;) {
      int rc = avcodec_receive_frame(decoder_.get(), frame_.get());
      if (rc == 0) {
        if ((frame_->flags & AV_FRAME_FLAG_CORRUPT) || frame_->decode_error_flags)
          fail("FileCorrupt", "frame " + std::to_string(position_) + " is damaged");
        return true;
      }
      if (rc == AVERROR_EOF) return false;
      if (rc != AVERROR(EAGAIN)) failRead("decoding", rc);
      if (drained_) return false;
      rc = av_read_frame(format_, packet_.get());
      if (rc == AVERROR_EOF) {
        drained_ = true;
        rc = avcodec_send_packet(decoder_.get(), nullptr);
        if (rc < 0 && rc != AVERROR_EOF) failRead("decoding", rc);
        continue;
      }
      if (rc < 0) failRead("reading", rc);
      if (packet_->stream_index != stream_->index) {
        av_packet_unref(packet_.get());
        continue;
      }
      bool const damaged = packet_->flags & AV_PKT_FLAG_CORRUPT;
      if (!damaged) rc = avcodec_send_packet(decoder_.get(), packet_.get());
      av_packet_unref(packet_.get());
      if (damaged) fail("FileCorrupt", "a packet is damaged");
      if (rc < 0) failRead("decoding", rc);
    }
  }

  // Decodes on to frame `target` (> position_), dropping what precedes it.
  void skipTo(std::int64_t target) {
    if (pending_) {
      pending_ = false;
      ++position_;
    }
    for (; position_ < target; ++position_)
      if (!decode()) fail("SeekFailed", "the stream ends before frame " + std::to_string(target));
  }

  // Demuxer seek to the key frame at or before time `from`, then decoding up to
  // the frame presented at `at`, which becomes pending; false when the first frame
  // decoded there comes after `at` or no frame has that time.
  bool seekNear(std::int64_t from, std::int64_t at) {
    int rc = av_seek_frame(format_, stream_->index, from, AVSEEK_FLAG_BACKWARD);
    avcodec_flush_buffers(decoder_.get());
    drained_ = false;
    pending_ = false;
    if (rc < 0) return false;
    for (bool first = true;; first = false) {
      if (!decode()) return false;
      std::int64_t const t = frame_->best_effort_timestamp;
      if (t == AV_NOPTS_VALUE || (first && t > at)) return false;
      if (t == at) break;
      if (t > at) return false;
    }
    pending_ = true;
    return true;
  }

  void chooseLayout(AVPixelFormat pixels, std::uint8_t const* palette) {
    AVPixFmtDescriptor const* d = av_pix_fmt_desc_get(pixels);
    if (!d) fail("CodecNotFound", "no pixel format");
    int const colour = d->nb_components - ((d->flags & AV_PIX_FMT_FLAG_ALPHA) ? 1 : 0);
    bool gray = colour == 1 && !(d->flags & AV_PIX_FMT_FLAG_PAL);
    int depth = 0;
    for (int i = 0; i < d->nb_components; ++i) depth = std::max(depth, d->comp[i].depth);
    if ((d->flags & AV_PIX_FMT_FLAG_PAL) && palette) {
      // A palette whose entries all have R = G = B is grey.
      gray = true;
      for (int i = 0; i < 256 && gray; ++i) {
        std::uint32_t argb;
        std::memcpy(&argb, palette + 4 * i, 4);
        gray = ((argb >> 16) & 255) == ((argb >> 8) & 255) && ((argb >> 8) & 255) == (argb & 255);
      }
      depth = 8;
    }
    // FFmpeg decodes GIF to BGRA: its global palette tells grey files apart.
    if (codecId_ == AV_CODEC_ID_GIF) gray = grayGifPalette(path_);
    bool const deep = depth > 8;
    layout_ = gray ? (deep ? FrameLayout::Gray16 : FrameLayout::Gray8)
                   : (deep ? FrameLayout::RGB48 : FrameLayout::RGB24);
    output_ = gray ? (deep ? AV_PIX_FMT_GRAY16 : AV_PIX_FMT_GRAY8)
                   : (deep ? AV_PIX_FMT_RGB48 : AV_PIX_FMT_RGB24);
  }

  // frame_ into packed rows of the output layout at the first frame's size; YUV
  // with the frame's tagged matrix and range, BT.601 limited when untagged.
  void convert(std::uint8_t* out) {
    AVPixelFormat const in = AVPixelFormat(frame_->format);
    AVPixFmtDescriptor const* d = av_pix_fmt_desc_get(in);
    bool const yuv =
        d && !(d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) && d->nb_components >= 3;
    int const space =
        frame_->colorspace == AVCOL_SPC_UNSPECIFIED || frame_->colorspace == AVCOL_SPC_RGB
            ? SWS_CS_DEFAULT
            : int(frame_->colorspace);
    bool const full = frame_->color_range == AVCOL_RANGE_JPEG || in == AV_PIX_FMT_YUVJ420P ||
                      in == AV_PIX_FMT_YUVJ422P || in == AV_PIX_FMT_YUVJ444P ||
                      in == AV_PIX_FMT_YUVJ440P || in == AV_PIX_FMT_YUVJ411P;
    Conversion const now{frame_->width, frame_->height, in, space, full};
    if (!scaler_ || !(now == conversion_)) {
      scaler_.reset(sws_getContext(now.width, now.height, in, width_, height_, output_, SWS_BICUBIC,
                                   nullptr, nullptr, nullptr));
      if (!scaler_) fail("Unexpected", "no conversion from the decoded pixels");
      if (yuv)
        sws_setColorspaceDetails(scaler_.get(), sws_getCoefficients(space), full,
                                 sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
      conversion_ = now;
    }
    int const stride = width_ * int(bands()) * (wide() ? 2 : 1);
    std::uint8_t* planes[4] = {out, nullptr, nullptr, nullptr};
    int strides[4] = {stride, 0, 0, 0};
    int const rows = sws_scale(scaler_.get(), frame_->data, frame_->linesize, 0, frame_->height,
                               planes, strides);
    if (rows != height_) fail("Unexpected", "converting the decoded pixels");
  }

  std::size_t bands() const {
    return layout_ == FrameLayout::Gray8 || layout_ == FrameLayout::Gray16 ? 1 : 3;
  }
  bool wide() const { return layout_ == FrameLayout::RGB48 || layout_ == FrameLayout::Gray16; }

  std::string path_;
  std::unique_ptr<support::LibavInput> input_;
  AVFormatContext* format_ = nullptr;  // owned by input_
  AVStream* stream_ = nullptr;
  AVCodecID codecId_ = AV_CODEC_ID_NONE;
  Owned<AVCodecContext> decoder_;
  Owned<AVPacket> packet_;
  Owned<AVFrame> frame_;
  Owned<SwsContext> scaler_;
  // What scaler_ converts from.
  struct Conversion {
    int width, height;
    AVPixelFormat pixels;
    int space;
    bool full;
    bool operator==(Conversion const& o) const {
      return width == o.width && height == o.height && pixels == o.pixels && space == o.space &&
             full == o.full;
    }
  } conversion_{};
  bool drained_ = false;  // the end of the stream was sent to the decoder
  bool pending_ = false;  // frame_ holds frame position_, not yet delivered
  std::int64_t position_ = 0;
  std::int64_t frames_ = 0;
  std::vector<std::int64_t> pts_;  // presentation times in order, when timed_
  bool timed_ = false;
  std::string damage_;  // why the count stopped before the end of the file
  int width_ = 0, height_ = 0;
  double frameRate_ = 0;
  FrameLayout layout_ = FrameLayout::RGB24;
  AVPixelFormat output_ = AV_PIX_FMT_RGB24;
};

VideoFileReader::VideoFileReader() = default;
VideoFileReader::~VideoFileReader() = default;

void VideoFileReader::init(PropertyMap const& options, PropertyMap& result) {
  close();
  std::string path;
  if (!support::textOf(options, "Filename", path) || path.empty())
    fail("ReadFailed", "no Filename");
  decoder_.reset();
  decoder_ = std::make_unique<Decoder>(path);
  path_ = path;
  decoder_->report(result);
}

void VideoFileReader::open(PropertyMap const& options) {
  std::string path;
  if (support::textOf(options, "Filename", path) && !path.empty() && path != path_) {
    decoder_.reset();
    path_ = path;
  }
  if (path_.empty()) fail("Unexpected", "open before init");
  if (!decoder_)
    decoder_ = std::make_unique<Decoder>(path_);
  else
    decoder_->rewind();
  open_ = true;
}

void VideoFileReader::read(unsigned long count, std::vector<void*>& out, unsigned long& countRead) {
  countRead = 0;
  if (!open_ || !decoder_) fail("Unexpected", "read while not open");
  std::size_t const most = std::max<std::size_t>(1, kLargestReadBytes / decoder_->frameBytes());
  std::size_t const wanted = std::min<std::size_t>(count == 0 ? 1 : count, most);
  std::vector<void*> got;
  try {
    for (std::size_t i = 0; i < wanted; ++i) {
      Record* r = decoder_->next();
      if (!r) break;
      got.push_back(r);
    }
  } catch (...) {
    for (void* r : got) delete static_cast<Record*>(r);
    throw;
  }
  out.insert(out.end(), got.begin(), got.end());
  countRead = static_cast<unsigned long>(got.size());
}

void VideoFileReader::seek(unsigned long frame) {
  if (!open_ || !decoder_) fail("SeekFailed", "seek while not open");
  decoder_->seek(std::int64_t(frame));
}

void VideoFileReader::close() { open_ = false; }

void VideoFileReader::term() {
  close();
  decoder_.reset();
  path_.clear();
}

}  // namespace videofile
}  // namespace sluice
