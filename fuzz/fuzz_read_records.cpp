// Records of any entries, counts and types from the scripted input device,
// through readAudio. The device stays honest in one thing only: a sample
// pointer points at as many bytes as its own record says, unless what it says
// cannot be held in memory at all. The reader must refuse or copy, never read
// or write outside a buffer.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "Bytes.h"
#include "hostlib/multimedia/exceptions.h"
#include "hostlib/multimedia/fmmfb2audioreader.h"
#include "scripted/Scripted.h"
#include "sluice/records.h"

namespace {

namespace hm = hostlib::multimedia;
using fuzzing::Bytes;

std::string file = "/tmp/fuzz-read-records.wav";

unsigned long count(Bytes& in) {
  // Large counts are ones no buffer can have: their products overflow or pass
  // what the allocator hands out, so a reader that trusts them cannot succeed.
  static unsigned long const huge[] = {ULONG_MAX, ULONG_MAX / 2, ULONG_MAX / 4,
                                       1UL << 62, 1UL << 61,     ULONG_MAX - 7};
  std::uint8_t b = in.byte();
  return b < 240 ? b : huge[b % 6];
}

std::size_t sampleSize(boost::any const& type) {
  if (auto t = boost::any_cast<sluice::AudioDataType>(&type)) {
    std::size_t s = sluice::audioSampleSize(*t);
    return s ? s : 1;
  }
  return 1;
}

boost::any entry(Bytes& in, int position) {
  switch (in.byte() % 8) {
    case 0:
      return boost::any();
    case 1:
      return boost::any(count(in));
    case 2:
      return boost::any(static_cast<sluice::AudioDataType>(in.take<std::int32_t>()));
    case 3:
      return boost::any(static_cast<int>(in.byte()));
    case 4:
      return boost::any(static_cast<double>(in.take<std::int16_t>()));
    case 5:
      return boost::any(std::string("int16"));
    case 6:
      return boost::any(static_cast<std::size_t>(count(in)));
    default:
      return position == 3 ? boost::any(hm::AUDIO_INT16) : boost::any(count(in));
  }
}

unsigned long* countIn(boost::any& entry) { return boost::any_cast<unsigned long>(&entry); }

// Gives the record as many bytes as its entries claim, read the way a sample
// record is read; a claim too large to be held keeps 8 bytes, one large but
// possible is cut down first.
void sizeHonestly(scripted::ScriptedRecord& r, std::uint8_t fill) {
  if (r.entries.size() < 4) {
    r.bytes = std::vector<unsigned char>(1, fill);
    return;
  }
  unsigned long* frames = countIn(r.entries[1]);
  unsigned long* channels = countIn(r.entries[2]);
  unsigned long f = frames ? *frames : 0, c = channels ? *channels : 0, bytes = 0;
  std::size_t s = sampleSize(r.entries[3]);
  bool fits = !__builtin_mul_overflow(f, c, &bytes) && !__builtin_mul_overflow(bytes, s, &bytes);
  if (fits && bytes > (1UL << 20)) {
    if (frames) *frames %= 1024;
    if (channels) *channels %= 16;
    bytes = (frames ? *frames : 0) * (channels ? *channels : 0) * s;
  }
  r.bytes = std::vector<unsigned char>(fits ? bytes : 8, fill);
}

scripted::ScriptedRecord record(Bytes& in) {
  scripted::ScriptedRecord r;
  std::size_t entries = in.byte() % 7;
  if (in.byte() % 4 != 0 && entries >= 4) {
    // The usual shape, with any counts and type.
    r.entries = {boost::any(), boost::any(count(in)), boost::any(count(in)),
                 boost::any(static_cast<sluice::AudioDataType>(in.byte() % 12))};
  } else {
    for (std::size_t i = 0; i < entries; ++i)
      r.entries.push_back(i == 0 ? boost::any() : entry(in, int(i)));
  }
  if (r.entries.empty()) return r;
  if (in.byte() % 8 == 0) {
    r.entries[0] = boost::any(static_cast<unsigned char*>(nullptr));
    return r;
  }
  sizeHonestly(r, in.byte());
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::ofstream(file) << "RIFF";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size) {
  Bytes in(data, size);
  scripted::reset();
  int reads = 1 + in.byte() % 4;
  for (int i = 0; i < reads; ++i) {
    scripted::ReadStep step;
    int records = in.byte() % 4;
    for (int r = 0; r < records; ++r) step.records.push_back(record(in));
    // The reported count sizes the caller's buffer before any record is
    // copied; one the allocator cannot serve is an allocation failure, which
    // the sanitizer's operator new reports as a crash. Kept within 16 bits here.
    step.countRead = in.take<std::uint16_t>();
    scripted::queueRead(step);
  }
  try {
    hm::fmmfb2audioreader reader(u"/tmp/fuzz-read-records.wav", scripted::DEVICE,
                                 scripted::CONVERTER);
    reader.open();
    for (int i = 0; i < reads + 1; ++i) {
      unsigned char* samples = nullptr;
      try {
        reader.readAudio(&samples, count(in));
      } catch (hm::Exception const& e) {
        if (samples || !*e.name()) std::abort();  // a refused read leaves no buffer
      }
      delete[] samples;
    }
    reader.close();
  } catch (hm::Exception const& e) {
    if (!*e.name()) std::abort();
  }
  return 0;
}
