#include "AudioFilter.h"

#include <limits>
#include <string>

#include "AudioKernels.h"
#include "Failure.h"
#include "Properties.h"

namespace sluice {
namespace audiofilter {

namespace {

constexpr char const* kWhere = "audiofilter";

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
  if (!support::textOf(options, "FilterTransformType", transform) ||
      transform != "InterleaveTranspose")
    support::fail(kWhere, "Unexpected", "transform must be InterleaveTranspose");
  std::string name;
  AudioDataType type;
  if (!support::textOf(options, "FilterOutputDataType", name) || !audioTypeFromName(name, type))
    support::fail(kWhere, "WriteNotSupported", "output sample type \"" + name + "\" unknown");
  output_ = type;
  configured_ = true;
}

std::unique_ptr<OwnedRecord> AudioFilter::process(Record const& in) {
  if (!configured_) support::fail(kWhere, "Unexpected", "not open");
  SampleRecordView view;
  if (!parseSampleRecord(in, view)) support::fail(kWhere, "Unexpected", "not a sample record");
  kernels::TransposeFunction transpose = kernels::transposeFunction(view.type, output_);
  if (!transpose)
    support::fail(kWhere, "WriteNotSupported",
                  "input sample type " + std::to_string(view.type) + " unknown");
  if (view.channels == 0 && view.frames != 0)
    support::fail(kWhere, "UnsupportedOutputChannels", "no channels");
  std::size_t const size = audioSampleSize(output_);
  std::size_t const maxCount = std::numeric_limits<std::size_t>::max() / 8;
  if (view.channels != 0 && view.frames > maxCount / view.channels)
    support::fail(kWhere, "Unexpected", "block too large");
  std::size_t const samples = std::size_t(view.frames) * view.channels;
  if (samples != 0 && !view.samples) support::fail(kWhere, "Unexpected", "no sample data");

  std::unique_ptr<OwnedRecord> out = spareRecord(samples * size);
  if (samples) transpose(view.samples, out->storage.data(), view.frames, view.channels);
  setSampleRecord(out->record, out->storage.data(), view.frames, view.channels, output_);
  return out;
}

}  // namespace audiofilter
}  // namespace sluice
