#include "VideoFileWriter.h"

#include <boost/any.hpp>

extern "C" {
#include <libavutil/rational.h>
}

#include <climits>
#include <cmath>

#include "LibavSink.h"
#include "Mj2Sink.h"
#include "ostra/i18n.h"

namespace videofile {

namespace {

using namespace hostlib::multimedia;

template <typename T>
T const* option(sluice::PropertyMap const& options, char const* key, char const* wrongType) {
  auto it = options.find(key);
  if (it == options.end() || !it->second) return nullptr;
  auto value = boost::any_cast<T>(static_cast<boost::any const*>(it->second));
  if (!value) fail(wrongType);
  return value;
}

std::u16string lowerExtension(std::u16string const& name) {
  std::size_t const slash = name.find_last_of(u"/\\");
  std::size_t const dot = name.rfind(u'.');
  if (dot == std::u16string::npos || (slash != std::u16string::npos && dot < slash)) return u"";
  std::u16string ext = name.substr(dot + 1);
  for (auto& c : ext)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return ext;
}

// The converted frame record of the video filter (see FrameLayouts.h).
struct ConvertedFrame {
  std::vector<unsigned char const*> planes;
  FrameFormat format;
};

bool parseConverted(sluice::Record const& r, ConvertedFrame& f) {
  if (r.size() != 6) return false;
  auto planes = boost::any_cast<std::vector<unsigned char const*>>(&r[0]);
  auto w = boost::any_cast<std::size_t>(&r[1]);
  auto h = boost::any_cast<std::size_t>(&r[2]);
  auto type = boost::any_cast<VideoDataType>(&r[3]);
  auto fourCC = boost::any_cast<FourCCType>(&r[4]);
  auto layout = boost::any_cast<std::u16string>(&r[5]);
  if (!planes || !w || !h || !type || !fourCC || !layout || planes->size() != 3) return false;
  if (!videofilter::layoutFromName(*layout, f.format.layout)) return false;
  if (*fourCC != FOURCC_MONO && *fourCC != FOURCC_RGB_PLANAR) return false;
  f.planes = *planes;
  f.format.width = *w;
  f.format.height = *h;
  f.format.type = *type;
  f.format.bands = *fourCC == FOURCC_MONO ? 1 : 3;
  bool const yuv = f.format.layout == videofilter::Layout::YUVJ420P ||
                   f.format.layout == videofilter::Layout::YUV420PEven;
  return *w && *h && f.planes[0] && (!yuv || (f.planes[1] && f.planes[2]));
}

}  // namespace

VideoFileWriter::~VideoFileWriter() {
  try {
    close();
  } catch (...) {
    // nothing to report to from a destructor
  }
}

void VideoFileWriter::init(sluice::PropertyMap const& options, sluice::PropertyMap& result) {
  close();
  container_ = Container::None;
  haveSettings_ = false;
  auto name = option<std::u16string>(options, "OutputFileName", "invalidFileName");
  if (!name || name->empty()) fail("invalidFileName");
  auto format = option<std::u16string>(options, "FileFormat", "couldNotInitFile");
  bool const mjpeg = format && *format == u"MotionJpeg";
  if (format && !format->empty() && !mjpeg) fail("couldNotInitFile");

  std::u16string const ext = lowerExtension(*name);
  std::u16string expected;
  Container container;
  if (ext == u"avi") {
    container = mjpeg ? Container::MjpegAvi : Container::RawAvi;
    expected = libavExpectedFrameType(mjpeg ? LibavCodec::MjpegAvi : LibavCodec::RawAvi);
  } else if (ext == u"mp4" || ext == u"m4v") {
    container = Container::Mp4;
    expected = libavExpectedFrameType(LibavCodec::H264Mp4);
  } else if (ext == u"mj2") {
    container = Container::Mj2;
    expected = u"Planar";
  } else {
    fail("couldNotInitFile");
  }
  std::string path = ostra::i18n::to_utf8(*name);

  void*& slot = result["ExpectedFrameType"];
  if (slot)
    *static_cast<boost::any*>(slot) = expected;
  else
    slot = new boost::any(expected);
  container_ = container;
  path_ = std::move(path);
}

void VideoFileWriter::open(sluice::PropertyMap const& options) {
  if (container_ == Container::None) fail("unexpectedError");  // open before init
  close();
  EncodeSettings s;
  if (options.empty() && haveSettings_) {
    s = settings_;  // reopen with what the channel had
  } else {
    auto rate = option<double>(options, "FrameRate", "invalidFrameRate");
    if (!rate || !std::isfinite(*rate) || *rate <= 0) fail("invalidFrameRate");
    AVRational const q = av_d2q(*rate, INT_MAX);
    if (q.num <= 0 || q.den <= 0) fail("invalidFrameRate");
    s.frameRate = *rate;
    s.rateNum = q.num;
    s.rateDen = q.den;
    if (auto lossy = option<bool>(options, "Lossy", "couldNotInitFile")) s.lossy = *lossy;
    if (auto quality = option<double>(options, "Quality", "couldNotInitFile")) {
      s.quality = *quality;
      bool const used = container_ == Container::MjpegAvi || container_ == Container::Mp4;
      if (used && !(s.quality >= 0 && s.quality <= 100)) fail("couldNotInitFile");
    }
    // The library sends 0 when the host set no ratio: keep the default of 10.
    if (auto ratio = option<double>(options, "CompressionRatio", "couldNotInitFile"))
      if (*ratio != 0) {
        s.compressionRatio = *ratio;
        bool const used = container_ == Container::Mj2 && s.lossy;
        if (used && !(s.compressionRatio >= 1 && std::isfinite(s.compressionRatio)))
          fail("couldNotInitFile");
      }
  }
  switch (container_) {
    case Container::RawAvi: sink_ = makeLibavSink(path_, LibavCodec::RawAvi, s); break;
    case Container::MjpegAvi: sink_ = makeLibavSink(path_, LibavCodec::MjpegAvi, s); break;
    case Container::Mp4: sink_ = makeLibavSink(path_, LibavCodec::H264Mp4, s); break;
    case Container::Mj2: sink_ = makeMj2Sink(path_, s); break;
    case Container::None: fail("unexpectedError");
  }
  settings_ = s;
  haveSettings_ = true;
  started_ = false;
  broken_ = nullptr;
}

void VideoFileWriter::write(sluice::OwnedRecord& record) {
  if (!sink_) fail("unexpectedError");  // write before open
  if (broken_) fail(broken_);           // the encoder could not be set up
  ConvertedFrame frame;
  if (!parseConverted(record.record, frame)) fail("couldNotWriteFrame");
  if (!started_) {
    started_ = true;
    format_ = frame.format;
    try {
      sink_->begin(format_);
    } catch (...) {
      broken_ = "couldNotInitFile";
      throw;
    }
  } else if (frame.format.width != format_.width || frame.format.height != format_.height ||
             frame.format.bands != format_.bands || frame.format.type != format_.type ||
             frame.format.layout != format_.layout) {
    fail("couldNotWriteFrame");
  }
  sink_->write(frame.planes);
}

void VideoFileWriter::close() {
  if (!sink_) return;
  std::unique_ptr<FrameSink> sink = std::move(sink_);
  sink->finish();
}

void VideoFileWriter::term() {
  close();
  container_ = Container::None;
}

}  // namespace videofile
