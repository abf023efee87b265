// What an audio file is, before it is read: rate, channels, exact length, the
// stored sample type, bit rate, container and codec. Everything is read when the
// object is made, through the same channel service as the reader, and the file
// is let go again; the getters never fail.
#pragma once

#include <string>

#include "hostlib/multimedia/datatypes.h"
#include "hostlib/multimedia/exceptions.h"
#include "hostlib/multimedia/export.h"

namespace hostlib {
namespace multimedia {

class HOSTLIB_MM_API fmmfb2audioinfo {
 public:
  // Finds the file as the reader does (as named, else its last element) and
  // asks the channel's device for its facts. Throws InputFileNotFoundException,
  // a plain Exception copied from the channel manager's or the device's failure
  // ("AudioWrite" with the catalogue's message), or UnexpectedException.
  fmmfb2audioinfo(const std::u16string& fileName, const char* channelPluginName,
                  const char* converterPluginName);
  ~fmmfb2audioinfo();

  double getSampleRate() const;  // frames per second
  unsigned long getNumChannels() const;
  unsigned long getTotalFrames() const;    // exactly what a full read delivers
  double getDuration() const;              // getTotalFrames() / getSampleRate()
  AudioDataType getFileDataType() const;   // stored PCM or FLAC type; AUDIO_UNSPECIFIED when lossy
  unsigned long getBitsPerSample() const;  // stored bits; 0 for lossy codecs
  double getBitRate() const;               // bits of the audio packets per second
  std::u16string getFormat() const;        // "WAV", "FLAC", "OGG", "MP3", "MP4", "AIFF", ...
  std::u16string getCodec() const;         // "PCM", "FLAC", "Vorbis", "Opus", "MP3", "AAC", ...

 private:
  double sampleRate;
  unsigned long numChannels;
  unsigned long totalFrames;
  AudioDataType fileDataType;
  unsigned long bitsPerSample;
  double bitRate;
  std::u16string format;
  std::u16string codec;
};

}  // namespace multimedia
}  // namespace hostlib
