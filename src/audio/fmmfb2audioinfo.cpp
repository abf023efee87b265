#include "hostlib/multimedia/fmmfb2audioinfo.h"

#include <boost/any.hpp>
#include <memory>

#include "channel/ReadingChannel.h"
#include "errors/ErrorCatalogues.h"
#include "ostra/i18n.h"
#include "sluice/media.h"

namespace hostlib {
namespace multimedia {

namespace {

// A device failure as the reader reports it: "AudioWrite" and the catalogue's message.
[[noreturn]] void refuse(char const* identifier) {
  throw Exception("AudioWrite", audioErrorCatalogue().at(identifier));
}

// The value the device reported under `key`; refused when it is missing or of
// another type.
template <typename T>
T reported(PropertyMap const& result, char const* key,
           char const* missing = "AudioPropertyUnavailable") {
  T const* value = reportedValue<T>(result, key);
  if (!value) refuse(missing);
  return *value;
}

}  // namespace

fmmfb2audioinfo::fmmfb2audioinfo(const std::u16string& fileName, const char* channelPluginName,
                                 const char* converterPluginName)
    : sampleRate(0),
      numChannels(0),
      totalFrames(0),
      fileDataType(AUDIO_UNSPECIFIED),
      bitsPerSample(0),
      bitRate(0) {
  std::u16string const name = existingInputFile(fileName);
  std::unique_ptr<ChannelManager> manager(
      newReadingChannel(channelPluginName, converterPluginName, new AudioEventHandler()));
  OwnedResultMap result;
  initReadingChannel(*manager, name, result);
  sampleRate = reported<double>(*result, "SampleRate");
  numChannels = static_cast<unsigned long>(reported<double>(*result, "NumberOfChannels"));
  totalFrames =
      static_cast<unsigned long>(reported<double>(*result, "TotalFrames", "DurationNotSupported"));
  bitsPerSample = static_cast<unsigned long>(reported<double>(*result, "BitsPerSample"));
  bitRate = reported<double>(*result, "BitRate");
  format = reported<std::u16string>(*result, "Format");
  codec = reported<std::u16string>(*result, "Codec");
  AudioDataType type = AUDIO_UNSPECIFIED;
  if (sluice::audioTypeFromName(
          ostra::i18n::to_utf8(reported<std::u16string>(*result, "FileDataType")), type))
    fileDataType = type;
  if (!(sampleRate > 0) || numChannels == 0) refuse("AudioPropertyUnavailable");
}

fmmfb2audioinfo::~fmmfb2audioinfo() = default;

double fmmfb2audioinfo::getSampleRate() const { return sampleRate; }
unsigned long fmmfb2audioinfo::getNumChannels() const { return numChannels; }
unsigned long fmmfb2audioinfo::getTotalFrames() const { return totalFrames; }
double fmmfb2audioinfo::getDuration() const { return double(totalFrames) / sampleRate; }
AudioDataType fmmfb2audioinfo::getFileDataType() const { return fileDataType; }
unsigned long fmmfb2audioinfo::getBitsPerSample() const { return bitsPerSample; }
double fmmfb2audioinfo::getBitRate() const { return bitRate; }
std::u16string fmmfb2audioinfo::getFormat() const { return format; }
std::u16string fmmfb2audioinfo::getCodec() const { return codec; }

}  // namespace multimedia
}  // namespace hostlib
