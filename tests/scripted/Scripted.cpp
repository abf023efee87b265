// The scripted plug-ins and their journal.
#include "scripted/Scripted.h"

#include <boost/core/demangle.hpp>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <stdexcept>

namespace scripted {
namespace {

using sluice::OwnedRecord;
using sluice::PropertyMap;
using sluice::Record;

struct Journal {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Call> log;
  std::map<std::string, int> counts, fired;
  std::map<std::string, Fault> faults;
  std::vector<ReceivedMap> maps;
  std::vector<ReceivedRecord> filtered, written;
  std::map<std::string, boost::any> initResult;
  std::deque<ReadStep> reads;
  std::vector<unsigned long> readCounts;
  std::vector<std::string> loads;
  int noSpace = 0, polls = 0;
  std::size_t queueBytes = 0;
  bool held = false;
};

Journal& journal() {
  static Journal j;
  return j;
}

// The journal, locked while this object lives: `Locked()->polls` reads one member.
struct Locked {
  std::lock_guard<std::mutex> lock{journal().mutex};
  Journal* operator->() { return &journal(); }
};

// Logs one call of `op` and returns how many calls of `op` came before it.
int enter(std::string const& op) {
  Locked j;
  j->log.push_back({op, std::this_thread::get_id()});
  j->changed.notify_all();
  return j->counts[op]++;
}

// Throws what the script asks of call number `before` of `op`.
void check(std::string const& op, int before) {
  Fault fault;
  {
    Locked j;
    auto it = j->faults.find(op);
    if (it == j->faults.end() || before < it->second.after) return;
    if (it->second.times >= 0 && j->fired[op] >= it->second.times) return;
    ++j->fired[op];
    fault = it->second;
  }
  if (fault.what == Throw::BadAlloc) throw std::bad_alloc();
  if (fault.what == Throw::NonStandard) throw 42;
  throw std::runtime_error(fault.text);
}

void call(std::string const& op) { check(op, enter(op)); }

// A call that receives a map: logged, the map kept, then the script applied.
void receive(std::string const& op, PropertyMap const& map) {
  int before = enter(op);
  ReceivedMap r{op, {}};
  for (auto const& [key, raw] : map) {
    r.map[key].raw = raw;
    if (raw) r.map[key].value = *static_cast<boost::any const*>(raw);
  }
  Locked()->maps.push_back(std::move(r));
  check(op, before);
}

ReceivedRecord receive(Record const& in) {
  ReceivedRecord r;
  r.entries = in;
  sluice::SampleRecordView s;
  sluice::FrameRecordView f;
  if (sluice::parseSampleRecord(in, s)) {
    r.knownLayout = true;
    std::size_t n = s.frames * s.channels * sluice::audioSampleSize(s.type);
    if (s.samples && n) r.bytes.assign(s.samples, s.samples + n);
  } else if (sluice::parseFrameRecord(in, f) && f.planes.size() == 3) {
    r.knownLayout = true;
    for (std::size_t i = 0; i < 3; ++i) {
      std::size_t n = 0;
      if (sluice::framePlaneBytes(f, i, n) && n && f.planes[i])
        r.bytes.insert(r.bytes.end(), f.planes[i], f.planes[i] + n);
    }
  }
  return r;
}

class Device : public sluice::sdk::Device {
 public:
  void init(PropertyMap const& options, PropertyMap& result) override {
    receive("device.init", options);
    Locked j;
    for (auto const& [key, value] : j->initResult)
      result[key] = value.empty() ? nullptr : new boost::any(value);
  }
  void open(PropertyMap const& options) override { receive("device.open", options); }
  void write(OwnedRecord& record) override {
    int before = enter("device.write");
    {
      std::unique_lock<std::mutex> lock(journal().mutex);
      journal().changed.wait(lock, [] { return !journal().held; });
    }
    ReceivedRecord r = receive(record.record);
    check("device.write", before);
    Locked()->written.push_back(std::move(r));
  }
  void read(unsigned long count, std::vector<void*>& out, unsigned long& countRead) override {
    int before = enter("device.read");
    Locked()->readCounts.push_back(count);
    check("device.read", before);
    ReadStep step;
    {
      Locked j;
      if (j->reads.empty()) {
        countRead = 0;
        return;
      }
      step = std::move(j->reads.front());
      j->reads.pop_front();
    }
    for (auto& s : step.records) {
      auto record = std::make_unique<Record>(s.entries);
      if (s.bytes && !record->empty()) {
        auto buffer = std::make_unique<unsigned char[]>(s.bytes->size());
        if (!s.bytes->empty()) std::memcpy(buffer.get(), s.bytes->data(), s.bytes->size());
        (*record)[0] = buffer.release();
      }
      out.push_back(record.release());
    }
    countRead = step.countRead;
  }
  void flush() override { call("device.flush"); }
  void close() override { call("device.close"); }
  void term() override { call("device.term"); }
  std::size_t queueBytes() const override { return Locked()->queueBytes; }
  bool ready() override {
    Locked j;
    ++j->polls;
    return j->noSpace > 0 ? (--j->noSpace, false) : true;
  }
};

class Filter : public sluice::sdk::Filter {
 public:
  void add(PropertyMap const& options) override { receive("filter.add", options); }
  void open(PropertyMap const& options) override { receive("filter.open", options); }
  std::unique_ptr<OwnedRecord> process(Record const& in) override {
    int before = enter("filter.process");
    ReceivedRecord r = receive(in);
    Locked()->filtered.push_back(std::move(r));
    check("filter.process", before);
    // Known layouts are copied; anything else goes on as it came, so that tests
    // can see what the device makes of it.
    auto out = sluice::copyKnownRecord(in);
    if (!out) {
      out = std::make_unique<OwnedRecord>();
      out->record = in;
    }
    return out;
  }
  void close() override { call("filter.close"); }
};

class Converter : public sluice::sdk::Converter {
 public:
  std::unique_ptr<OwnedRecord> convert(std::unique_ptr<OwnedRecord> in) override {
    call("converter.convert");
    return in;
  }
};

sluice::sdk::Device* createDevice() { return call("device.create"), new Device(); }
sluice::sdk::Filter* createFilter() { return call("filter.create"), new Filter(); }
sluice::sdk::Converter* createConverter() { return call("converter.create"), new Converter(); }

using sluice::sdk::Kind;
using sluice::sdk::SDK_VERSION;
sluice::sdk::PluginDescriptor const descriptors[] = {
    {SDK_VERSION, Kind::Device, DEVICE, &createDevice, nullptr, nullptr},
    {SDK_VERSION, Kind::Filter, FILTER, nullptr, &createFilter, nullptr},
    {SDK_VERSION, Kind::Converter, CONVERTER, nullptr, nullptr, &createConverter}};

void observeLoad(std::string const& name, Kind) { Locked()->loads.push_back(name); }

}  // namespace

void reset() {
  for (auto const& d : descriptors) sluice::registerPlugin(d.name, &d);
  sluice::setLoadObserver(&observeLoad);
  Locked j;
  // Everything but the lock and the condition, back to its start.
  j->log.clear(), j->counts.clear(), j->faults.clear(), j->fired.clear(), j->maps.clear();
  j->filtered.clear(), j->written.clear(), j->initResult.clear(), j->reads.clear();
  j->readCounts.clear(), j->loads.clear();
  j->noSpace = j->polls = 0;
  j->queueBytes = 0;
  j->held = false;
  j->changed.notify_all();
}

void fail(std::string const& op, Fault fault) {
  Locked j;
  j->faults[op] = std::move(fault);
  j->fired[op] = 0;
}

void fail(std::string const& op, std::string const& text) {
  Fault f;
  f.text = text;
  fail(op, f);
}

void clearFault(std::string const& op) { Locked()->faults.erase(op); }
void reportNoSpace(int polls) { Locked()->noSpace = polls; }
int readyPolls() { return Locked()->polls; }
void setQueueBytes(std::size_t bytes) { Locked()->queueBytes = bytes; }
void holdWrites() { Locked()->held = true; }
void releaseWrites() {
  Locked j;
  j->held = false;
  j->changed.notify_all();
}

void setInitResult(std::map<std::string, boost::any> const& result) {
  Locked()->initResult = result;
}

ScriptedRecord sampleRecord(std::vector<unsigned char> const& bytes, unsigned long frames,
                            unsigned long channels, sluice::AudioDataType type) {
  return {sluice::makeSampleRecord(nullptr, frames, channels, type), bytes};
}

void queueRead(ReadStep step) { Locked()->reads.push_back(std::move(step)); }
std::vector<unsigned long> readCounts() { return Locked()->readCounts; }
std::vector<Call> callLog() { return Locked()->log; }

std::vector<std::string> calls(std::string const& prefix) {
  std::vector<std::string> out;
  for (auto const& c : callLog())
    if (c.op.compare(0, prefix.size(), prefix) == 0) out.push_back(c.op);
  return out;
}

int count(std::string const& op) {
  Locked j;
  return j->counts.count(op) ? j->counts[op] : 0;
}

std::vector<ReceivedMap> maps() { return Locked()->maps; }

MapCopy lastMap(std::string const& op) {
  std::vector<ReceivedMap> all = maps();
  for (auto m = all.rbegin(); m != all.rend(); ++m)
    if (m->op == op) return m->map;
  return {};
}

std::string typeName(Value const& v) {
  return v.value.empty() ? "" : boost::core::demangle(v.value.type().name());
}

std::vector<ReceivedRecord> filteredRecords() { return Locked()->filtered; }
std::vector<ReceivedRecord> writtenRecords() { return Locked()->written; }

void waitForWrites(int n) {
  std::unique_lock<std::mutex> lock(journal().mutex);
  journal().changed.wait(lock, [&] { return journal().counts["device.write"] >= n; });
}

std::vector<std::string> loadAttempts() { return Locked()->loads; }

int loadAttempts(std::string const& name) {
  int n = 0;
  for (auto const& l : loadAttempts()) n += l == name;
  return n;
}

}  // namespace scripted
