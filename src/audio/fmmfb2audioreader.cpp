#include "hostlib/multimedia/fmmfb2audioreader.h"

#include <boost/any.hpp>
#include <cstddef>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "channel/ChannelManager.h"
#include "channel/ConvertFailures.h"
#include "channel/DeliveredRecords.h"
#include "channel/EventHandler.h"
#include "channel/OwnedResultMap.h"
#include "channel/ReadingChannel.h"
#include "hostlib/multimedia/datatypes.h"
#include "ostra/filesystem.h"
#include "sluice/records.h"

namespace hostlib {
namespace multimedia {

const char* const fmmfb2audioreader::FILENAME = "Filename";
const unsigned long fmmfb2audioreader::OUTPUT_STREAM_LIMIT = 0;
const unsigned long fmmfb2audioreader::INPUT_STREAM_LIMIT = 0;

namespace {

const char* const kOpenMessage =
    "Unexpected exception occurred when opening channel to read from the file";
const char* const kReadMessage = "Unexpected exception occurred when reading data from the file";
const char* const kCloseMessage =
    "Unexpected exception occurred when closing channel to read from the file";

typedef std::vector<boost::any> SampleRecord;

// Entries 0 to 3 of a sample record, taken in order. Taking stops at the first
// entry that holds another type; what was not taken stays null or 0 and the type
// is then "unspecified" (8), as it is for a value outside 0 to 10.
sluice::SampleRecordView takeEntries(SampleRecord const& record) {
  sluice::SampleRecordView entries;
  unsigned char* const* samples = boost::any_cast<unsigned char*>(&record[0]);
  if (!samples) return entries;
  entries.samples = *samples;
  unsigned long const* frames = boost::any_cast<unsigned long>(&record[1]);
  if (!frames) return entries;
  entries.frames = *frames;
  unsigned long const* channels = boost::any_cast<unsigned long>(&record[2]);
  if (!channels) return entries;
  entries.channels = *channels;
  AudioDataType const* type = boost::any_cast<AudioDataType>(&record[3]);
  if (type && *type >= AUDIO_DOUBLE && *type <= AUDIO_UINT24) entries.type = *type;
  return entries;
}

// A read whose records cannot be gathered safely into one buffer.
[[noreturn]] void refuseRead() { throw UnexpectedException(kReadMessage); }

}  // namespace

fmmfb2audioreader::fmmfb2audioreader(const std::u16string& fileName, const char* channelPluginName,
                                     const char* converterPluginName)
    : channelManager(nullptr), fileName(existingInputFile(fileName)), endOfAudio(false) {
  channelManager =
      newReadingChannel(channelPluginName, converterPluginName, new AudioEventHandler());
}

fmmfb2audioreader::~fmmfb2audioreader() { delete channelManager; }

void fmmfb2audioreader::open() {
  OwnedResultMap result;
  initReadingChannel(*channelManager, fileName, result);
  // The open map is the initialisation map again.
  boost::any fileNameValue(fileName);
  PropertyMap options;
  options[FILENAME] = &fileNameValue;
  sluice::Channel* channel = channelManager->getChannel();
  convertFailures(kOpenMessage, [&] { channel->open(options); });
  endOfAudio = false;
}

unsigned long fmmfb2audioreader::readAudio(unsigned char** data, const unsigned long& count) {
  if (!data) throw UnexpectedException(kReadMessage);
  *data = nullptr;
  unsigned long countRead = 0;
  if (endOfAudio) return 0;

  DeliveredRecords records;
  convertFailures(kReadMessage, [&] {
    sluice::InputStream* input = channelManager->getChannel()->getInputStream();
    if (!input) throw std::logic_error("channel has no input stream");
    input->read(count, records.list(), countRead);
  });

  std::vector<void*> const& list = records.list();
  if (list.empty()) {
    if (countRead == 0) endOfAudio = true;
    return countRead;
  }

  // Check every record before anything is written: the caller's buffer is sized
  // from the first record and the reported count, and all records must fit it
  // with the same layout.
  std::vector<sluice::SampleRecordView> taken;
  taken.reserve(list.size());
  unsigned long framesDelivered = 0;
  for (void* address : list) {
    if (!address) refuseRead();
    SampleRecord const& record = *static_cast<SampleRecord const*>(address);
    if (record.size() < 4) refuseRead();
    sluice::SampleRecordView entries = takeEntries(record);
    if (!taken.empty() &&
        (entries.channels != taken.front().channels || entries.type != taken.front().type)) {
      refuseRead();
    }
    if (__builtin_add_overflow(framesDelivered, entries.frames, &framesDelivered) ||
        framesDelivered > countRead) {
      refuseRead();
    }
    if (!entries.samples && entries.frames != 0 && entries.channels != 0) refuseRead();
    taken.push_back(entries);
  }
  std::size_t frameSize = 0;
  std::size_t bufferSize = 0;
  if (__builtin_mul_overflow(taken.front().channels, sluice::audioSampleSize(taken.front().type),
                             &frameSize) ||
      __builtin_mul_overflow(frameSize, countRead, &bufferSize)) {
    refuseRead();
  }

  // One record holding the whole read (the usual case) already is such a
  // buffer, allocated with new[]: it passes to the caller as it is, which
  // spares a copy of every sample read.
  if (taken.size() == 1 && taken[0].frames == countRead && taken[0].samples && bufferSize != 0) {
    SampleRecord& record = *static_cast<SampleRecord*>(list[0]);
    *boost::any_cast<unsigned char*>(&record[0]) = nullptr;  // the record no longer owns it
    *data = taken[0].samples;
    records.release(0);
    return countRead;
  }

  std::unique_ptr<unsigned char[]> buffer(new unsigned char[bufferSize]);
  std::size_t offset = 0;
  for (std::size_t i = 0; i < taken.size(); ++i) {
    // Cannot overflow: the frames of all records add up to at most countRead.
    std::size_t bytes = frameSize * taken[i].frames;
    if (bytes != 0) std::memcpy(buffer.get() + offset, taken[i].samples, bytes);
    offset += bytes;
    records.release(i);
  }
  // Records that fell short of the reported count leave no unset bytes behind.
  if (offset < bufferSize) std::memset(buffer.get() + offset, 0, bufferSize - offset);

  *data = buffer.release();
  return countRead;
}

bool fmmfb2audioreader::isEndOfAudio() { return endOfAudio; }

void fmmfb2audioreader::resetAudio() {
  sluice::Channel* channel = channelManager->getChannel();
  convertFailures(kCloseMessage, [&] { channel->close(); });
  // Nothing can have been read ahead by a channel without an input stream.
  sluice::InputStream* input = channel->getInputStream();
  if (input) input->flush();
  // The channel reopens with what it had: the file name is not sent again.
  PropertyMap noOptions;
  convertFailures(kOpenMessage, [&] { channel->open(noOptions); });
  endOfAudio = false;
}

void fmmfb2audioreader::close() {
  convertFailures(kCloseMessage, [&] { channelManager->getChannel()->close(); });
}

}  // namespace multimedia
}  // namespace hostlib
