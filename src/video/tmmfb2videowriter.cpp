#include "hostlib/multimedia/tmmfb2videowriter.h"

#include <boost/any.hpp>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "channel/EventHandler.h"
#include "channel/OwnedResultMap.h"
#include "sluice/records.h"

namespace hostlib {
namespace multimedia {

const char* const tmmfb2videowriter::FILENAME = "OutputFileName";
const char* const tmmfb2videowriter::FILE_FORMAT = "FileFormat";
const char* const tmmfb2videowriter::EXPECTED_FRAME_TYPE = "ExpectedFrameType";
const char* const tmmfb2videowriter::INPUT_FRAME_TYPE = "InputFrameType";
const char* const tmmfb2videowriter::OUTPUT_FRAME_TYPE = "OutputFrameType";
const char* const tmmfb2videowriter::OUTPUT_DATA_TYPE = "OutputDataType";
const char* const tmmfb2videowriter::FRAME_RATE = "FrameRate";
const char* const tmmfb2videowriter::VIDEO_QUALITY = "Quality";
const char* const tmmfb2videowriter::COMPRESSION_RATIO = "CompressionRatio";
const char* const tmmfb2videowriter::IS_LOSSY = "Lossy";
const char* const tmmfb2videowriter::BIT_DEPTH = "BitDepth";

namespace {

// Element type stored in a Motion JPEG 2000 file (file type 8), indexed by the
// caller's VideoDataType (0 to 8): the codec takes 8 or 16-bit integers only.
const VideoDataType kMj2OutputTypes[] = {VIDEO_INT16, VIDEO_INT16,  VIDEO_INT8,
                                         VIDEO_UINT8, VIDEO_INT16,  VIDEO_UINT16,
                                         VIDEO_INT16, VIDEO_UINT16, VIDEO_UINT8};
template <typename T, size_t N>
bool inTable(std::int32_t value, T const (&)[N]) {
  return value >= 0 && static_cast<size_t>(value) < N;
}

const char* const kMotionJpegMethod = "MJPEG Compressor";
const char* const kLossyMethod = "Lossy";

[[noreturn]] void refusePadding(std::string const& reason) {
  throw VideoWriteException("Cannot pad the video frame to an even height: " + reason);
}

// A plane from which `columns` columns of `columnBytes` bytes are to be read must
// be there; a plane from which nothing is read may be null.
void requirePlane(const unsigned char* plane, size_t columns, size_t columnBytes, int index) {
  if (plane == nullptr && columns != 0 && columnBytes != 0) {
    refusePadding("plane " + std::to_string(index) + " is null");
  }
}

// Copies `columns` columns of `columnBytes` bytes from `source` into a new array
// of `arrayBytes` bytes whose columns are `paddedColumnBytes` long. Every byte not
// copied (the pad at the end of each column, and what follows the last column) is
// zero. Writing the zeros alongside the copy touches each byte once, instead of
// clearing the whole array first and copying over it.
std::unique_ptr<unsigned char[]> padPlane(const unsigned char* source, size_t columns,
                                          size_t columnBytes, size_t paddedColumnBytes,
                                          size_t arrayBytes) {
  std::unique_ptr<unsigned char[]> padded(new unsigned char[arrayBytes]);
  unsigned char* out = padded.get();
  const size_t padBytes = paddedColumnBytes - columnBytes;
  for (size_t c = 0; c < columns; ++c) {
    if (columnBytes != 0) {
      std::memcpy(out, source + c * columnBytes, columnBytes);
    }
    std::memset(out + columnBytes, 0, padBytes);
    out += paddedColumnBytes;
  }
  std::memset(out, 0, arrayBytes - columns * paddedColumnBytes);
  return padded;
}

}  // namespace

tmmfb2videowriter::tmmfb2videowriter(std::u16string const& fileName, char const* channelPluginName,
                                     char const* converterPluginName, char const* filterPluginName)
    : tmmfb2filewriter(fileName, channelPluginName, converterPluginName, filterPluginName,
                       new VideoEventHandler()),
      frameRate(0.0),
      width(0),
      height(0),
      videoDataType(VIDEO_INVALID),
      fourCC(FOURCC_NONE),
      fileType(FILETYPE_NONE),
      videoQuality(0),
      compressionFactor(0) {}

tmmfb2videowriter::~tmmfb2videowriter() = default;

double tmmfb2videowriter::getFrameRate() { return frameRate; }
void tmmfb2videowriter::setFrameRate(const double& value) { frameRate = value; }
size_t tmmfb2videowriter::getWidth() { return width; }
void tmmfb2videowriter::setWidth(const size_t& value) { width = value; }
size_t tmmfb2videowriter::getHeight() { return height; }
void tmmfb2videowriter::setHeight(const size_t& value) { height = value; }
VideoDataType tmmfb2videowriter::getVideoDataType() { return videoDataType; }
void tmmfb2videowriter::setVideoDataType(const VideoDataType& value) { videoDataType = value; }
FourCCType tmmfb2videowriter::getFourCC() { return fourCC; }
void tmmfb2videowriter::setFourCC(const FourCCType& value) { fourCC = value; }
MMFileType tmmfb2videowriter::getFileType() { return fileType; }
void tmmfb2videowriter::setFileType(const MMFileType& value) { fileType = value; }
size_t tmmfb2videowriter::getVideoQuality() { return videoQuality; }
void tmmfb2videowriter::setVideoQuality(const size_t& value) { videoQuality = value; }
size_t tmmfb2videowriter::getCompressionFactor() { return compressionFactor; }
void tmmfb2videowriter::setCompressionFactor(const size_t& value) { compressionFactor = value; }
std::string tmmfb2videowriter::getCompressionMethod() { return compressionMethod; }
void tmmfb2videowriter::setCompressionMethod(const std::string& value) {
  compressionMethod = value;
}

size_t tmmfb2videowriter::getNumBands() {
  // Layouts without a table entry carry no bands.
  return sluice::fourCCBands(fourCC);
}

std::u16string tmmfb2videowriter::computeOutputFileFormat() {
  if (fileType == FILETYPE_AVI && compressionMethod == kMotionJpegMethod) {
    return u"MotionJpeg";
  }
  return std::u16string();
}

std::u16string tmmfb2videowriter::computeInputFrameTypeForFilter() {
  switch (fourCC) {
    case FOURCC_RGB_PLANAR:
    case FOURCC_MONO:
      return u"RawPlanarColumn";
    case FOURCC_YUV422_PLANAR:
      return u"YUV422PlanarColumn";
    default:
      return std::u16string();
  }
}

std::u16string tmmfb2videowriter::computeOutputDataTypeForFilter() {
  if (fileType == FILETYPE_MJ2 && inTable(videoDataType, kMj2OutputTypes)) {
    return sluice::videoTypeName(kMj2OutputTypes[videoDataType]);
  }
  return sluice::videoTypeName(VIDEO_INVALID);
}

bool tmmfb2videowriter::isLossy() {
  return fileType == FILETYPE_MJ2 && compressionMethod == kLossyMethod;
}

void tmmfb2videowriter::open() {
  if (getIsOpen()) {
    return;
  }

  // The channel fills `results` with heap values that belong to this call; the
  // values of the three maps built here live on this frame until it ends.
  OwnedResultMap results;

  boost::any fileName(getFileName());
  boost::any fileFormat(computeOutputFileFormat());
  PropertyMap initOptions;
  initOptions[FILENAME] = &fileName;
  initOptions[FILE_FORMAT] = &fileFormat;
  initChannel(initOptions, *results);

  // Passed on as the very value the channel stored, unread; a null value when it
  // stored none, so that the filter map always carries the key.
  void* expectedFrameType = (*results)[EXPECTED_FRAME_TYPE];

  boost::any inputFrameType(computeInputFrameTypeForFilter());
  boost::any outputDataType(computeOutputDataTypeForFilter());
  PropertyMap filterOptions;
  filterOptions[INPUT_FRAME_TYPE] = &inputFrameType;
  filterOptions[OUTPUT_FRAME_TYPE] = expectedFrameType;
  filterOptions[OUTPUT_DATA_TYPE] = &outputDataType;
  addFilter(filterOptions);

  boost::any frameRateValue(frameRate);
  boost::any quality(static_cast<double>(videoQuality));
  boost::any compressionRatio(static_cast<double>(compressionFactor));
  boost::any lossy(isLossy());
  PropertyMap openOptions;
  openOptions[FRAME_RATE] = &frameRateValue;
  openOptions[VIDEO_QUALITY] = &quality;
  openOptions[COMPRESSION_RATIO] = &compressionRatio;
  openOptions[IS_LOSSY] = &lossy;
  openChannel(openOptions);

  setIsOpen(true);
}

void tmmfb2videowriter::close() {
  closeChannel();
  setIsOpen(false);
}

void tmmfb2videowriter::writeVideo(const unsigned char* plane0, const unsigned char* plane1,
                                   const unsigned char* plane2) {
  size_t frameHeight = height;
  std::vector<const unsigned char*> planes{plane0, plane1, plane2};

  // MPEG-4 encoders take even heights only.
  std::unique_ptr<unsigned char[]> padded0, padded1, padded2;
  if (fileType == FILETYPE_MPEG4 && getHeight() % 2 == 1) {
    unsigned char* out0 = nullptr;
    unsigned char* out1 = nullptr;
    unsigned char* out2 = nullptr;
    frameHeight = padToEvenHeightForMpeg4(plane0, plane1, plane2, out0, out1, out2);
    padded0.reset(out0);
    padded1.reset(out1);
    padded2.reset(out2);
    planes = {out0, out1, out2};
  }

  sluice::FrameRecordView frame;
  frame.planes = planes;
  frame.width = width;
  frame.height = frameHeight;
  frame.type = videoDataType;
  frame.fourCC = fourCC;
  sluice::Record record = sluice::makeFrameRecord(frame);

  std::vector<void*> buffers(1, &record);
  writeDataToOutputStream(buffers);
}

size_t tmmfb2videowriter::padToEvenHeightForMpeg4(const unsigned char* plane0,
                                                  const unsigned char* plane1,
                                                  const unsigned char* plane2, unsigned char*& out0,
                                                  unsigned char*& out1, unsigned char*& out2) {
  const size_t elementSize = sluice::videoElementSize(videoDataType);
  if (elementSize == 0) {
    refusePadding("the video data type " + std::to_string(videoDataType) + " has no element size");
  }
  if (height == std::numeric_limits<size_t>::max()) {
    refusePadding("the height is too large");
  }
  const size_t paddedHeight = height + 1;

  // Each full plane becomes width * paddedHeight * elementSize bytes. A product
  // that does not fit would allocate a wrapped, too small array.
  size_t planeElements = 0;
  size_t planeBytes = 0;
  if (__builtin_mul_overflow(width, paddedHeight, &planeElements) ||
      __builtin_mul_overflow(planeElements, elementSize, &planeBytes)) {
    refusePadding("the frame size does not fit in memory");
  }
  // With width 0 nothing is copied and these go unused; otherwise both are at
  // most planeBytes.
  const size_t columnBytes = height * elementSize;
  const size_t paddedColumnBytes = paddedHeight * elementSize;

  // Layouts 1 and 3 carry data in the second and third planes: full planes for 1,
  // half-width ones for 3. Layout 2 and the layouts without meaning carry one.
  const bool hasFurtherPlanes = fourCC == FOURCC_RGB_PLANAR || fourCC == FOURCC_YUV422_PLANAR;
  const bool halfWidth = fourCC == FOURCC_YUV422_PLANAR;
  const size_t furtherColumns = halfWidth ? width / 2 : width;
  const size_t furtherBytes = halfWidth ? planeBytes / 2 : planeBytes;

  requirePlane(plane0, width, columnBytes, 0);
  if (hasFurtherPlanes) {
    requirePlane(plane1, furtherColumns, columnBytes, 1);
    requirePlane(plane2, furtherColumns, columnBytes, 2);
  }

  std::unique_ptr<unsigned char[]> padded0 =
      padPlane(plane0, width, columnBytes, paddedColumnBytes, planeBytes);
  std::unique_ptr<unsigned char[]> padded1, padded2;
  if (hasFurtherPlanes) {
    padded1 = padPlane(plane1, furtherColumns, columnBytes, paddedColumnBytes, furtherBytes);
    padded2 = padPlane(plane2, furtherColumns, columnBytes, paddedColumnBytes, furtherBytes);
  }

  out0 = padded0.release();
  out1 = padded1.release();
  out2 = padded2.release();
  return paddedHeight;
}

}  // namespace multimedia
}  // namespace hostlib
