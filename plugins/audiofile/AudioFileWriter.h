// The audiofilewriter device: writes one audio file, the format chosen by the
// file name's extension, from interleaved sample records of any sample type.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Encoder.h"
#include "sluice/plugin.h"

namespace sluice {
namespace audiofile {

class AudioFileWriter : public sdk::Device {
 public:
  ~AudioFileWriter() override;  // completes an open file

  // Reads "Filename"; reports "DataType" ("double" for WAV and FLAC, "single"
  // for the lossy formats).
  void init(PropertyMap const& options, PropertyMap& result) override;
  // Reads "SampleRate", "NumberOfChannels", "BitRate", "Quality", "FileDataType"
  // and "FilterOutputDataType", then creates the file. The environment variable
  // SLUICE_WAV_SIZE_LIMIT (bytes of sample data) lowers the WAV size limit.
  void open(PropertyMap const& options) override;
  void write(OwnedRecord& record) override;
  void close() override;
  // A quarter of a second of the records it takes.
  std::size_t queueBytes() const override;
  void term() override;

 private:
  EncoderSettings settingsFrom(PropertyMap const& options) const;
  void writeSamples(unsigned char const* samples, std::size_t frames, AudioDataType type);
  // Converts `count` samples of `type` to the encoder's write type at `out`.
  void convert(unsigned char const* samples, std::size_t count, AudioDataType type,
               unsigned char* out);
  void flushGathered();

  std::string path_;
  Container container_ = Container::Wav;
  bool initialised_ = false;
  bool haveSettings_ = false;
  EncoderSettings settings_;
  std::unique_ptr<Encoder> encoder_;
  std::uint64_t wavLimit_ = 0;          // bytes of sample data a WAV file may hold
  std::uint64_t wavWritten_ = 0;        // bytes of sample data written so far
  std::vector<unsigned char> scratch_;  // conversion buffer, reused
  // Small records, converted, wait here and reach the encoder in one call:
  // each encoder call costs about a system call, far more than a few frames.
  // At most 64 KiB or a tenth of a second wait. Large records are converted
  // through it a piece at a time.
  std::unique_ptr<unsigned char[]> gather_;
  std::size_t gatheredBytes_ = 0;
  std::size_t gatheredFrames_ = 0;
};

}  // namespace audiofile
}  // namespace sluice
