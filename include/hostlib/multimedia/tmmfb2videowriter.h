// Writes one video file through the channel service. The host sets the frame
// geometry, element type, plane layout, file type and compression settings, opens
// the writer and hands it one frame at a time; the writer encodes nothing itself.
//
// Ownership: the caller's planes stay the caller's and are never kept beyond a
// call. padToEvenHeightForMpeg4 hands its three output arrays to the caller, who
// releases them with delete[].
#pragma once

#include <cstddef>
#include <string>

#include "hostlib/multimedia/datatypes.h"
#include "hostlib/multimedia/export.h"
#include "hostlib/multimedia/tmmfb2filewriter.h"

namespace hostlib {
namespace multimedia {

class HOSTLIB_MM_API tmmfb2videowriter : public tmmfb2filewriter {
 public:
  // Property keys of the channel, filter and open maps.
  static const char* const FILENAME;
  static const char* const FILE_FORMAT;
  static const char* const EXPECTED_FRAME_TYPE;
  static const char* const INPUT_FRAME_TYPE;
  static const char* const OUTPUT_FRAME_TYPE;
  static const char* const OUTPUT_DATA_TYPE;
  static const char* const FRAME_RATE;
  static const char* const VIDEO_QUALITY;
  static const char* const COMPRESSION_RATIO;
  static const char* const IS_LOSSY;
  static const char* const BIT_DEPTH;

  // The channel loads `channelPluginName`; `filterPluginName` is added at open().
  tmmfb2videowriter(std::u16string const& fileName, char const* channelPluginName,
                    char const* converterPluginName, char const* filterPluginName);
  ~tmmfb2videowriter() override;

  void open() override;
  void close() override;

  double getFrameRate();
  void setFrameRate(const double& value);
  size_t getWidth();
  void setWidth(const size_t& value);
  size_t getHeight();
  void setHeight(const size_t& value);
  VideoDataType getVideoDataType();
  void setVideoDataType(const VideoDataType& value);
  FourCCType getFourCC();
  void setFourCC(const FourCCType& value);
  MMFileType getFileType();
  void setFileType(const MMFileType& value);
  size_t getVideoQuality();
  void setVideoQuality(const size_t& value);
  size_t getCompressionFactor();
  void setCompressionFactor(const size_t& value);
  std::string getCompressionMethod();
  void setCompressionMethod(const std::string& value);

  // Derived from the current settings on every call.
  size_t getNumBands();
  std::u16string computeOutputFileFormat();
  std::u16string computeInputFrameTypeForFilter();
  std::u16string computeOutputDataTypeForFilter();
  bool isLossy();

  // Hands one frame to the output stream; MPEG-4 frames of odd height are first
  // copied into planes one zero row taller.
  void writeVideo(const unsigned char* plane0, const unsigned char* plane1,
                  const unsigned char* plane2);
  // Copies the planes into new arrays one zero row taller and returns the new
  // height. Throws VideoWriteException, leaving the outputs untouched, for an
  // element type without a size, a null plane that holds data, or a size that
  // does not fit in memory.
  size_t padToEvenHeightForMpeg4(const unsigned char* plane0, const unsigned char* plane1,
                                 const unsigned char* plane2, unsigned char*& out0,
                                 unsigned char*& out1, unsigned char*& out2);

 private:
  double frameRate;
  size_t width;
  size_t height;
  VideoDataType videoDataType;
  FourCCType fourCC;
  MMFileType fileType;
  size_t videoQuality;
  size_t compressionFactor;
  std::string compressionMethod;
};

}  // namespace multimedia
}  // namespace hostlib
