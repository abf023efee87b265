#include "VideoFileWriter.h"

extern "C" {
#include <libavutil/rational.h>
}

#include <climits>
#include <cmath>

#include "Extension.h"
#include "LibavSink.h"
#include "Mj2Sink.h"
#include "Properties.h"
#include "ostra/i18n.h"

namespace sluice {
namespace videofile {

namespace {

using namespace hostlib::multimedia;

// The value under `key`; null when absent; a value of another type is refused
// with `wrongType`.
template <typename T>
T const* option(PropertyMap const& options, char const* key, char const* wrongType) {
  bool otherType = false;
  auto value = support::valueOf<T>(options, key, &otherType);
  if (otherType) fail(wrongType);
  return value;
}

}  // namespace

VideoFileWriter::~VideoFileWriter() {
  try {
    close();
  } catch (...) {
    // nothing to report to from a destructor
  }
}

void VideoFileWriter::init(PropertyMap const& options, PropertyMap& result) {
  close();
  container_ = Container::None;
  haveSettings_ = false;
  auto name = option<std::u16string>(options, "OutputFileName", "invalidFileName");
  if (!name || name->empty()) fail("invalidFileName");
  auto format = option<std::u16string>(options, "FileFormat", "couldNotInitFile");
  bool const mjpeg = format && *format == u"MotionJpeg";
  if (format && !format->empty() && !mjpeg) fail("couldNotInitFile");

  std::string path = ostra::i18n::to_utf8(*name);
  std::string const ext = support::lowerExtension(path);
  Container container = Container::None;
  std::u16string expected;
  if (ext == "avi") {
    container = mjpeg ? Container::MjpegAvi : Container::RawAvi;
    expected = libavExpectedFrameType(mjpeg ? LibavCodec::MjpegAvi : LibavCodec::RawAvi);
  } else if (ext == "mp4" || ext == "m4v") {
    container = Container::Mp4;
    expected = libavExpectedFrameType(LibavCodec::H264Mp4);
  } else if (ext == "mj2") {
    container = Container::Mj2;
    expected = u"Planar";
  } else {
    fail("couldNotInitFile");
  }
  support::put(result, "ExpectedFrameType", expected);
  container_ = container;
  path_ = std::move(path);
}

EncodeSettings VideoFileWriter::settingsFrom(PropertyMap const& options) const {
  EncodeSettings s;
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
  return s;
}

void VideoFileWriter::open(PropertyMap const& options) {
  if (container_ == Container::None) fail("unexpectedError");  // open before init
  close();
  // An empty map reopens with what the channel had.
  EncodeSettings const s = options.empty() && haveSettings_ ? settings_ : settingsFrom(options);
  switch (container_) {
    case Container::RawAvi:
      sink_ = makeLibavSink(path_, LibavCodec::RawAvi, s);
      break;
    case Container::MjpegAvi:
      sink_ = makeLibavSink(path_, LibavCodec::MjpegAvi, s);
      break;
    case Container::Mp4:
      sink_ = makeLibavSink(path_, LibavCodec::H264Mp4, s);
      break;
    case Container::Mj2:
      sink_ = makeMj2Sink(path_, s);
      break;
    case Container::None:
      fail("unexpectedError");
  }
  settings_ = s;
  haveSettings_ = true;
  started_ = false;
  broken_ = nullptr;
}

void VideoFileWriter::write(OwnedRecord& record) {
  if (!sink_) fail("unexpectedError");  // write before open
  if (broken_) fail(broken_);           // the encoder could not be set up
  ConvertedFrameView frame;
  if (!parseConvertedFrameRecord(record.record, frame)) fail("couldNotWriteFrame");
  FrameFormat const format{frame.width, frame.height, frame.bands(), frame.type, frame.layout};
  if (!started_) {
    started_ = true;
    format_ = format;
    try {
      sink_->begin(format_);
    } catch (...) {
      broken_ = "couldNotInitFile";
      throw;
    }
  } else if (format != format_) {
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
}  // namespace sluice
