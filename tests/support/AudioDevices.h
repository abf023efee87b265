// The audio file plug-ins driven as the channel service drives them: init, the
// filter's process() on each block, the device's write() on each record, close;
// and every frame read back through the reader device.
#pragma once

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "AudioFileReader.h"
#include "AudioFileWriter.h"
#include "AudioFilter.h"
#include "support/Maps.h"

namespace testsupport {

struct WriteOptions {
  double sampleRate = 44100;
  double channels = 2;
  double bitRate = 128000;
  double quality = 0.5;
  std::string fileDataType;  // empty: not sent
  std::string filterType;    // empty: the device's "DataType" value itself
};

// Writes doubles given channel after channel in blocks of `block` frames.
inline void writeThrough(std::string const& path, std::vector<double> const& samples,
                         WriteOptions const& o, unsigned long block = 1000) {
  sluice::audiofile::AudioFileWriter writer;
  ResultMap result;
  writer.init(Map().text("Filename", path), result.map);
  Map open;
  open.text("FilterTransformType", "InterleaveTranspose");
  if (o.filterType.empty())
    open.pointer("FilterOutputDataType", result.map["DataType"]);
  else
    open.text("FilterOutputDataType", o.filterType);
  open.number("SampleRate", o.sampleRate)
      .number("NumberOfChannels", o.channels)
      .number("BitRate", o.bitRate)
      .number("Quality", o.quality);
  if (!o.fileDataType.empty()) open.text("FileDataType", o.fileDataType);
  sluice::audiofilter::AudioFilter filter;
  filter.add({});
  filter.open(open);
  writer.open(open);
  auto const channels = static_cast<unsigned long>(o.channels);
  unsigned long const frames = samples.size() / channels;
  std::vector<double> chunk;
  for (unsigned long f0 = 0; f0 < frames; f0 += block) {
    unsigned long const n = std::min(block, frames - f0);
    chunk.resize(n * channels);
    for (unsigned long c = 0; c < channels; ++c)
      std::memcpy(&chunk[c * n], &samples[c * frames + f0], n * sizeof(double));
    auto record =
        filter.process(sluice::makeSampleRecord(reinterpret_cast<unsigned char*>(chunk.data()), n,
                                                channels, hostlib::multimedia::AUDIO_DOUBLE));
    writer.write(*record);
  }
  writer.close();
}

struct Decoded {
  unsigned long channels = 0;
  double sampleRate = 0;
  std::vector<double> frames;  // interleaved
  unsigned long count() const { return channels ? frames.size() / channels : 0; }
};

// Every frame of a file through the reader device, `block` frames a read.
inline Decoded readThrough(std::string const& path, unsigned long block = 0) {
  sluice::audiofile::AudioFileReader reader;
  ResultMap result;
  Map map;
  map.text("Filename", path);
  reader.init(map, result.map);
  Decoded d;
  d.sampleRate = result.get<double>("SampleRate");
  d.channels = static_cast<unsigned long>(result.get<double>("NumberOfChannels"));
  reader.open(map);
  for (;;) {
    std::vector<void*> records;
    unsigned long got = 0;
    reader.read(block, records, got);
    if (records.empty()) break;
    for (void* p : records) {
      sluice::SampleRecordView v;
      bool const ok = sluice::parseSampleRecord(*static_cast<sluice::Record*>(p), v) &&
                      v.type == hostlib::multimedia::AUDIO_DOUBLE;
      double const* x = reinterpret_cast<double const*>(v.samples);
      if (ok) d.frames.insert(d.frames.end(), x, x + v.frames * v.channels);
      sluice::releaseDeliveredRecord(p);
      if (!ok) throw std::runtime_error("not a record of doubles");
    }
  }
  reader.close();
  return d;
}

}  // namespace testsupport
