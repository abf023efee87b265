#include "AudioFacts.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/intreadwrite.h>
}

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

#include "LibavLog.h"
#include "RegularFile.h"

namespace sluice {
namespace audiofile {

using namespace hostlib::multimedia;

PacketTotals scanPackets(std::string const& path) {
  support::routeLibavLogs();
  support::LibavInput input;
  if (input.open(path) < 0) return {};
  AVFormatContext* const opened = input.format();
  if (avformat_find_stream_info(opened, nullptr) < 0) return {};
  int const index = av_find_best_stream(opened, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (index < 0) return {};
  AVStream const* stream = opened->streams[index];
  int const rate = stream->codecpar->sample_rate;
  std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(),
                                                        [](AVPacket* p) { av_packet_free(&p); });
  if (rate <= 0 || !packet) return {};
  PacketTotals totals;
  totals.ok = true;
  for (int rc; (rc = av_read_frame(opened, packet.get())) != AVERROR_EOF;
       av_packet_unref(packet.get())) {
    if (rc < 0) return {};
    if (packet->stream_index != index) continue;
    // A packet whose length the demuxer does not know leaves the total unknown.
    if (packet->duration <= 0) totals.ok = false;
    std::int64_t frames = av_rescale_q(packet->duration, stream->time_base, AVRational{1, rate});
    // What the decoder will drop: encoder delay and padding the container marks.
    std::size_t size = 0;
    if (uint8_t const* skip =
            av_packet_get_side_data(packet.get(), AV_PKT_DATA_SKIP_SAMPLES, &size);
        skip && size >= 8)
      frames -= std::int64_t(AV_RL32(skip)) + std::int64_t(AV_RL32(skip + 4));
    totals.frames += frames > 0 ? frames : 0;
    totals.bytes += std::uint64_t(packet->size);
  }
  return totals;
}

namespace {

// One MPEG audio frame header: its length in bytes and the samples it holds;
// false when `h` is no header we can size.
bool mpegFrame(unsigned char const* h, std::size_t& bytes, int& samples) {
  if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return false;
  int const version = (h[1] >> 3) & 3, layer = (h[1] >> 1) & 3;  // version 3: MPEG-1
  int const bitrateIndex = h[2] >> 4, rateIndex = (h[2] >> 2) & 3, padding = (h[2] >> 1) & 1;
  if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
    return false;
  static int const kbps[2][3][15] = {
      {{0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},        // MPEG-2 layer III
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},        // layer II
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256}},  // layer I
      {{0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},    // MPEG-1 layer III
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
       {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448}}};
  static int const rates[3] = {44100, 48000, 32000};
  bool const mpeg1 = version == 3;
  int const rate = rates[rateIndex] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
  int const bitrate = kbps[mpeg1][layer - 1][bitrateIndex] * 1000;
  if (layer == 3) {  // layer I
    samples = 384;
    bytes = std::size_t((12 * bitrate / rate + padding) * 4);
  } else {
    samples = layer == 1 && !mpeg1 ? 576 : 1152;
    bytes = std::size_t(samples / 8 * bitrate / rate + padding);
  }
  return bytes > 4;
}

}  // namespace

PacketTotals scanMpegFrames(std::string const& path) {
  int const fd = support::openRegularFile(path);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_size < 4) {
    if (fd >= 0) ::close(fd);
    return {};
  }
  std::size_t end = std::size_t(st.st_size);
  void* mapped = ::mmap(nullptr, end, PROT_READ, MAP_PRIVATE, fd, 0);
  ::close(fd);
  if (mapped == MAP_FAILED) return {};
  std::unique_ptr<void, std::function<void(void*)>> unmap(mapped,
                                                          [end](void* p) { ::munmap(p, end); });
  auto const* data = static_cast<unsigned char const*>(mapped);
  std::size_t at = 0;
  if (end >= 10 && std::memcmp(data, "ID3", 3) == 0)  // ID3v2: a syncsafe size
    at = 10 + (std::size_t(data[6] & 0x7F) << 21 | std::size_t(data[7] & 0x7F) << 14 |
               std::size_t(data[8] & 0x7F) << 7 | std::size_t(data[9] & 0x7F));
  if (end >= 128 && std::memcmp(data + end - 128, "TAG", 3) == 0) end -= 128;
  PacketTotals totals;
  for (bool first = true; at + 4 <= end; first = false) {
    std::size_t bytes;
    int samples;
    if (!mpegFrame(data + at, bytes, samples) || at + bytes > end) return {};
    if (first) {
      // A Xing or Info header sits after the side information, a VBRI header at 36.
      std::string const frame(reinterpret_cast<char const*>(data + at), bytes);
      if (frame.find("Xing") != std::string::npos || frame.find("Info") != std::string::npos ||
          frame.find("VBRI") != std::string::npos)
        return {};
    }
    totals.frames += samples;
    totals.bytes += bytes;
    at += bytes;
  }
  totals.ok = at == end && totals.frames > 0;
  return totals;
}

