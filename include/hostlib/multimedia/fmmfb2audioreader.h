// Reads the samples of one audio file through the channel service. The host opens
// the reader, asks it for blocks of samples until the end of the audio, may start
// again from the beginning, and closes it. Each block is a new buffer that the
// caller owns and releases with delete[].
#pragma once

#include <string>

#include "hostlib/multimedia/exceptions.h"
#include "hostlib/multimedia/export.h"

namespace hostlib {
namespace multimedia {

class ChannelManager;

class HOSTLIB_MM_API fmmfb2audioreader {
 public:
  // Key of the file name in the map given to the channel.
  static const char* const FILENAME;
  static const unsigned long OUTPUT_STREAM_LIMIT;
  static const unsigned long INPUT_STREAM_LIMIT;

  // Checks that the file exists, as named or else as its last element (which
  // then becomes the name), and creates the channel for the two plug-ins.
  // Throws InputFileNotFoundException, or a plain Exception copied from the
  // channel manager's.
  fmmfb2audioreader(const std::u16string& fileName, const char* channelPluginName,
                    const char* converterPluginName);
  ~fmmfb2audioreader();

  fmmfb2audioreader(fmmfb2audioreader const&) = delete;
  fmmfb2audioreader& operator=(fmmfb2audioreader const&) = delete;

  // Initialises and opens the channel for the file; clears the end of audio.
  void open();
  // Reads up to `count` frames (0: the channel's natural block) into a new buffer
  // stored in *data; returns the frames delivered, 0 at the end of the audio.
  unsigned long readAudio(unsigned char** data, const unsigned long& count);
  bool isEndOfAudio();
  // Closes the channel, drops what was read ahead and reopens from the start.
  void resetAudio();
  void close();

 private:
  ChannelManager* channelManager;
  std::u16string fileName;
  bool endOfAudio;
};

}  // namespace multimedia
}  // namespace hostlib
