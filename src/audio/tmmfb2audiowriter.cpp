#include "hostlib/multimedia/tmmfb2audiowriter.h"

#include <boost/any.hpp>
#include <vector>

#include "channel/EventHandler.h"
#include "channel/OwnedResultMap.h"
#include "ostra/filesystem.h"
#include "ostra/i18n.h"
#include "sluice/records.h"

namespace hostlib {
namespace multimedia {

const char* const tmmfb2audiowriter::FILENAME = "Filename";
const char* const tmmfb2audiowriter::DATA_TYPE = "DataType";
const char* const tmmfb2audiowriter::SAMPLE_RATE = "SampleRate";
const char* const tmmfb2audiowriter::NUM_CHANNELS = "NumberOfChannels";
const char* const tmmfb2audiowriter::BITRATE = "BitRate";
const char* const tmmfb2audiowriter::QUALITY = "Quality";
const char* const tmmfb2audiowriter::FILE_DATA_TYPE = "FileDataType";
const char* const tmmfb2audiowriter::TRANSFORM_TYPE = "FilterTransformType";
const char* const tmmfb2audiowriter::OUTPUT_DATA_TYPE = "FilterOutputDataType";
const char* const tmmfb2audiowriter::CHOSEN_TRANSFORM_TYPE = "InterleaveTranspose";
const double tmmfb2audiowriter::DEFAULT_MPEG4_AUDIO_BITRATE = 128000.0;
const double tmmfb2audiowriter::DEFAULT_OGG_QUALITY = 0.5;

namespace {

bool sameWordIgnoringCase(std::u16string const& text, std::u16string const& word) {
  return ostra::i18n::lcctype::compare(text.data(), text.size(), word.data(), word.size(),
                                       ostra::i18n::case_insensitive()) == 0;
}

// WAV and FLAC files are told apart by the extension, in any case.
bool isWavOrFlac(std::u16string const& fileName) {
  std::u16string native = fileName.empty()
                              ? std::u16string()
                              : ostra::filesystem::detail::make_native_form(fileName, true);
  std::u16string extension = ostra::filesystem::detail::extract_extension(native);
  return !extension.empty() &&
         (sameWordIgnoringCase(extension, u"wav") || sameWordIgnoringCase(extension, u"flac"));
}

// The input types whose samples a WAV or FLAC filter produces as they are.
bool namesItsOwnOutputType(AudioDataType type) {
  return type == AUDIO_DOUBLE || type == AUDIO_SINGLE || type == AUDIO_INT16 || type == AUDIO_INT32;
}

}  // namespace

tmmfb2audiowriter::tmmfb2audiowriter(std::u16string const& fileName, char const* channelPluginName,
                                     char const* converterPluginName, char const* filterPluginName)
    : tmmfb2filewriter(fileName, channelPluginName, converterPluginName, filterPluginName,
                       new AudioEventHandler()),
      fileDataType(AUDIO_UNSPECIFIED),
      inputDataType(AUDIO_UNSPECIFIED),
      sampleRate(0),
      numChannels(0),
      mpeg4AudioBitRate(DEFAULT_MPEG4_AUDIO_BITRATE),
      oggQuality(DEFAULT_OGG_QUALITY) {
  setIsOpen(false);
}

tmmfb2audiowriter::~tmmfb2audiowriter() = default;

void tmmfb2audiowriter::open() {
  if (getIsOpen()) return;

  // The maps hold addresses of these locals; the channel copies what it keeps.
  boost::any fileNameValue(getFileName());
  PropertyMap initOptions;
  initOptions[FILENAME] = &fileNameValue;
  OwnedResultMap result;
  initChannel(initOptions, *result);

  PropertyMap filterOptions;
  addFilter(filterOptions);

  PropertyMap openOptions;
  boost::any transformValue(ostra::i18n::to_ustring(CHOSEN_TRANSFORM_TYPE));
  openOptions[TRANSFORM_TYPE] = &transformValue;

  // WAV and FLAC take the caller's type when it is one they store as it is, or
  // the file's type when that is one: the filter then converts while it
  // interleaves, under the same rules as the device, and the records are no
  // larger than the file's samples. Everything else takes the type the channel
  // reported at initialisation.
  boost::any outputTypeValue;
  if (isWavOrFlac(getFileName()) && namesItsOwnOutputType(inputDataType)) {
    AudioDataType const output = namesItsOwnOutputType(fileDataType) ? fileDataType : inputDataType;
    outputTypeValue = ostra::i18n::to_ustring(sluice::audioTypeName(output));
    openOptions[OUTPUT_DATA_TYPE] = &outputTypeValue;
  } else {
    PropertyMap::const_iterator reported = result->find(DATA_TYPE);
    openOptions[OUTPUT_DATA_TYPE] = reported != result->end() ? reported->second : nullptr;
  }

  boost::any sampleRateValue(static_cast<double>(sampleRate));
  boost::any numChannelsValue(static_cast<double>(numChannels));
  boost::any bitRateValue(mpeg4AudioBitRate);
  boost::any qualityValue(oggQuality);
  openOptions[SAMPLE_RATE] = &sampleRateValue;
  openOptions[NUM_CHANNELS] = &numChannelsValue;
  openOptions[BITRATE] = &bitRateValue;
  openOptions[QUALITY] = &qualityValue;

  boost::any fileDataTypeValue;
  if (fileDataType != AUDIO_UNSPECIFIED) {
    fileDataTypeValue = ostra::i18n::to_ustring(sluice::audioTypeName(fileDataType));
    openOptions[FILE_DATA_TYPE] = &fileDataTypeValue;
  }

  openChannel(openOptions);
  setIsOpen(true);
}

void tmmfb2audiowriter::close() {
  closeChannel();
  setIsOpen(false);
}

void tmmfb2audiowriter::setSampleRate(unsigned long const& value) { sampleRate = value; }
void tmmfb2audiowriter::setNumChannels(unsigned long const& value) { numChannels = value; }
void tmmfb2audiowriter::setMpeg4AudioBitRate(double const& value) { mpeg4AudioBitRate = value; }
void tmmfb2audiowriter::setOggQuality(double const& value) { oggQuality = value; }
void tmmfb2audiowriter::setFileDataType(AudioDataType const& value) { fileDataType = value; }
void tmmfb2audiowriter::setInputDataType(AudioDataType const& value) { inputDataType = value; }

unsigned long tmmfb2audiowriter::getSampleRate() { return sampleRate; }
unsigned long tmmfb2audiowriter::getNumChannels() { return numChannels; }
double tmmfb2audiowriter::getMpeg4AudioBitRate() { return mpeg4AudioBitRate; }
double tmmfb2audiowriter::getOggQuality() { return oggQuality; }
AudioDataType tmmfb2audiowriter::getFileDataType() { return fileDataType; }
AudioDataType tmmfb2audiowriter::getInputDataType() { return inputDataType; }

void tmmfb2audiowriter::writeAudio(unsigned char const* data, unsigned long const& numFrames,
                                   AudioDataType const& dataType) {
  // The samples travel by pointer: the stream is done with them when the write
  // returns, so the record needs no copy. The record and the list holding it
  // are the thread's, set again at each call rather than allocated.
  thread_local sluice::Record record;
  thread_local std::vector<void*> buffers;
  sluice::setSampleRecord(record, const_cast<unsigned char*>(data), numFrames, numChannels,
                          dataType);
  buffers.assign(1, &record);
  writeDataToOutputStream(buffers);
}

}  // namespace multimedia
}  // namespace hostlib
