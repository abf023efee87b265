#include "AudioFileWriter.h"

#include <algorithm>
#include <boost/any.hpp>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <limits>
#include <vector>

#include "AudioKernels.h"
#include "Common.h"
#include "Extension.h"
#include "ostra/i18n.h"

namespace sluice {
namespace audiofile {

using namespace hostlib::multimedia;

namespace {

// Records smaller than this are gathered before they reach the encoder.
constexpr std::size_t kGatherBytes = std::size_t(64) << 10;
// Nor is more than a tenth of a second gathered: a killed host loses what the
// writer holds.
constexpr int kGatherPerSecond = 10;

// The queue before the writer holds at most a quarter of a second of records:
// what a killed host loses counts what it had queued.
constexpr std::size_t kQueuedPerSecond = 4;

// A WAV file's sizes are 32-bit: keep room below 4 GiB for every header chunk
// libsndfile may write (a float file's PEAK chunk grows with the channels).
constexpr std::uint64_t kWavDataLimit = 0xFFFFFFFFull - 65536;

constexpr double kNoLimit = std::numeric_limits<double>::infinity();

// A FileDataType a lossless container takes, and the type it stores it as.
struct StoredAs {
  AudioDataType named, stored;
};

// Bit rates of the containers that take one; a default per channel is
// multiplied by the channel count.
struct BitRateRule {
  double byDefault;
  bool defaultPerChannel;
  double minPerChannel, maxPerChannel, maxTotal;
};

// What each container takes.
struct ContainerRules {
  Container container;
  char const* extensions[2];
  char const* dataType;  // the "DataType" init reports
  int maxChannels;
  // Sample rates: above maxRate refused with maxRateId; at or below
  // minRateExclusive with minRateId; when `rates` is not empty, only those.
  double maxRate;
  char const* maxRateId;
  double minRateExclusive;
  char const* minRateId;
  std::vector<int> rates;
  std::vector<StoredAs> storedTypes;  // empty: lossy, FileDataType ignored
  BitRateRule const* bitRate;         // null: "BitRate" ignored
  bool qualityInUnitRange;            // "Quality" must lie within 0 and 1
};

BitRateRule const kOpusBitRate = {64000.0, true, 6000.0, 256000.0, kNoLimit};
BitRateRule const kAacBitRate = {128000.0, false, 1000.0, kNoLimit, 1e7};

std::vector<ContainerRules> const& containerRules() {
  // clang-format off
  static std::vector<ContainerRules> const rules = {
      // container, extensions, DataType, channels (WAV: libsndfile's limit),
      // max rate and its identifier, rates at or below refused and their identifier,
      // the only rates taken, stored types, bit rate, quality in 0..1
      {Container::Wav, {"wav", nullptr}, "double", 1024,
       kNoLimit, nullptr, 0, nullptr, {},
       {{AUDIO_UINT8, AUDIO_UINT8}, {AUDIO_INT16, AUDIO_INT16}, {AUDIO_INT24, AUDIO_INT24},
        {AUDIO_INT32, AUDIO_INT32}, {AUDIO_SINGLE, AUDIO_SINGLE}, {AUDIO_DOUBLE, AUDIO_DOUBLE}},
       nullptr, false},
      // FLAC holds signed 8, 16 and 24-bit samples.
      {Container::Flac, {"flac", nullptr}, "double", 8,
       655350, "MaxFlacSampleRate", 0, nullptr, {},
       {{AUDIO_INT8, AUDIO_INT8}, {AUDIO_UINT8, AUDIO_INT8}, {AUDIO_INT16, AUDIO_INT16},
        {AUDIO_INT24, AUDIO_INT24}},
       nullptr, false},
      // libvorbis has no encoder set-up above 200 kHz; libsndfile would only say
      // so at the first write, with 0 frames written.
      {Container::Vorbis, {"ogg", "oga"}, "single", 255,
       200000, "UnsupportedSampleRate", 600, "MinOggSampleRate", {},
       {}, nullptr, true},
      {Container::Opus, {"opus", nullptr}, "single", 8,
       kNoLimit, nullptr, 0, nullptr, {8000, 12000, 16000, 24000, 48000},
       {}, &kOpusBitRate, false},
      {Container::Aac, {"m4a", "mp4"}, "single", 8,
       kNoLimit, nullptr, 0, nullptr, {},
       {}, &kAacBitRate, false},
  };
  // clang-format on
  return rules;
}

ContainerRules const* rulesFor(std::string const& extension) {
  for (auto const& r : containerRules())
    for (char const* e : r.extensions)
      if (e && extension == e) return &r;
  return nullptr;
}

ContainerRules const& rulesOf(Container container) {
  for (auto const& r : containerRules())
    if (r.container == container) return r;
  return containerRules().front();
}

bool isWhole(double v) { return std::isfinite(v) && v == std::floor(v); }

int sampleRateFrom(PropertyMap const& options, ContainerRules const& rules) {
  double rate = 0;
  support::numberOf(options, "SampleRate", rate);
  if (!isWhole(rate) || rate <= 0 || rate > std::numeric_limits<int>::max())
    fail(kWriter, "UnsupportedSampleRate", "sample rate " + std::to_string(rate));
  int const r = static_cast<int>(rate);
  if (r > rules.maxRate) fail(kWriter, rules.maxRateId, std::to_string(r) + " Hz");
  if (r <= rules.minRateExclusive) fail(kWriter, rules.minRateId, std::to_string(r) + " Hz");
  if (!rules.rates.empty() &&
      std::find(rules.rates.begin(), rules.rates.end(), r) == rules.rates.end())
    fail(kWriter, "UnsupportedSampleRate", "the format takes no " + std::to_string(r) + " Hz");
  return r;
}

// The stored type a lossless file takes for its "FileDataType" (int16 when absent).
AudioDataType storedTypeFrom(PropertyMap const& options, ContainerRules const& rules) {
  auto it = options.find("FileDataType");
  if (it == options.end() || !it->second) return AUDIO_INT16;
  std::string name;
  AudioDataType named;
  if (support::textOf(options, "FileDataType", name) && audioTypeFromName(name, named))
    for (auto const& t : rules.storedTypes)
      if (t.named == named) return t.stored;
  fail(kWriter, "WriteNotSupported", "file sample type \"" + name + "\"");
}

double bitRateFrom(PropertyMap const& options, BitRateRule const& rule, int channels) {
  double bitRate = 0;
  if (!support::numberOf(options, "BitRate", bitRate))
    bitRate = rule.defaultPerChannel ? rule.byDefault * channels : rule.byDefault;
  double const perChannel = bitRate / channels;
  if (!std::isfinite(bitRate) || perChannel < rule.minPerChannel ||
      perChannel > rule.maxPerChannel || bitRate > rule.maxTotal)
    fail(kWriter, "UnsupportedBitRate", "bit rate " + std::to_string(bitRate));
  return bitRate;
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
  if (!support::textOf(options, "Filename", path) || path.empty())
    fail(kWriter, "Unexpected", "no Filename");
  ContainerRules const* rules = rulesFor(support::lowerExtension(path));
  if (!rules) fail(kWriter, "FileTypeNotSupported", path);
  path_ = path;
  container_ = rules->container;
  initialised_ = true;
  haveSettings_ = false;
  support::put(result, "DataType", ostra::i18n::to_ustring(rules->dataType));
}

EncoderSettings AudioFileWriter::settingsFrom(PropertyMap const& options) const {
  ContainerRules const& rules = rulesOf(container_);
  EncoderSettings s;
  s.path = path_;
  s.container = container_;
  s.sampleRate = sampleRateFrom(options, rules);

  double channels = 0;
  support::numberOf(options, "NumberOfChannels", channels);
  if (!isWhole(channels) || channels < 1 || channels > rules.maxChannels)
    fail(kWriter, "UnsupportedOutputChannels", std::to_string(channels) + " channels");
  s.channels = static_cast<int>(channels);

  std::string name;
  if (support::textOf(options, "FilterOutputDataType", name) &&
      !audioTypeFromName(name, s.receivedType))
    fail(kWriter, "WriteNotSupported", "sample type \"" + name + "\"");

  if (!rules.storedTypes.empty()) s.fileType = storedTypeFrom(options, rules);
  if (rules.bitRate) s.bitRate = bitRateFrom(options, *rules.bitRate, s.channels);

  double quality = 0.5;
  if (support::numberOf(options, "Quality", quality) && rules.qualityInUnitRange &&
      !(quality >= 0.0 && quality <= 1.0))
    fail(kWriter, "Unexpected", "Quality must lie within 0 and 1, not " + std::to_string(quality));
  s.quality = quality;
  return s;
}

std::size_t AudioFileWriter::queueBytes() const {
  if (!encoder_) return 0;
  std::size_t const perSecond = std::size_t(settings_.sampleRate) *
                                std::size_t(settings_.channels) *
                                audioSampleSize(settings_.receivedType);
  return std::max<std::size_t>(1, perSecond / kQueuedPerSecond);
}

void AudioFileWriter::open(PropertyMap const& options) {
  if (!initialised_) fail(kWriter, "Unexpected", "open before init");
  if (encoder_) close();
  EncoderSettings s = (options.empty() && haveSettings_) ? settings_ : settingsFrom(options);
  encoder_ = s.container == Container::Aac      ? createAacEncoder(s)
             : s.container == Container::Flac   ? createFlacEncoder(s)
             : s.container == Container::Vorbis ? createVorbisEncoder(s)
                                                : createSndfileEncoder(s);
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
  if (!isAudioSampleType(view.type))
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
  if (gatheredFrames_ * kGatherPerSecond >= std::size_t(settings_.sampleRate)) flushGathered();
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
    kernels::convertFunction(type, stored)(samples, out, count);
    return;
  }
  scratch_.resize(count * audioSampleSize(stored));
  kernels::convertFunction(type, stored)(samples, scratch_.data(), count);
  kernels::convertFunction(stored, wide)(scratch_.data(), out, count);
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
