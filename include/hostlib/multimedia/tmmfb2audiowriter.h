// Writes one audio file through the channel service. The host sets the sample
// rate, channel count, data types and format settings, opens the writer, hands it
// blocks of samples and closes it. The caller keeps ownership of every block.
#pragma once

#include <string>

#include "hostlib/multimedia/datatypes.h"
#include "hostlib/multimedia/export.h"
#include "hostlib/multimedia/tmmfb2filewriter.h"

namespace hostlib {
namespace multimedia {

class HOSTLIB_MM_API tmmfb2audiowriter : public tmmfb2filewriter {
 public:
  // Property keys sent to the channel.
  static const char* const FILENAME;
  static const char* const DATA_TYPE;
  static const char* const SAMPLE_RATE;
  static const char* const NUM_CHANNELS;
  static const char* const BITRATE;
  static const char* const QUALITY;
  static const char* const FILE_DATA_TYPE;
  static const char* const TRANSFORM_TYPE;
  static const char* const OUTPUT_DATA_TYPE;
  // The transform the writer asks the filter for (a value, not a key).
  static const char* const CHOSEN_TRANSFORM_TYPE;
  static const double DEFAULT_MPEG4_AUDIO_BITRATE;
  static const double DEFAULT_OGG_QUALITY;

  // The plug-ins: the channel's device, the converter and the filter open() adds.
  tmmfb2audiowriter(std::u16string const& fileName, char const* channelPluginName,
                    char const* converterPluginName, char const* filterPluginName);
  ~tmmfb2audiowriter() override;

  // Initialises the channel, adds the filter and opens the channel; does nothing
  // on an open writer.
  void open() override;
  // Closes the channel if the writer is open and marks it closed.
  void close() override;

  void setSampleRate(unsigned long const& sampleRate);
  void setNumChannels(unsigned long const& numChannels);
  void setMpeg4AudioBitRate(double const& bitRate);
  void setOggQuality(double const& quality);
  void setFileDataType(AudioDataType const& dataType);
  void setInputDataType(AudioDataType const& dataType);

  unsigned long getSampleRate();
  unsigned long getNumChannels();
  double getMpeg4AudioBitRate();
  double getOggQuality();
  AudioDataType getFileDataType();
  AudioDataType getInputDataType();

  // Hands `numFrames` frames at `data` of type `dataType` to the output stream;
  // `data` need only stay valid until the call returns.
  void writeAudio(unsigned char const* data, unsigned long const& numFrames,
                  AudioDataType const& dataType);

 private:
  AudioDataType fileDataType;
  AudioDataType inputDataType;
  unsigned long sampleRate;
  unsigned long numChannels;
  double mpeg4AudioBitRate;
  double oggQuality;
};

}  // namespace multimedia
}  // namespace hostlib
