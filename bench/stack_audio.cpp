// The audio cases: filter kernels, writing and reading files through the stack
// beside libsndfile and libavcodec called directly, per-call cost and memory.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}
#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "AudioKernels.h"
#include "Bench.h"
#include "hostlib/multimedia/fmmfb2audioinfo.h"
#include "hostlib/multimedia/fmmfb2audioreader.h"
#include "hostlib/multimedia/tmmfb2audiowriter.h"

namespace bench {
namespace {

using namespace hostlib::multimedia;

constexpr int kRate = 48000;

std::u16string widen(std::string const& s) { return std::u16string(s.begin(), s.end()); }

// A host's signal as it hands it over: blocks of `block` frames, each block
// channel after channel. `cycle` frames of distinct signal repeat as needed.
struct Signal {
  std::size_t block;
  std::size_t channels;
  std::size_t blocks;  // in one cycle
  std::vector<double> data;

  Signal(std::size_t blockFrames, std::size_t ch, std::size_t cycleFrames)
      : block(blockFrames), channels(ch), blocks((cycleFrames + blockFrames - 1) / blockFrames) {
    data.resize(blocks * block * channels);
    std::uint32_t seed = 12345;
    const double pi = 3.14159265358979323846;
    for (std::size_t b = 0; b < blocks; ++b)
      for (std::size_t c = 0; c < channels; ++c)
        for (std::size_t f = 0; f < block; ++f) {
          std::size_t const t = b * block + f;
          seed = seed * 1664525u + 1013904223u;
          double noise = (double(seed >> 8) / double(1 << 24) - 0.5) * 0.02;
          data[(b * channels + c) * block + f] =
              0.6 * std::sin(2 * pi * (220.0 + 110.0 * double(c)) * double(t) / kRate) + noise;
        }
  }
  double const* at(std::size_t k) const { return &data[(k % blocks) * block * channels]; }
};

struct Format {
  char const* ext;
  AudioDataType fileType;  // AUDIO_UNSPECIFIED: the format's own
};

// Our side: the host object with the shipped plug-ins.
void writeOurs(std::string const& path, Signal const& s, std::size_t frames, Format f) {
  tmmfb2audiowriter w(widen(path), "audiofilewriter", "passthrough", "audiofilter");
  w.setSampleRate(kRate);
  w.setNumChannels(s.channels);
  w.setInputDataType(AUDIO_DOUBLE);
  if (f.fileType != AUDIO_UNSPECIFIED) w.setFileDataType(f.fileType);
  w.setOggQuality(0.5);
  w.setMpeg4AudioBitRate(128000);
  w.open();
  std::vector<double> last;
  for (std::size_t k = 0, at = 0; at < frames; ++k, at += s.block) {
    std::size_t const n = std::min(s.block, frames - at);
    double const* block = s.at(k);
    if (n < s.block) {  // a shorter last block, channel after channel as well
      last.resize(n * s.channels);
      for (std::size_t c = 0; c < s.channels; ++c)
        std::copy(block + c * s.block, block + c * s.block + n, &last[c * n]);
      block = last.data();
    }
    w.writeAudio(reinterpret_cast<unsigned char const*>(block), n, AUDIO_DOUBLE);
  }
  w.close();
}

// The peer: libsndfile, fed frames interleaved by a straightforward host loop.
template <typename Sample>
void writeSndfile(std::string const& path, Signal const& s, std::size_t frames, int format,
                  double level) {
  SF_INFO info = {};
  info.samplerate = kRate;
  info.channels = int(s.channels);
  info.format = format;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!f) throw std::runtime_error("sf_open: " + std::string(sf_strerror(nullptr)));
  if (level >= 0) sf_command(f, SFC_SET_COMPRESSION_LEVEL, &level, sizeof level);
  std::vector<Sample> frame(s.block * s.channels);
  for (std::size_t k = 0, at = 0; at < frames; ++k, at += s.block) {
    std::size_t const n = std::min(s.block, frames - at);
    double const* in = s.at(k);
    for (std::size_t i = 0; i < n; ++i)
      for (std::size_t c = 0; c < s.channels; ++c)
        frame[i * s.channels + c] = static_cast<Sample>(in[c * s.block + i]);
    sf_count_t done;
    if constexpr (sizeof(Sample) == 8)
      done = sf_writef_double(f, reinterpret_cast<double const*>(frame.data()), sf_count_t(n));
    else
      done = sf_writef_float(f, reinterpret_cast<float const*>(frame.data()), sf_count_t(n));
    if (done != sf_count_t(n)) throw std::runtime_error("sf_writef failed");
  }
  sf_close(f);
}

// The peer for AAC: libavcodec's encoder and the M4A muxer, fed planar float
// frames that the host converts from its blocks.
void writeAacPeer(std::string const& path, Signal const& s, std::size_t frames) {
  AVCodec const* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
  AVFormatContext* fmt = nullptr;
  if (!codec || avformat_alloc_output_context2(&fmt, nullptr, "ipod", nullptr) < 0)
    throw std::runtime_error("no AAC encoder or M4A muxer");
  AVCodecContext* c = avcodec_alloc_context3(codec);
  c->sample_fmt = AV_SAMPLE_FMT_FLTP;
  c->sample_rate = kRate;
  av_channel_layout_default(&c->ch_layout, int(s.channels));
  c->bit_rate = 128000;
  c->time_base = AVRational{1, kRate};
  if (fmt->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (avcodec_open2(c, codec, nullptr) < 0) throw std::runtime_error("avcodec_open2");
  AVStream* st = avformat_new_stream(fmt, nullptr);
  st->time_base = c->time_base;
  avcodec_parameters_from_context(st->codecpar, c);
  if (avio_open(&fmt->pb, path.c_str(), AVIO_FLAG_WRITE) < 0) throw std::runtime_error("avio_open");
  AVDictionary* opts = nullptr;
  av_dict_set_int(&opts, "movie_timescale", kRate, 0);
  if (avformat_write_header(fmt, &opts) < 0) throw std::runtime_error("header");
  av_dict_free(&opts);
  AVFrame* frame = av_frame_alloc();
  AVPacket* pkt = av_packet_alloc();
  auto drain = [&] {
    while (avcodec_receive_packet(c, pkt) >= 0) {
      pkt->stream_index = st->index;
      av_packet_rescale_ts(pkt, c->time_base, st->time_base);
      av_interleaved_write_frame(fmt, pkt);
    }
  };
  std::size_t const n = std::size_t(c->frame_size);
  std::int64_t pts = 0;
  std::size_t filled = 0;
  auto send = [&](AVFrame* f) {
    if (avcodec_send_frame(c, f) < 0) throw std::runtime_error("send_frame");
    drain();
  };
  auto fresh = [&] {
    av_frame_unref(frame);
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->nb_samples = int(n);
    frame->sample_rate = kRate;
    av_channel_layout_copy(&frame->ch_layout, &c->ch_layout);
    av_frame_get_buffer(frame, 0);
    filled = 0;
  };
  fresh();
  for (std::size_t k = 0, at = 0; at < frames; ++k, at += s.block) {
    double const* in = s.at(k);
    std::size_t const count = std::min(s.block, frames - at);
    for (std::size_t i = 0; i < count;) {
      std::size_t take = std::min(count - i, n - filled);
      for (std::size_t ch = 0; ch < s.channels; ++ch) {
        float* out = reinterpret_cast<float*>(frame->extended_data[ch]) + filled;
        for (std::size_t j = 0; j < take; ++j) out[j] = float(in[ch * s.block + i + j]);
      }
      i += take;
      filled += take;
      if (filled == n) {
        frame->pts = pts;
        pts += std::int64_t(n);
        send(frame);
        fresh();
      }
    }
  }
  if (filled) {
    frame->nb_samples = int(filled);
    frame->pts = pts;
    send(frame);
  }
  send(nullptr);
  av_write_trailer(fmt);
  avio_closep(&fmt->pb);
  av_packet_free(&pkt);
  av_frame_free(&frame);
  avcodec_free_context(&c);
  avformat_free_context(fmt);
}

double readOurs(std::string const& path, unsigned long count) {
  fmmfb2audioreader r(widen(path), "audiofilereader", "passthrough");
  r.open();
  double sum = 0;
  for (;;) {
    unsigned char* data = nullptr;
    unsigned long n = r.readAudio(&data, count);
    std::unique_ptr<unsigned char[]> owned(data);
    if (n == 0 && r.isEndOfAudio()) break;
    if (data) sum += reinterpret_cast<double const*>(data)[0];
  }
  r.close();
  return sum;
}

double readPeer(std::string const& path, unsigned long count) {
  SF_INFO info = {};
  SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) throw std::runtime_error("sf_open for reading");
  std::vector<double> buf(count * std::size_t(info.channels));
  double sum = 0;
  while (sf_readf_double(f, buf.data(), sf_count_t(count)) > 0) sum += buf[0];
  sf_close(f);
  return sum;
}

volatile double sink;

Row speedRow(std::string name, double work, std::string unit, Timing t, std::string target,
             double goal) {
  double const ours = work / t.ours, peer = work / t.peer;
  return {std::move(name),   std::move(unit),    ours, peer, ours / peer,
          std::move(target), ours / peer >= goal};
}

void kernelCase(Table& table, AudioDataType out, char const* label, double goal) {
  if (!selected(label)) return;
  std::size_t const frames = 10 * kRate, channels = 8, n = frames * channels;
  Signal s(frames, channels, frames);
  auto transpose = sluice::kernels::transposeFunction(AUDIO_DOUBLE, out);
  std::size_t const size = out == AUDIO_INT16 ? 2 : 4;
  std::vector<unsigned char> dst(n * size, 1);
  double const* src = s.at(0);
  auto peer = [&] {
    // What a host writes by hand: frame by frame, channel by channel.
    if (out == AUDIO_INT16) {
      std::int16_t* d = reinterpret_cast<std::int16_t*>(dst.data());
      for (std::size_t f = 0; f < frames; ++f)
        for (std::size_t c = 0; c < channels; ++c) {
          double x = std::nearbyint(src[c * frames + f] * 32768.0);
          d[f * channels + c] = std::int16_t(x > 32767.0 ? 32767.0 : x < -32768.0 ? -32768.0 : x);
        }
    } else {
      float* d = reinterpret_cast<float*>(dst.data());
      for (std::size_t f = 0; f < frames; ++f)
        for (std::size_t c = 0; c < channels; ++c) d[f * channels + c] = float(src[c * frames + f]);
    }
    sink = dst[7];
  };
  auto ours = [&] {
    transpose(reinterpret_cast<unsigned char const*>(src), dst.data(), frames, channels);
    sink = dst[7];
  };
  Timing t = timePair(ours, peer, std::max(kReps, 9), nullptr, nullptr, threadCpu);
  double const ms = double(n) / 1e6;
  char target[64];
  std::snprintf(target, sizeof target, ">= %.0f Msamples/s", goal);
  Row r = speedRow(label, ms, "Ms/s (cpu)", t, target, 0);
  r.met = r.ours >= goal;
  table.add(r);
}

void writeCase(Table& table, char const* label, Format f, std::size_t channels, int sfFormat,
               double level, bool floatPeer, bool aacPeer, double goal) {
  if (!selected(label)) return;
  Signal s(kRate, channels, 10 * kRate);
  std::string const a = scratch(std::string("ours.") + f.ext),
                    b = scratch(std::string("peer.") + f.ext);
  auto ours = [&](std::size_t frames) { writeOurs(a, s, frames, f); };
  auto peer = [&](std::size_t frames) {
    if (aacPeer)
      writeAacPeer(b, s, frames);
    else if (floatPeer)
      writeSndfile<float>(b, s, frames, sfFormat, level);
    else
      writeSndfile<double>(b, s, frames, sfFormat, level);
  };
  // The warm-up writes 5 s: it loads the codecs and warms the caches all the same.
  std::size_t const frames = 60 * kRate, warm = 5 * kRate;
  Timing t = timePair([&] { ours(frames); }, [&] { peer(frames); }, kReps, [&] { ours(warm); },
                      [&] { peer(warm); });
  char target[32];
  std::snprintf(target, sizeof target, "ratio >= %.2f", goal);
  table.add(speedRow(label, 60.0, "x realtime", t, target, goal));
  std::remove(a.c_str());
  std::remove(b.c_str());
}

void readCase(Table& table, char const* label, Format f, double goal) {
  if (!selected(label)) return;
  std::size_t const frames = 60 * kRate;
  Signal s(kRate, 8, 10 * kRate);
  std::string const path = scratch(std::string("read.") + f.ext);
  writeOurs(path, s, frames, f);
  unsigned long const count = 16384;
  Timing t =
      timePair([&] { sink = readOurs(path, count); }, [&] { sink = readPeer(path, count); }, kReps);
  char target[32];
  std::snprintf(target, sizeof target, "ratio >= %.2f", goal);
  table.add(speedRow(label, 60.0, "x realtime", t, target, goal));
  std::remove(path.c_str());
}

void blockCase(Table& table) {
  char const* label = "write WAV int16 2 ch 60 s: 64-frame vs 65536-frame blocks";
  if (!selected(label)) return;
  std::size_t const frames = 60 * kRate;
  Signal small(64, 2, 10 * kRate), large(65536, 2, 10 * kRate);
  std::string const a = scratch("small.wav"), b = scratch("large.wav");
  Format const wav{"wav", AUDIO_INT16};
  Timing t = timePair([&] { writeOurs(a, small, frames, wav); },
                      [&] { writeOurs(b, large, frames, wav); }, kReps);
  table.add(speedRow(label, 60.0, "x realtime", t, "ratio >= 0.50", 0.5));
  std::remove(a.c_str());
  std::remove(b.c_str());
}

// Small blocks beside a host calling libsndfile itself at the same block size:
// the cost of a call, not of the samples.
void smallBlockCase(Table& table, std::size_t block, double goal) {
  std::string const label =
      "write WAV int16 2 ch 60 s, " + std::to_string(block) + "-frame blocks vs libsndfile";
  if (!selected(label)) return;
  std::size_t const frames = 60 * kRate;
  Signal s(block, 2, 10 * kRate);
  std::string const a = scratch("ours-small.wav"), b = scratch("peer-small.wav");
  Format const wav{"wav", AUDIO_INT16};
  Timing t = timePair(
      [&] { writeOurs(a, s, frames, wav); },
      [&] { writeSndfile<double>(b, s, frames, SF_FORMAT_WAV | SF_FORMAT_PCM_16, -1); }, kReps);
  char target[32];
  std::snprintf(target, sizeof target, "ratio >= %.2f", goal);
  table.add(speedRow(label, 60.0, "x realtime", t, target, goal));
  std::remove(a.c_str());
  std::remove(b.c_str());
}

// Peak resident memory of a fresh process writing `seconds` of audio, in MiB:
// the child reports its own high-water mark (a parent's rusage would also count
// what the parent had resident before the child's exec).
double peakOf(std::string const& side, int seconds) {
  char self[4096];
  ssize_t const n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) throw std::runtime_error("cannot find the benchmark's own executable");
  self[n] = 0;
  std::string const command =
      "'" + std::string(self) + "' --rss-child " + side + " " + std::to_string(seconds);
  FILE* child = ::popen(command.c_str(), "r");
  if (!child) throw std::runtime_error("popen");
  double kib = -1;
  if (std::fscanf(child, "%lf", &kib) != 1) kib = -1;
  if (::pclose(child) != 0 || kib <= 0) throw std::runtime_error("the memory probe failed");
  return kib / 1024.0;
}

