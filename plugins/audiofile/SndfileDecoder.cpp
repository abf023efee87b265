// WAV, FLAC, Ogg Vorbis, Ogg Opus (and the other PCM containers libsndfile
// knows) through libsndfile, which honours Opus pre-skip and Ogg end granules.
#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <sstream>

#include "AudioFacts.h"
#include "Common.h"
#include "Decoder.h"
#include "Locks.h"
#include "RegularFile.h"

namespace sluice {
namespace audiofile {

namespace {

class SndfileDecoder : public Decoder {
 public:
  SndfileDecoder(SNDFILE* file, SF_INFO const& info) : file_(file), info_(info) {}
  AudioFacts facts(std::string const& path) const override;
  ~SndfileDecoder() override { sf_close(file_); }

  int channels() const override { return info_.channels; }
  int sampleRate() const override { return info_.samplerate; }
  std::int64_t frames() const override { return info_.frames == SF_COUNT_MAX ? -1 : info_.frames; }

  std::size_t read(double* out, std::size_t frames) override {
    std::size_t got = 0;
    while (got < frames) {
      sf_count_t n =
          sf_readf_double(file_, out + got * std::size_t(info_.channels), sf_count_t(frames - got));
      if (n <= 0) break;
      got += std::size_t(n);
    }
    position_ += got;
    if (got < frames) {
      // libsndfile knows the length of everything it opens: ending short of it
      // means the data are damaged or cut off.
      // (SF_COUNT_MAX: a stream that does not say, like a FLAC file of no frames).
      bool const known = info_.frames != SF_COUNT_MAX;
      if (sf_error(file_) != SF_ERR_NO_ERROR || (known && position_ < std::uint64_t(info_.frames)))
        fail(kReader, "FileCorrupt",
             "data end at frame " + std::to_string(position_) + " of " +
                 std::to_string(info_.frames) + ": " + sf_strerror(file_));
    }
    return got;
  }

 private:
  SNDFILE* file_;  // owns its descriptor
  SF_INFO info_;
  std::uint64_t position_ = 0;
};

// libsndfile opens a WAV file whose data chunk runs past the end of the file and
// just shortens it; its log tells, on the data chunk's line ("data : 217676
// (should be 29956)"). Other lines that say "should be" (a data chunk of an odd
// length, a RIFF size off the file's) are no loss of samples.
bool headerSaysMore(SNDFILE* file) {
  char log[8192] = {0};
  sf_command(file, SFC_GET_LOG_INFO, log, sizeof log);
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);)
    if ((line.compare(0, 7, "data : ") == 0 && line.find("(should be") != std::string::npos) ||
        line.find("too large") != std::string::npos || line.find("truncated") != std::string::npos)
      return true;
  return false;
}

// The container of a libsndfile major format; null for one we give no name.
char const* containerOf(int major) {
  switch (major) {
    case SF_FORMAT_WAV:
    case SF_FORMAT_WAVEX:
    case SF_FORMAT_RF64:
      return "WAV";
    case SF_FORMAT_AIFF:
      return "AIFF";
    case SF_FORMAT_AU:
      return "AU";
    case SF_FORMAT_CAF:
      return "CAF";
    case SF_FORMAT_W64:
      return "W64";
    case SF_FORMAT_FLAC:
      return "FLAC";
    case SF_FORMAT_OGG:
      return "OGG";
    default:
      return nullptr;
  }
}

// libsndfile's own name of a format: its extension for a major format ("voc"),
// its description for a subtype ("U-Law").
std::string libsndfileName(int format, bool major) {
  SF_FORMAT_INFO info;
  std::memset(&info, 0, sizeof info);
  info.format = format;
  if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0) return "unknown";
  return major ? (info.extension ? info.extension : "unknown")
               : (info.name ? info.name : "unknown");
}

