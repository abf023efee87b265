#include "hostlib/multimedia/fmmfb2videoreader.h"

#include <boost/any.hpp>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "channel/ConvertFailures.h"
#include "channel/DeliveredRecords.h"
#include "channel/OwnedResultMap.h"
#include "channel/PluginName.h"
#include "channel/ReadingChannel.h"
#include "errors/ErrorCatalogues.h"
#include "sluice/records.h"

namespace hostlib {
namespace multimedia {

namespace {

const char* const kOpenMessage =
    "Unexpected exception occurred when opening channel to read from the file";
const char* const kReadMessage = "Unexpected exception occurred when reading data from the file";
const char* const kSeekMessage = "Unexpected exception occurred when seeking in the file";
const char* const kCloseMessage =
    "Unexpected exception occurred when closing channel to read from the file";

// What the device must report at init; anything missing or out of range is the
// device's fault, reported as an unexpected read failure.
[[noreturn]] void refuseFacts() {
  throw Exception("VideoRead", videoReadErrorCatalogue().at("Unexpected"));
}

template <typename T>
T fact(PropertyMap const& result, char const* key) {
  T const* value = reportedValue<T>(result, key);
  if (!value) refuseFacts();
  return *value;
}

// A whole number reported as a double, within [low, high].
unsigned long count(PropertyMap const& result, char const* key, double low, double high) {
  double value = fact<double>(result, key);
  if (!(value >= low && value <= high) || value != std::floor(value)) refuseFacts();
  return static_cast<unsigned long>(value);
}

sluice::InputStream& inputOf(ChannelManager& manager) {
  sluice::InputStream* input = manager.getChannel()->getInputStream();
  if (!input) throw std::logic_error("channel has no input stream");
  return *input;
}

}  // namespace

fmmfb2videoreader::fmmfb2videoreader(const std::u16string& fileName, const char* channelPluginName,
                                     const char* converterPluginName, const char* filterPluginName)
    : channelManager(nullptr),
      fileName(existingInputFile(fileName)),
      filterName(pluginName(filterPluginName)),
      width(0),
      height(0),
      frameRate(0),
      numFrames(0),
      numBands(0),
      videoDataType(VIDEO_INVALID),
      endOfVideo(false) {
  channelManager =
      newReadingChannel(channelPluginName, converterPluginName, new VideoReadEventHandler());
}

fmmfb2videoreader::~fmmfb2videoreader() { delete channelManager; }

void fmmfb2videoreader::open() {
  OwnedResultMap result;
  initReadingChannel(*channelManager, fileName, result);
  // Frames and pixels are counted in size_t and unsigned long; a device's figure
  // beyond 2^53 could not have been exact in a double anyway.
  double const limit = 9007199254740992.0;
  width = count(*result, "Width", 1, limit);
  height = count(*result, "Height", 1, limit);
  numFrames = count(*result, "NumFrames", 0, limit);
  numBands = count(*result, "Bands", 1, 3);
  frameRate = fact<double>(*result, "FrameRate");
  if (numBands == 2 || !(frameRate > 0) || std::isinf(frameRate)) refuseFacts();
  std::u16string const dataType = fact<std::u16string>(*result, "DataType");
  if (dataType == sluice::videoTypeName(VIDEO_UINT8)) {
    videoDataType = VIDEO_UINT8;
  } else if (dataType == sluice::videoTypeName(VIDEO_UINT16)) {
    videoDataType = VIDEO_UINT16;
  } else {
    refuseFacts();
  }
  codec = fact<std::u16string>(*result, "Codec");
  format = fact<std::u16string>(*result, "Format");

  // The filter turns what the device decodes into the host's planes.
  boost::any inputFrameType(fact<std::u16string>(*result, "ExpectedFrameType"));
  boost::any outputFrameType(std::u16string(u"RawPlanarColumn"));
  PropertyMap filterOptions;
  filterOptions["InputFrameType"] = &inputFrameType;
  filterOptions["OutputFrameType"] = &outputFrameType;
  try {
    inputOf(*channelManager).addFilter(filterName, filterOptions);
  } catch (...) {
    try {
      inputOf(*channelManager).addFilter(pluginFileNamePart(filterName), filterOptions);
    } catch (...) {
      throw FilterCreationFailedException();
    }
  }

  PropertyMap noOptions;
  convertFailures(kOpenMessage, [&] { channelManager->getChannel()->open(noOptions); });
  endOfVideo = false;
}

size_t fmmfb2videoreader::getWidth() { return width; }
size_t fmmfb2videoreader::getHeight() { return height; }
double fmmfb2videoreader::getFrameRate() { return frameRate; }
unsigned long fmmfb2videoreader::getNumFrames() { return numFrames; }
double fmmfb2videoreader::getDuration() { return frameRate > 0 ? numFrames / frameRate : 0.0; }
size_t fmmfb2videoreader::getNumBands() { return numBands; }
VideoDataType fmmfb2videoreader::getVideoDataType() { return videoDataType; }
std::u16string fmmfb2videoreader::getCodec() { return codec; }
std::u16string fmmfb2videoreader::getFormat() { return format; }

unsigned long fmmfb2videoreader::readVideo(unsigned char** data, const unsigned long& count) {
  if (!data) throw UnexpectedException(kReadMessage);
  *data = nullptr;
  if (endOfVideo) return 0;

  DeliveredRecords records;
  unsigned long countRead = 0;
  convertFailures(kReadMessage, [&] {
    inputOf(*channelManager).read(count == 0 ? 1 : count, records.list(), countRead);
  });
  std::vector<void*> const& list = records.list();
  if (list.empty() && countRead == 0) {
    endOfVideo = true;
    return 0;
  }

  // One frame a record, each of the size and layout open() reported: the buffer
  // is sized from those, so anything else would be written out of bounds.
  std::size_t const elementSize = sluice::videoElementSize(videoDataType);
  std::size_t planeBytes = 0;
  std::size_t bufferBytes = 0;
  if (list.size() != countRead || __builtin_mul_overflow(width, height, &planeBytes) ||
      __builtin_mul_overflow(planeBytes, elementSize, &planeBytes) ||
      __builtin_mul_overflow(planeBytes, numBands * countRead, &bufferBytes)) {
    throw UnexpectedException(kReadMessage);
  }
  FourCCType const fourCC = numBands == 1 ? FOURCC_MONO : FOURCC_RGB_PLANAR;
  std::vector<sluice::FrameRecordView> frames(list.size());
  for (std::size_t i = 0; i < list.size(); ++i) {
    sluice::FrameRecordView& frame = frames[i];
    if (!list[i] || !sluice::parseFrameRecord(*static_cast<sluice::Record*>(list[i]), frame) ||
        frame.planes.size() != 3 || frame.width != width || frame.height != height ||
        frame.type != videoDataType || frame.fourCC != fourCC) {
      throw UnexpectedException(kReadMessage);
    }
    for (std::size_t band = 0; band < numBands; ++band)
      if (!frame.planes[band]) throw UnexpectedException(kReadMessage);
  }

  std::unique_ptr<unsigned char[]> buffer(new unsigned char[bufferBytes]);
  unsigned char* out = buffer.get();
  for (sluice::FrameRecordView const& frame : frames)
    for (std::size_t band = 0; band < numBands; ++band, out += planeBytes)
      std::memcpy(out, frame.planes[band], planeBytes);
  *data = buffer.release();
  return countRead;
}

bool fmmfb2videoreader::isEndOfVideo() { return endOfVideo; }

void fmmfb2videoreader::seekFrame(const unsigned long& index) {
  convertFailures(kSeekMessage, [&] { inputOf(*channelManager).seek(index); });
  endOfVideo = false;
}

void fmmfb2videoreader::close() {
  convertFailures(kCloseMessage, [&] { channelManager->getChannel()->close(); });
}

}  // namespace multimedia
}  // namespace hostlib