void memoryCase(Table& table) {
  char const* label = "peak RSS writing WAV int16 8 ch 10 min vs libsndfile";
  if (!selected(label)) return;
  // One fresh process each: a peak is not noise to take a median of. How high
  // a writer's peak gets depends on how far its queue happens to fill, which
  // varies from run to run by several MiB at any length: the reference is the
  // highest of three one-minute runs.
  double const a = peakOf("ours", 600), b = peakOf("peer", 600);
  double const c = std::max({peakOf("ours", 60), peakOf("ours", 60), peakOf("ours", 60)});
  // Flat: ten times the length costs no more than a few MiB more.
  bool const flat = a - c < 8.0;
  char target[64];
  std::snprintf(target, sizeof target, "< 64, flat (1 min: %.0f)", c);
  table.add({label, "MiB", a, b, b / a, target, a < 64.0 && flat});
}

}  // namespace

int rssChild(std::string const& side, int seconds) {
  std::size_t const frames = std::size_t(seconds) * kRate;
  Signal s(kRate, 8, kRate);
  std::string const path = scratch(side + "-rss.wav");
  if (side == "ours")
    writeOurs(path, s, frames, {"wav", AUDIO_INT16});
  else
    writeSndfile<double>(path, s, frames, SF_FORMAT_WAV | SF_FORMAT_PCM_16, -1);
  removeScratch();
  // VmHWM: this process's peak resident set, in KiB.
  FILE* status = std::fopen("/proc/self/status", "r");
  char line[256];
  long kib = -1;
  while (status && std::fgets(line, sizeof line, status))
    if (std::sscanf(line, "VmHWM: %ld", &kib) == 1) break;
  if (status) std::fclose(status);
  std::printf("%ld\n", kib);
  return kib > 0 ? 0 : 1;
}

