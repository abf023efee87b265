// Reads the frames of one video file through the channel service. The host opens
// the reader, learns the frame size, rate, count and layout, asks for blocks of
// frames until the end (seeking to any frame in between) and closes it. Each
// block is a new buffer that the caller owns and releases with delete[].
#pragma once

#include <string>

#include "hostlib/multimedia/datatypes.h"
#include "hostlib/multimedia/exceptions.h"
#include "hostlib/multimedia/export.h"

namespace hostlib {
namespace multimedia {

class ChannelManager;

class HOSTLIB_MM_API fmmfb2videoreader {
 public:
  // Checks that the file exists, as named or else as its last element (which
  // then becomes the name), and creates the channel for the plug-ins; the filter
  // is added at open. Throws InputFileNotFoundException, or a plain Exception
  // copied from the channel manager's.
  fmmfb2videoreader(const std::u16string& fileName, const char* channelPluginName,
                    const char* converterPluginName, const char* filterPluginName);
  ~fmmfb2videoreader();

  fmmfb2videoreader(fmmfb2videoreader const&) = delete;
  fmmfb2videoreader& operator=(fmmfb2videoreader const&) = delete;

  // Initialises the channel for the file, adds the filter and opens it at the
  // first frame; clears the end of video. Failures leave as a plain Exception
  // ("VideoRead" with the video-reading catalogue's message, or the
  // FilterCreationFailed one).
  void open();

  // Valid after open(); 0 or empty before.
  size_t getWidth();
  size_t getHeight();
  double getFrameRate();
  unsigned long getNumFrames();      // exactly what a full read delivers
  double getDuration();              // getNumFrames() / getFrameRate(), in seconds
  size_t getNumBands();              // 1 (grey) or 3 (RGB)
  VideoDataType getVideoDataType();  // VIDEO_UINT8, or VIDEO_UINT16 above 8 bits
  std::u16string getCodec();
  std::u16string getFormat();

  // Up to `count` frames (0 means 1) into one new[] buffer stored in *data,
  // column-major: height x width x bands x frames. Returns the frames delivered;
  // at the end, 0 with *data null. A frame that cannot be decoded throws.
  unsigned long readVideo(unsigned char** data, const unsigned long& count);
  bool isEndOfVideo();
  // The next read starts exactly at frame `index`; past the last frame it
  // returns 0. Clears the end of video.
  void seekFrame(const unsigned long& index);
  void close();

 private:
  ChannelManager* channelManager;
  std::u16string fileName;
  std::string filterName;
  size_t width;
  size_t height;
  double frameRate;
  unsigned long numFrames;
  size_t numBands;
  VideoDataType videoDataType;
  std::u16string codec;
  std::u16string format;
  bool endOfVideo;
};

}  // namespace multimedia
}  // namespace hostlib