std::uint64_t flacFrameBytes(std::string const& path) {
  int const fd = support::openRegularFile(path);
  std::unique_ptr<FILE, int (*)(FILE*)> file(fd < 0 ? nullptr : ::fdopen(fd, "rb"), &std::fclose);
  if (fd >= 0 && !file) ::close(fd);
  unsigned char head[4];
  if (!file || std::fread(head, 1, 4, file.get()) != 4 || std::memcmp(head, "fLaC", 4) != 0)
    return 0;
  // Metadata blocks: a byte of last-block flag and type, then 24 bits of length.
  for (bool last = false; !last;) {
    if (std::fread(head, 1, 4, file.get()) != 4) return 0;
    last = (head[0] & 0x80) != 0;
    long const length = long(head[1]) << 16 | long(head[2]) << 8 | long(head[3]);
    if (std::fseek(file.get(), length, SEEK_CUR) != 0) return 0;
  }
  long const start = std::ftell(file.get());
  char tag[3] = {0};
  bool const id3v1 = std::fseek(file.get(), -128, SEEK_END) == 0 &&
                     std::fread(tag, 1, 3, file.get()) == 3 && std::memcmp(tag, "TAG", 3) == 0;
  if (std::fseek(file.get(), 0, SEEK_END) != 0) return 0;
  long const end = std::ftell(file.get()) - (id3v1 ? 128 : 0);
  return start > 0 && end > start ? std::uint64_t(end - start) : 0;
}

std::string formatName(char const* demuxer) {
  static char const* const names[][2] = {{"mp3", "MP3"}, {"mov", "MP4"},   {"ogg", "OGG"},
                                         {"wav", "WAV"}, {"flac", "FLAC"}, {"aiff", "AIFF"},
                                         {"au", "AU"},   {"caf", "CAF"},   {"w64", "W64"}};
  std::string const shortName = std::string(demuxer).substr(0, std::string(demuxer).find(','));
  for (auto const& n : names)
    if (shortName == n[0]) return n[1];
  return shortName;
}

std::string codecName(int avCodecId) {
  auto const id = static_cast<AVCodecID>(avCodecId);
  static struct {
    AVCodecID id;
    char const* name;
  } const names[] = {{AV_CODEC_ID_FLAC, "FLAC"}, {AV_CODEC_ID_VORBIS, "Vorbis"},
                     {AV_CODEC_ID_OPUS, "Opus"}, {AV_CODEC_ID_MP3, "MP3"},
                     {AV_CODEC_ID_AAC, "AAC"},   {AV_CODEC_ID_ALAC, "ALAC"}};
  for (auto const& n : names)
    if (id == n.id) return n.name;
  std::string const name = avcodec_get_name(id);
  // Linear PCM, not companded.
  bool const linear =
      name.compare(0, 4, "pcm_") == 0 && (name[4] == 's' || name[4] == 'u' || name[4] == 'f');
  return linear ? "PCM" : name;
}

void setBitRate(AudioFacts& facts, int rate, int channels, bool pcm, double audioBytes) {
  double const seconds = facts.totalFrames > 0 ? double(facts.totalFrames) / rate : 0;
  if (pcm)
    facts.bitRate = double(rate) * channels * facts.bitsPerSample;
  else if (audioBytes >= 0 && seconds > 0)
    facts.bitRate = audioBytes * 8 / seconds;
  else
    facts.bitRate = facts.totalFrames == 0 ? 0 : -1;
}

void setStoredType(AudioFacts& facts, int bits, bool isFloat, bool isUnsigned) {
  facts.bitsPerSample = bits;
  if (isFloat)
    facts.fileType = bits == 64 ? AUDIO_DOUBLE : AUDIO_SINGLE;
  else if (bits <= 8)
    facts.fileType = isUnsigned ? AUDIO_UINT8 : AUDIO_INT8;
  else if (bits <= 16)
    facts.fileType = AUDIO_INT16;
  else if (bits <= 24)
    facts.fileType = AUDIO_INT24;
  else
    facts.fileType = AUDIO_INT32;
}

}  // namespace audiofile
}  // namespace sluice
