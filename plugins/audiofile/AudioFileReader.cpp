#include "AudioFileReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/any.hpp>
#include <cerrno>
#include <cstring>

#include "Common.h"
#include "RegularFile.h"
#include "ostra/i18n.h"

namespace sluice {
namespace audiofile {

using namespace hostlib::multimedia;

namespace {

// The first bytes of the containers we read: a file that starts like one of
// them but that no backend can open is damaged, not of an unknown type.
bool hasAudioSignature(std::string const& path) {
  unsigned char head[12] = {0};
  int fd = support::openRegularFile(path);
  if (fd < 0) return false;
  ssize_t n = ::read(fd, head, sizeof head);
  ::close(fd);
  auto is = [&](std::size_t at, char const* magic) {
    std::size_t len = std::strlen(magic);
    return n >= ssize_t(at + len) && std::memcmp(head + at, magic, len) == 0;
  };
  return is(0, "RIFF") || is(0, "RIFX") || is(0, "RF64") || is(0, "fLaC") || is(0, "OggS") ||
         is(0, "ID3") || is(4, "ftyp") || is(0, "FORM");
}

}  // namespace

std::unique_ptr<Decoder> openDecoder(std::string const& path) {
  // A FIFO, a directory or a device is refused from its status, unopened.
  int const fd = support::openRegularFile(path);
  if (fd < 0) {
    int const e = errno;
    fail(kReader, (e == EACCES || e == EPERM) ? "FilePermissionDenied" : "ReadFailed",
         path + ": " + (e == EINVAL ? "not a regular file" : std::strerror(e)));
  }
  struct stat st;
  bool const empty = ::fstat(fd, &st) == 0 && st.st_size == 0;
  ::close(fd);
  if (empty) fail(kReader, "FileCorrupt", path + ": empty");

  // A file libsndfile knows but finds damaged is not handed to FFmpeg, which
  // would read a truncated WAV file as if it were whole.
  Refusal bySndfile;
  if (auto d = openSndfileDecoder(path, bySndfile)) return d;
  if (bySndfile.corrupt) fail(kReader, "FileCorrupt", path + ": " + bySndfile.why);
  Refusal byFfmpeg;
  if (auto d = openFfmpegDecoder(path, byFfmpeg)) return d;
  bool const corrupt = byFfmpeg.corrupt || hasAudioSignature(path);
  fail(kReader, corrupt ? "FileCorrupt" : "FileTypeNotSupported", path + ": " + bySndfile.why);
}

void AudioFileReader::init(PropertyMap const& options, PropertyMap& result) {
  close();
  std::string path;
  if (!support::textOf(options, "Filename", path) || path.empty())
    fail(kReader, "ReadFailed", "no Filename");
  start(path);
  support::put(result, "SampleRate", double(decoder_->sampleRate()));
  support::put(result, "NumberOfChannels", double(decoder_->channels()));
  support::put(result, "DataType", ostra::i18n::to_ustring("double"));
  // What is not known for sure is left out rather than guessed.
  AudioFacts const facts = decoder_->facts(path);
  if (facts.totalFrames >= 0) support::put(result, "TotalFrames", double(facts.totalFrames));
  if (facts.bitRate >= 0) support::put(result, "BitRate", facts.bitRate);
  support::put(result, "FileDataType", ostra::i18n::to_ustring(audioTypeName(facts.fileType)));
  support::put(result, "BitsPerSample", double(facts.bitsPerSample));
  support::put(result, "Format", ostra::i18n::to_ustring(facts.format));
  support::put(result, "Codec", ostra::i18n::to_ustring(facts.codec));
}

void AudioFileReader::open(PropertyMap const& options) {
  std::string path;
  if (support::textOf(options, "Filename", path) && !path.empty() && path != path_) {
    decoder_.reset();
    path_ = path;
  }
  if (path_.empty()) fail(kReader, "Unexpected", "open before init");
  if (!decoder_ || !fresh_) start(path_);
  open_ = true;
}

void AudioFileReader::start(std::string path) {
  decoder_.reset();
  decoder_ = openDecoder(path);
  fresh_ = true;
  position_ = 0;
  path_ = path;
}

void AudioFileReader::read(unsigned long count, std::vector<void*>& out, unsigned long& countRead) {
  countRead = 0;
  if (!open_ || !decoder_) fail(kReader, "Unexpected", "read while not open");
  std::size_t const channels = std::size_t(decoder_->channels());
  unsigned long frames = count == 0 ? kNaturalBlock : count;
  frames = std::min(frames, std::max(1ul, kLargestRecordBytes / (channels * sizeof(double))));
  std::int64_t const total = decoder_->frames();
  if (total > position_) frames = std::min<unsigned long>(frames, total - position_);
  std::unique_ptr<unsigned char[]> samples(new unsigned char[frames * channels * sizeof(double)]);
  fresh_ = false;
  std::size_t got = decoder_->read(reinterpret_cast<double*>(samples.get()), frames);
  position_ += std::int64_t(got);
  if (got == 0) return;
  auto record =
      std::make_unique<Record>(makeSampleRecord(samples.get(), got, channels, AUDIO_DOUBLE));
  out.push_back(record.get());
  record.release();
  samples.release();
  countRead = got;
}

void AudioFileReader::flush() {
  // Whatever was decoded ahead goes with the decoder; the next open starts over.
  decoder_.reset();
  fresh_ = false;
}

void AudioFileReader::close() {
  open_ = false;
  if (!fresh_) decoder_.reset();
}

void AudioFileReader::term() {
  close();
  decoder_.reset();
  path_.clear();
}

}  // namespace audiofile
}  // namespace sluice
