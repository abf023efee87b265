// MPEG-4 files through FFmpeg's mp4 and ipod muxers that a killed writer leaves
// readable, and that close into the regular file those muxers write.
//
// While writing, the file is fragmented: the muxer's header (ftyp, free), a free
// box where its mdat header goes, the muxer's initial moov of a fragmented file,
// then one moof and one mdat per half second of samples at most. A second
// instance of the muxer, regular, is handed every packet at the position the
// packet has in this file, and writes none of the samples: at finish its trailer
// puts the full moov (FFmpeg's own sample tables, edit list and durations) after
// the last sample, and an mdat header written over the free box makes everything
// between it and that moov the mdat's content. A closed file so has the muxer's
// layout (ftyp, free, mdat, moov) with the same index, the fragment boxes being
// bytes in the mdat that no sample table points at. Finishing reads nothing back
// and writes only the index: its memory and time are those of the muxer's own.
#pragma once

extern "C" {
#include <libavutil/rational.h>
}

#include <memory>
#include <string>

#include "SupportExport.h"

struct AVCodecContext;
struct AVDictionary;
struct AVPacket;

namespace sluice {
namespace support {

class SLUICE_SUPPORT_API HybridMp4 {
 public:
  HybridMp4();
  // Closes the file as it is: unfinished, it stays as a killed writer leaves it.
  ~HybridMp4();
  HybridMp4(HybridMp4 const&) = delete;
  HybridMp4& operator=(HybridMp4 const&) = delete;

  // Creates the file at `path`; a negative AVERROR when it cannot.
  int create(std::string const& path);
  // Sets `muxer` up for one stream with `codec`'s parameters, its packets timed in
  // `timeBase`, its frame rate `rate` (0/1 for audio), with the muxer `options`
  // (what the muxer does not take is left there), and writes the header and the
  // initial index.
  int begin(char const* muxer, AVCodecContext const* codec, AVRational timeBase, AVRational rate,
            AVDictionary** options);
  // Takes one packet timed in `from`, with its data: the packet is left blank.
  int write(AVPacket* packet, AVRational from);
  // Writes what is pending, the full index and the mdat header, and closes.
  int finish();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace support
}  // namespace sluice