// The codec and stored type of a libsndfile subtype; false for the subtypes
// that are no PCM.
bool describePcm(int subtype, AudioFacts& facts) {
  static struct {
    int subtype, bits;
    bool isFloat, isUnsigned;
  } const pcm[] = {{SF_FORMAT_PCM_S8, 8, false, false},   {SF_FORMAT_PCM_U8, 8, false, true},
                   {SF_FORMAT_PCM_16, 16, false, false},  {SF_FORMAT_PCM_24, 24, false, false},
                   {SF_FORMAT_PCM_32, 32, false, false},  {SF_FORMAT_FLOAT, 32, true, false},
                   {SF_FORMAT_DOUBLE, 64, true, false},   {SF_FORMAT_ALAC_16, 16, false, false},
                   {SF_FORMAT_ALAC_20, 20, false, false}, {SF_FORMAT_ALAC_24, 24, false, false},
                   {SF_FORMAT_ALAC_32, 32, false, false}};
  for (auto const& p : pcm)
    if (p.subtype == subtype) {
      setStoredType(facts, p.bits, p.isFloat, p.isUnsigned);
      return true;
    }
  return false;
}

// The facts of a file libsndfile opened: names and stored type from its format,
// the length from its header (FFmpeg's packets when the header does not say),
// the bit rate from the samples (PCM), the frame bytes (FLAC) or the packets.
AudioFacts factsOf(std::string const& path, SF_INFO const& info) {
  AudioFacts facts;
  int const major = info.format & SF_FORMAT_TYPEMASK, subtype = info.format & SF_FORMAT_SUBMASK;
  bool const alac = subtype >= SF_FORMAT_ALAC_16 && subtype <= SF_FORMAT_ALAC_32;
  bool const pcm = describePcm(subtype, facts) && !alac;
  facts.codec = major == SF_FORMAT_FLAC ? "FLAC" : alac ? "ALAC" : pcm ? "PCM" : "";
  if (subtype == SF_FORMAT_VORBIS) facts.codec = "Vorbis";
  if (subtype == SF_FORMAT_OPUS) facts.codec = "Opus";
  if (facts.codec.empty()) facts.codec = libsndfileName(subtype, false);
  char const* container = containerOf(major);
  facts.format = container ? container : libsndfileName(major, true);
  PacketTotals packets;
  if (info.frames == SF_COUNT_MAX || (!pcm && major != SF_FORMAT_FLAC)) packets = scanPackets(path);
  facts.totalFrames = info.frames != SF_COUNT_MAX ? info.frames : packets.ok ? packets.frames : -1;
  double const audioBytes = major == SF_FORMAT_FLAC ? double(flacFrameBytes(path))
                            : packets.ok            ? double(packets.bytes)
                                                    : -1;
  setBitRate(facts, info.samplerate, info.channels, pcm && major != SF_FORMAT_FLAC, audioBytes);
  return facts;
}

AudioFacts SndfileDecoder::facts(std::string const& path) const { return factsOf(path, info_); }

}  // namespace

std::unique_ptr<Decoder> openSndfileDecoder(std::string const& path, Refusal& refusal) {
  int fd = support::openRegularFile(path);
  if (fd < 0) {
    refusal.why = std::strerror(errno);
    return nullptr;
  }
  SF_INFO info;
  std::memset(&info, 0, sizeof info);
  SNDFILE* file = nullptr;
  {
    std::lock_guard<std::mutex> lock(support::sndfileOpenLock());
    // libsndfile owns the descriptor from here on: version 1.2.0 closes it when
    // an open fails whatever it was told, so closing it here too could close a
    // descriptor that another thread has just been given.
    file = sf_open_fd(fd, SFM_READ, &info, SF_TRUE);
    if (!file) {
      refusal.corrupt = sf_error(nullptr) == SF_ERR_MALFORMED_FILE;
      refusal.why = sf_strerror(nullptr);
    }
  }
  if (!file) return nullptr;
  int const major = info.format & SF_FORMAT_TYPEMASK;
  // MPEG audio goes to FFmpeg, which drops the encoder's delay and padding.
  if (major == SF_FORMAT_MPEG) {
    sf_close(file);
    return nullptr;
  }
  if (info.channels <= 0 || info.samplerate <= 0 || info.frames < 0 ||
      ((major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX || major == SF_FORMAT_RF64) &&
       headerSaysMore(file))) {
    sf_close(file);
    refusal.corrupt = true;
    refusal.why = "the header and the data disagree";
    return nullptr;
  }
  return std::make_unique<SndfileDecoder>(file, info);
}

}  // namespace audiofile
}  // namespace sluice