// A 1-hour WAV file of 8 channels of silence: a 44-byte header and 2.8 GB of
// zeros, which the file system keeps as a hole.
void hourOfWav(std::string const& path) {
  std::uint32_t const rate = kRate, bytes = 3600u * rate * 8u * 2u;
  auto le = [](std::uint32_t v, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s += char(v >> (8 * i));
    return s;
  };
  std::string const header = "RIFF" + le(36 + bytes, 4) + "WAVEfmt " + le(16, 4) + le(1, 2) +
                             le(8, 2) + le(rate, 4) + le(rate * 16, 4) + le(16, 2) + le(16, 2) +
                             "data" + le(bytes, 4);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || ::write(fd, header.data(), header.size()) != ssize_t(header.size()) ||
      ::ftruncate(fd, off_t(header.size()) + bytes) != 0)
    throw std::runtime_error("cannot make " + path);
  ::close(fd);
}

void run(std::string const& command) {
  if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

double infoSeconds(std::string const& path) {
  double const t = now();
  fmmfb2audioinfo info(widen(path), "audiofilereader", "passthrough");
  sink = double(info.getTotalFrames());
  return now() - t;
}

// The info class on 1-hour files: a header read for WAV and FLAC beside
// libsndfile opening the same file; a frame header scan for an MP3 without a
// Xing header beside decoding it whole through the reader.
void infoCases(Table& table) {
  char const* wavLabel = "info on a 1-hour 8 ch WAV vs sf_open";
  char const* flacLabel = "info on a 1-hour 8 ch FLAC vs sf_open";
  char const* mp3Label = "info on a 1-hour CBR MP3, no Xing header, vs decoding it";
  auto headerCase = [&](char const* label, std::string const& path) {
    Timing t = timePair([&] { sink = infoSeconds(path); },
                        [&] {
                          SF_INFO i = {};
                          sf_close(sf_open(path.c_str(), SFM_READ, &i));
                        },
                        kReps);
    table.add({label, "ms", 1e3 * t.ours, 1e3 * t.peer, t.peer / t.ours, "< 5 ms", t.ours < 5e-3});
  };
  if (selected(wavLabel)) {
    std::string const wav = scratch("hour.wav");
    hourOfWav(wav);
    headerCase(wavLabel, wav);
    std::remove(wav.c_str());
  }
  if (selected(flacLabel)) {
    std::string const flac = scratch("hour.flac");
    run("ffmpeg -nostdin -v error -y -f lavfi -i anullsrc=r=48000:cl=7.1 -t 3600 -c:a flac "
        "-compression_level 0 -sample_fmt s16 " +
        flac);
    headerCase(flacLabel, flac);
    std::remove(flac.c_str());
  }
  if (selected(mp3Label)) {
    // Raw MP3 streams join frame to frame: 360 copies of 10 s are one hour.
    std::string const piece = scratch("ten.mp3"), mp3 = scratch("hour.mp3");
    run("ffmpeg -nostdin -v error -y -f lavfi -i sine=f=440:r=44100:d=10 -c:a libmp3lame -b:a "
        "128k -write_xing 0 -id3v2_version 0 " +
        piece);
    run("for i in $(seq 360); do cat " + piece + "; done > " + mp3);
    double const info = infoSeconds(mp3);
    double const decode = [&] {
      double const t = now();
      sink = readOurs(mp3, 65536);
      return now() - t;
    }();
    table.add({mp3Label, "ms", 1e3 * info, 1e3 * decode, decode / info, "ratio >= 50",
               decode / info >= 50});
    std::remove(piece.c_str());
    std::remove(mp3.c_str());
  }
}

void audioCases(Table& table) {
  std::printf("audio:\n");
  kernelCase(table, AUDIO_INT16, "audio filter kernel: col-major double -> int16, 8 ch, 10 s",
             1000);
  kernelCase(table, AUDIO_SINGLE, "audio filter kernel: col-major double -> single, 8 ch, 10 s",
             1500);
  writeCase(table, "write WAV int16 8 ch 60 s vs interleave + sf_writef_double",
            {"wav", AUDIO_INT16}, 8, SF_FORMAT_WAV | SF_FORMAT_PCM_16, -1, false, false, 1.5);
  writeCase(table, "write FLAC 16-bit 8 ch 60 s vs interleave + sf_writef_double",
            {"flac", AUDIO_INT16}, 8, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 0.5, false, false, 1.1);
  writeCase(table, "write OGG Vorbis q0.5 2 ch 60 s vs libsndfile", {"ogg", AUDIO_UNSPECIFIED}, 2,
            SF_FORMAT_OGG | SF_FORMAT_VORBIS, 0.5, true, false, 0.95);
  writeCase(table, "write M4A AAC 128 kbit/s 2 ch 60 s vs libavcodec", {"m4a", AUDIO_UNSPECIFIED},
            2, 0, -1, false, true, 0.95);
  readCase(table, "read WAV int16 8 ch 60 s vs sf_readf_double", {"wav", AUDIO_INT16}, 0.85);
  readCase(table, "read FLAC 16-bit 8 ch 60 s vs sf_readf_double", {"flac", AUDIO_INT16}, 0.85);
  smallBlockCase(table, 64, 1.5);
  smallBlockCase(table, 256, 1.5);
  smallBlockCase(table, 4096, 1.0);
  blockCase(table);
  memoryCase(table);
  infoCases(table);
}

}  // namespace bench
