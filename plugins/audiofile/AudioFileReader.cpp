#include "AudioFileReader.h"

#include <boost/any.hpp>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Common.h"
#include "ostra/i18n.h"

namespace sluice {
namespace audiofile {

using namespace hostlib::multimedia;

std::unique_ptr<Decoder> openDecoder(std::string const& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    int e = errno;
    fail(kReader, (e == EACCES || e == EPERM) ? "FilePermissionDenied" : "ReadFailed",
         path + ": " + std::strerror(e));
  }
  struct stat st;
  int rc = ::fstat(fd, &st);
  ::close(fd);
  if (rc != 0 || !S_ISREG(st.st_mode)) fail(kReader, "ReadFailed", path + ": not a regular file");
  if (st.st_size == 0) fail(kReader, "FileCorrupt", path + ": empty");

  bool corrupt = false;
  if (auto d = openSndfileDecoder(path, corrupt)) return d;
  if (auto d = openFfmpegDecoder(path, corrupt)) return d;
  fail(kReader, corrupt ? "FileCorrupt" : "FileTypeNotSupported", path);
}

namespace {

void put(PropertyMap& result, char const* key, boost::any value) {
  auto it = result.find(key);
  if (it != result.end()) delete static_cast<boost::any*>(it->second);
  result[key] = new boost::any(std::move(value));
}

}  // namespace

void AudioFileReader::init(PropertyMap const& options, PropertyMap& result) {
  close();
  std::string path;
  if (!textOf(options, "Filename", path) || path.empty()) fail(kReader, "ReadFailed", "no Filename");
  decoder_ = openDecoder(path);
  fresh_ = true;
  path_ = path;
  put(result, "SampleRate", double(decoder_->sampleRate()));
  put(result, "NumberOfChannels", double(decoder_->channels()));
  put(result, "DataType", ostra::i18n::to_ustring("double"));
}

void AudioFileReader::open(PropertyMap const& options) {
  std::string path;
  if (textOf(options, "Filename", path) && !path.empty() && path != path_) {
    decoder_.reset();
    path_ = path;
  }
  if (path_.empty()) fail(kReader, "Unexpected", "open before init");
  if (!decoder_ || !fresh_) {
    decoder_.reset();
    decoder_ = openDecoder(path_);
    fresh_ = true;
  }
  open_ = true;
}

void AudioFileReader::read(unsigned long count, std::vector<void*>& out,
                           unsigned long& countRead) {
  countRead = 0;
  if (!open_ || !decoder_) fail(kReader, "Unexpected", "read while not open");
  unsigned long const frames = count == 0 ? kNaturalBlock : std::min(count, kLargestBlock);
  std::size_t const channels = std::size_t(decoder_->channels());
  std::unique_ptr<unsigned char[]> samples(new unsigned char[frames * channels * sizeof(double)]);
  fresh_ = false;
  std::size_t got = decoder_->read(reinterpret_cast<double*>(samples.get()), frames);
  if (got == 0) return;
  auto record = std::make_unique<Record>(
      makeSampleRecord(samples.get(), got, channels, AUDIO_DOUBLE));
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
