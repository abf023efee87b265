#include "AudioFilter.h"

#include <limits>
#include <string>

#include "SampleConvert.h"
#include "ostra/i18n.h"

namespace sluice {
namespace audio {

namespace {

constexpr char const* kWhere = "audiofilter";

// The text held by a map value, or false when the key is absent or holds another type.
bool textOf(PropertyMap const& map, char const* key, std::string& text) {
  auto it = map.find(key);
  if (it == map.end() || !it->second) return false;
  auto const* value = boost::any_cast<std::u16string>(static_cast<boost::any const*>(it->second));
  if (!value) return false;
  text = ostra::i18n::to_utf8(*value);
  return true;
}

}  // namespace

void AudioFilter::add(PropertyMap const& options) {
  if (!options.empty()) read(options);
}

void AudioFilter::open(PropertyMap const& options) {
  if (options.empty() && configured_) return;
  read(options);
}

void AudioFilter::read(PropertyMap const& options) {
  std::string transform;
  if (!textOf(options, "FilterTransformType", transform) || transform != "InterleaveTranspose")
    throw sdk::Failure(std::string(kWhere) + ": transform must be InterleaveTranspose",
                       "Unexpected");
  std::string name;
  AudioDataType type;
  if (!textOf(options, "FilterOutputDataType", name) || !sampleTypeFromName(name, type))
    throw sdk::Failure(std::string(kWhere) + ": output sample type \"" + name + "\" unknown",
                       "WriteNotSupported");
  output_ = type;
  configured_ = true;
}

std::unique_ptr<OwnedRecord> AudioFilter::process(Record const& in) {
  if (!configured_) throw sdk::Failure(std::string(kWhere) + ": not open", "Unexpected");
  SampleRecordView view;
  if (!parseSampleRecord(in, view))
    throw sdk::Failure(std::string(kWhere) + ": not a sample record", "Unexpected");
  TransposeFunction transpose = transposeFunction(view.type, output_);
  if (!transpose)
    throw sdk::Failure(
        std::string(kWhere) + ": input sample type " + std::to_string(view.type) + " unknown",
        "WriteNotSupported");
  if (view.channels == 0 && view.frames != 0)
    throw sdk::Failure(std::string(kWhere) + ": no channels", "UnsupportedOutputChannels");
  std::size_t const size = audioSampleSize(output_);
  std::size_t const maxCount = std::numeric_limits<std::size_t>::max() / 8;
  if (view.channels != 0 && view.frames > maxCount / view.channels)
    throw sdk::Failure(std::string(kWhere) + ": block too large", "Unexpected");
  std::size_t const samples = std::size_t(view.frames) * view.channels;
  if (samples != 0 && !view.samples)
    throw sdk::Failure(std::string(kWhere) + ": no sample data", "Unexpected");

  auto out = std::make_unique<OwnedRecord>();
  out->storage = Bytes(samples * size);
  if (samples) transpose(view.samples, out->storage.data(), view.frames, view.channels);
  out->record = makeSampleRecord(out->storage.data(), view.frames, view.channels, output_);
  return out;
}

}  // namespace audio
}  // namespace sluice
