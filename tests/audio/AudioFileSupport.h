// Drives the file devices the way the channel service does: init, the filter's
// process() on each block, the device's write() on each record it produced,
// close; and reads every frame back through the reader device.
#pragma once

#include <cctype>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "AudioFileReader.h"
#include "AudioFileWriter.h"
#include "AudioFilter.h"
#include "audio/AudioTestSupport.h"

namespace audiotest {

using namespace hostlib::multimedia;

struct Signal {
  unsigned long frames = 0;
  unsigned long channels = 0;
  std::vector<double> samples;  // channel after channel
  double at(unsigned long frame, unsigned long channel) const {
    return samples[channel * frames + frame];
  }
};

// Two tones per channel, 0.6 peak, on the grid of `bits`-bit integers when bits
// is not 0, so that integer files hold them exactly.
inline Signal tones(unsigned long frames, unsigned long channels, double rate, int bits = 0) {
  Signal s;
  s.frames = frames;
  s.channels = channels;
  s.samples.resize(frames * channels);
  double const pi = 3.14159265358979323846;
  for (unsigned long c = 0; c < channels; ++c)
    for (unsigned long f = 0; f < frames; ++f) {
      double t = f / rate;
      double v = 0.4 * std::sin(2 * pi * (440.0 + 110.0 * c) * t) +
                 0.2 * std::sin(2 * pi * 1230.0 * t + c);
      if (bits) v = std::round(v * std::ldexp(1.0, bits - 1)) / std::ldexp(1.0, bits - 1);
      s.samples[c * frames + f] = v;
    }
  return s;
}

struct WriteOptions {
  double sampleRate = 44100;
  double channels = 2;
  double bitRate = 128000;
  double quality = 0.5;
  std::string fileDataType;  // empty: not sent
  std::string filterType;    // empty: the device's "DataType" value itself
};

// Writes `signal` (doubles, channel after channel) in blocks of `block` frames.
inline void writeThrough(std::string const& path, Signal const& signal, WriteOptions const& o,
                         unsigned long block = 1000) {
  sluice::audiofile::AudioFileWriter writer;
  ResultMap result;
  Map init;
  init.text("Filename", path);
  writer.init(init, result.map);
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
  std::vector<double> chunk;
  for (unsigned long f0 = 0; f0 < signal.frames; f0 += block) {
    unsigned long n = std::min(block, signal.frames - f0);
    chunk.resize(n * signal.channels);
    for (unsigned long c = 0; c < signal.channels; ++c)
      std::memcpy(&chunk[c * n], &signal.samples[c * signal.frames + f0], n * sizeof(double));
    auto record = filter.process(sluice::makeSampleRecord(
        reinterpret_cast<unsigned char*>(chunk.data()), n, signal.channels, AUDIO_DOUBLE));
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
  Decoded d;
  ResultMap result;
  Map map;
  map.text("Filename", path);
  reader.init(map, result.map);
  d.sampleRate = boost::any_cast<double>(*static_cast<boost::any*>(result.map["SampleRate"]));
  reader.open(map);
  for (;;) {
    std::vector<void*> records;
    unsigned long got = 0;
    reader.read(block, records, got);
    if (records.empty()) break;
    for (void* p : records) {
      std::unique_ptr<sluice::Record> record(static_cast<sluice::Record*>(p));
      sluice::SampleRecordView v;
      if (!sluice::parseSampleRecord(*record, v)) throw std::runtime_error("bad record");
      std::unique_ptr<unsigned char[]> samples(v.samples);
      if (v.type != AUDIO_DOUBLE) throw std::runtime_error("not doubles");
      d.channels = v.channels;
      double const* x = reinterpret_cast<double const*>(v.samples);
      d.frames.insert(d.frames.end(), x, x + v.frames * v.channels);
    }
  }
  reader.close();
  return d;
}

// The doubles of a raw native-endian file.
inline std::vector<double> readDoubles(std::string const& raw) {
  std::vector<double> out;
  FILE* f = std::fopen(raw.c_str(), "rb");
  if (!f) return out;
  double buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, sizeof(double), 4096, f)) > 0)
    out.insert(out.end(), buffer, buffer + n);
  std::fclose(f);
  return out;
}

// Interleaved doubles decoded by ffmpeg (its own decoders) at `rate`, or none.
inline std::vector<double> ffmpegDecode(std::string const& path, long rate) {
  std::string raw = path + ".ffmpeg.f64";
  run("ffmpeg -nostdin -v error -y -i '" + path + "' -ar " + std::to_string(rate) +
      " -f f64le -c:a pcm_f64le '" + raw + "'");
  return readDoubles(raw);
}

// Interleaved doubles decoded by sox.
inline std::vector<double> soxDecode(std::string const& path) {
  std::string raw = path + ".sox.f64";
  run("sox '" + path + "' -t f64 '" + raw + "'");
  return readDoubles(raw);
}

// One stream property ffprobe reports, e.g. "sample_fmt".
inline std::string ffprobe(std::string const& path, std::string const& entry) {
  std::string out = run("ffprobe -v error -select_streams a:0 -show_entries stream=" + entry +
                        " -of default=noprint_wrappers=1:nokey=1 '" + path + "'");
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

inline std::string soxi(std::string const& path, char const* option) {
  std::string out = run(std::string("soxi ") + option + " '" + path + "'");
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

inline std::string lowerExtensionOf(std::string const& path) {
  std::string ext = path.substr(path.find_last_of('.') + 1);
  for (char& c : ext) c = char(std::tolower((unsigned char)c));
  return ext;
}

// Signal-to-noise ratio in dB of `test` against `reference`, both interleaved.
inline double snr(std::vector<double> const& reference, std::vector<double> const& test) {
  double signal = 0, noise = 0;
  std::size_t n = std::min(reference.size(), test.size());
  for (std::size_t i = 0; i < n; ++i) {
    signal += reference[i] * reference[i];
    noise += (reference[i] - test[i]) * (reference[i] - test[i]);
  }
  return noise == 0 ? 200.0 : 10 * std::log10(signal / noise);
}

inline std::vector<double> interleaved(Signal const& s) {
  std::vector<double> out(s.samples.size());
  for (unsigned long f = 0; f < s.frames; ++f)
    for (unsigned long c = 0; c < s.channels; ++c) out[f * s.channels + c] = s.at(f, c);
  return out;
}

inline double rms(std::vector<double> const& x) {
  double sum = 0;
  for (double v : x) sum += v * v;
  return x.empty() ? 0 : std::sqrt(sum / x.size());
}

}  // namespace audiotest
