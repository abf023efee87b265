// The audiofilereader device: reads one audio file into records of interleaved
// doubles (sample-record layout, records allocated with new, samples with new[]).
#pragma once

#include <memory>
#include <string>

#include "Decoder.h"
#include "sluice/plugin.h"

namespace sluice {
namespace audiofile {

class AudioFileReader : public sdk::Device {
 public:
  // Frames per record when the caller asks for the natural block (count 0).
  static constexpr unsigned long kNaturalBlock = 4096;
  // Bytes per record at most, whatever the count asked for; a record also
  // stops at the end the file declares.
  static constexpr unsigned long kLargestRecordBytes = 64ul << 20;

  // Reads "Filename" and opens the file, so that a file that cannot be read is
  // refused here; reports "SampleRate", "NumberOfChannels" (doubles), "DataType"
  // ("double") and the file's facts (docs/plugins.md lists the keys).
  void init(PropertyMap const& options, PropertyMap& result) override;
  // Starts at frame 0; an empty map reopens the file of the last init.
  void open(PropertyMap const& options) override;
  void read(unsigned long count, std::vector<void*>& out, unsigned long& countRead) override;
  void flush() override;
  void close() override;
  void term() override;

 private:
  // Opens `path` at frame 0 (a copy, since `path` may be path_ itself).
  void start(std::string path);

  std::string path_;
  std::unique_ptr<Decoder> decoder_;
  bool fresh_ = false;         // decoder_ is at frame 0
  std::int64_t position_ = 0;  // frames delivered since frame 0
  bool open_ = false;
};

}  // namespace audiofile
}  // namespace sluice
