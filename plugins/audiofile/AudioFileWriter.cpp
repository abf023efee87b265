#include "AudioFileWriter.h"

#include <algorithm>
#include <boost/any.hpp>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <vector>

#include "Common.h"
#include "SampleConvert.h"
#include "ostra/i18n.h"

namespace sluice {
namespace audiofile {

using namespace hostlib::multimedia;

namespace {

// Records smaller than this are gathered before they reach the encoder.
constexpr std::size_t kGatherBytes = std::size_t(64) << 10;

// A WAV file's sizes are 32-bit: keep room below 4 GiB for every header chunk
// libsndfile may write (a float file's PEAK chunk grows with the channels).
constexpr std::uint64_t kWavDataLimit = 0xFFFFFFFFull - 65536;

bool containerOf(std::string const& extension, Container& container) {
  if (extension == "wav")
    container = Container::Wav;
  else if (extension == "flac")
    container = Container::Flac;
  else if (extension == "ogg" || extension == "oga")
    container = Container::Vorbis;
  else if (extension == "opus")
    container = Container::Opus;
  else if (extension == "m4a" || extension == "mp4")
    container = Container::Aac;
  else
    return false;
  return true;
}

bool isWhole(double v) { return std::isfinite(v) && v == std::floor(v); }

int maxChannels(Container c) {
  switch (c) {
    case Container::Wav:
      return 1024;  // libsndfile's limit
    case Container::Flac:
      return 8;
    case Container::Vorbis:
      return 255;
    default:
      return 8;
  }
}

// The stored type a WAV or FLAC file takes for a FileDataType name.
bool storedTypeOf(Container c, std::string const& name, AudioDataType& type) {
  AudioDataType t;
  if (!audio::sampleTypeFromName(name, t)) return false;
  if (c == Container::Wav) {
    switch (t) {
      case AUDIO_UINT8:
      case AUDIO_INT16:
      case AUDIO_INT24:
      case AUDIO_INT32:
      case AUDIO_SINGLE:
      case AUDIO_DOUBLE:
        type = t;
        return true;
      default:
        return false;
    }
  }
  switch (t) {  // FLAC holds signed 8, 16 and 24-bit samples
    case AUDIO_INT8:
    case AUDIO_UINT8:
      type = AUDIO_INT8;
      return true;
    case AUDIO_INT16:
      type = AUDIO_INT16;
      return true;
    case AUDIO_INT24:
      type = AUDIO_INT24;
      return true;
    default:
      return false;
  }
}

std::uint64_t wavLimitFromEnvironment() {
  char const* text = std::getenv("SLUICE_WAV_SIZE_LIMIT");
  if (!text || !*text) return kWavDataLimit;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text, &end, 10);
  if (*end != '\0') return kWavDataLimit;
  return std::min<std::uint64_t>(v, kWavDataLimit);
}

}  // namespace

AudioFileWriter::~AudioFileWriter() {
  if (encoder_) {
    // A destructor completes the file as far as it can and reports nothing.
    try {
      flushGathered();
    } catch (...) {
    }
    try {
      encoder_->finish();
    } catch (...) {
    }
  }
}

void AudioFileWriter::init(PropertyMap const& options, PropertyMap& result) {
  if (encoder_) close();
  std::string path;
  if (!textOf(options, "Filename", path) || path.empty())
    fail(kWriter, "Unexpected", "no Filename");
  Container container;
  if (!containerOf(lowerExtension(path), container)) fail(kWriter, "FileTypeNotSupported", path);
  path_ = path;
  container_ = container;
  initialised_ = true;
  haveSettings_ = false;
  bool lossless = container == Container::Wav || container == Container::Flac;
  std::u16string dataType = ostra::i18n::to_ustring(lossless ? "double" : "single");
  auto it = result.find("DataType");
  if (it != result.end()) delete static_cast<boost::any*>(it->second);
  result["DataType"] = new boost::any(dataType);
}

EncoderSettings AudioFileWriter::settingsFrom(PropertyMap const& options) const {
  EncoderSettings s;
  s.path = path_;
  s.container = container_;

  double rate = 0;
  numberOf(options, "SampleRate", rate);
  if (!isWhole(rate) || rate <= 0 || rate > std::numeric_limits<int>::max())
    fail(kWriter, "UnsupportedSampleRate", "sample rate " + std::to_string(rate));
  s.sampleRate = static_cast<int>(rate);
  if (container_ == Container::Flac && s.sampleRate > 655350)
    fail(kWriter, "MaxFlacSampleRate", std::to_string(s.sampleRate) + " Hz");
  if (container_ == Container::Vorbis && s.sampleRate <= 600)
    fail(kWriter, "MinOggSampleRate", std::to_string(s.sampleRate) + " Hz");
  // libvorbis has no encoder set-up above 200 kHz; libsndfile would only say so
  // at the first write, with 0 frames written.
  if (container_ == Container::Vorbis && s.sampleRate > 200000)
    fail(kWriter, "UnsupportedSampleRate", "Vorbis takes at most 200000 Hz");
  if (container_ == Container::Opus) {
    int r = s.sampleRate;
    if (r != 8000 && r != 12000 && r != 16000 && r != 24000 && r != 48000)
      fail(kWriter, "UnsupportedSampleRate",
           "Opus takes 8, 12, 16, 24 or 48 kHz, not " + std::to_string(r) + " Hz");
  }

  double channels = 0;
  numberOf(options, "NumberOfChannels", channels);
  if (!isWhole(channels) || channels < 1 || channels > maxChannels(container_))
    fail(kWriter, "UnsupportedOutputChannels", std::to_string(channels) + " channels");
  s.channels = static_cast<int>(channels);

  std::string name;
  if (textOf(options, "FilterOutputDataType", name)) {
    AudioDataType t;
    if (!audio::sampleTypeFromName(name, t))
      fail(kWriter, "WriteNotSupported", "sample type \"" + name + "\"");
  }

  if (container_ == Container::Wav || container_ == Container::Flac) {
    s.fileType = AUDIO_INT16;
    auto it = options.find("FileDataType");
    if (it != options.end() && it->second) {
      if (!textOf(options, "FileDataType", name) || !storedTypeOf(container_, name, s.fileType))
        fail(kWriter, "WriteNotSupported", "file sample type \"" + name + "\"");
    }
  }

  double bitRate = 0;
  bool haveBitRate = numberOf(options, "BitRate", bitRate);
  if (container_ == Container::Opus) {
    if (!haveBitRate) bitRate = 64000.0 * s.channels;
    double perChannel = bitRate / s.channels;
    if (!std::isfinite(bitRate) || perChannel < 6000 || perChannel > 256000)
      fail(kWriter, "UnsupportedBitRate",
           "Opus takes 6000 to 256000 bits per second and channel, not " + std::to_string(bitRate));
  } else if (container_ == Container::Aac) {
    if (!haveBitRate) bitRate = 128000.0;
    if (!std::isfinite(bitRate) || bitRate < 1000.0 * s.channels || bitRate > 1e7)
      fail(kWriter, "UnsupportedBitRate", "AAC bit rate " + std::to_string(bitRate));
  }
  s.bitRate = bitRate;

  double quality = 0.5;
  if (numberOf(options, "Quality", quality) && container_ == Container::Vorbis &&
      !(quality >= 0.0 && quality <= 1.0))
    fail(kWriter, "Unexpected", "Quality must lie within 0 and 1, not " + std::to_string(quality));
  s.quality = quality;
  return s;
}

void AudioFileWriter::open(PropertyMap const& options) {
  if (!initialised_) fail(kWriter, "Unexpected", "open before init");
  if (encoder_) close();
  EncoderSettings s = (options.empty() && haveSettings_) ? settings_ : settingsFrom(options);
  encoder_ = s.container == Container::Aac ? createAacEncoder(s) : createSndfileEncoder(s);
  settings_ = s;
  haveSettings_ = true;
  wavLimit_ = wavLimitFromEnvironment();
  wavWritten_ = 0;
  gatheredBytes_ = gatheredFrames_ = 0;
}

void AudioFileWriter::write(OwnedRecord& owned) {
  if (!encoder_) fail(kWriter, "Unexpected", "write while not open");
  SampleRecordView view;
  if (!parseSampleRecord(owned.record, view)) fail(kWriter, "Unexpected", "not a sample record");
  if (!audio::isSampleType(view.type))
    fail(kWriter, "WriteNotSupported", "sample type " + std::to_string(view.type));
  if (view.frames == 0) return;
  if (view.channels != static_cast<unsigned long>(settings_.channels))
    fail(kWriter, "UnsupportedOutputChannels",
         std::to_string(view.channels) + " channels in a file of " +
             std::to_string(settings_.channels));
  if (!view.samples) fail(kWriter, "Unexpected", "no sample data");
  writeSamples(view.samples, view.frames, view.type);
}

void AudioFileWriter::writeSamples(unsigned char const* samples, std::size_t frames,
                                   AudioDataType type) {
  AudioDataType const stored = encoder_->storedType();
  AudioDataType const wide = encoder_->writeType();
  std::size_t const count = frames * std::size_t(settings_.channels);

  if (settings_.container == Container::Wav) {
    std::uint64_t bytes = std::uint64_t(count) * audioSampleSize(stored);
    // Refused before any of it reaches the file, which stays valid.
    if (wavWritten_ + bytes > wavLimit_)
      fail(kWriter, "WavSizeLimit",
           "WAV data would reach " + std::to_string(wavWritten_ + bytes) + " bytes");
    wavWritten_ += bytes;
  }

  std::size_t const bytes = count * audioSampleSize(wide);
  if (bytes >= kGatherBytes) {
    // Large records go straight through, after what was gathered before them.
    flushGathered();
    if (type == stored && stored == wide) {
      encoder_->write(samples, frames);
      return;
    }
    // Converted a cache-sized piece at a time, which the encoder reads while
    // it is still in cache.
    if (!gather_) gather_.reset(new unsigned char[kGatherBytes]);
    std::size_t const channels = std::size_t(settings_.channels);
    std::size_t const piece =
        std::max<std::size_t>(1, kGatherBytes / (channels * audioSampleSize(wide)));
    std::size_t const inFrame = channels * audioSampleSize(type);
    for (std::size_t at = 0; at < frames; at += piece) {
      std::size_t const n = std::min(piece, frames - at);
      convert(samples + at * inFrame, n * channels, type, gather_.get());
      encoder_->write(gather_.get(), n);
    }
    return;
  }
  if (gatheredBytes_ + bytes > kGatherBytes) flushGathered();
  if (!gather_) gather_.reset(new unsigned char[kGatherBytes]);
  convert(samples, count, type, gather_.get() + gatheredBytes_);
  gatheredBytes_ += bytes;
  gatheredFrames_ += frames;
}

void AudioFileWriter::convert(unsigned char const* samples, std::size_t count, AudioDataType type,
                              unsigned char* out) {
  AudioDataType const stored = encoder_->storedType();
  AudioDataType const wide = encoder_->writeType();
  if (type == stored && stored == wide) {
    std::memcpy(out, samples, count * audioSampleSize(wide));
    return;
  }
  // Round and clip at the stored width, then widen exactly for libsndfile.
  if (stored == wide) {
    audio::convertFunction(type, stored)(samples, out, count);
    return;
  }
  scratch_.resize(count * audioSampleSize(stored));
  audio::convertFunction(type, stored)(samples, scratch_.data(), count);
  audio::convertFunction(stored, wide)(scratch_.data(), out, count);
}

void AudioFileWriter::flushGathered() {
  std::size_t const frames = gatheredFrames_;
  if (frames == 0) return;
  // Cleared first: samples whose write failed are not written again later.
  gatheredBytes_ = gatheredFrames_ = 0;
  encoder_->write(gather_.get(), frames);
}

void AudioFileWriter::close() {
  if (!encoder_) return;
  // The file is completed even when the last gathered samples cannot be written.
  std::exception_ptr failed;
  try {
    flushGathered();
  } catch (...) {
    failed = std::current_exception();
  }
  std::unique_ptr<Encoder> encoder = std::move(encoder_);
  encoder->finish();
  if (failed) std::rethrow_exception(failed);
}

void AudioFileWriter::term() {
  if (encoder_) close();
  initialised_ = false;
}

}  // namespace audiofile
}  // namespace sluice
