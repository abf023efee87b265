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
  std::map<std::string, int> counts;
  std::map<std::string, Fault> faults;
  std::map<std::string, int> fired;
  std::vector<ReceivedMap> maps;
  std::vector<ReceivedRecord> filtered;
  std::vector<ReceivedRecord> written;
  std::map<std::string, boost::any> initResult;
  std::deque<ReadStep> reads;
  std::vector<unsigned long> readCounts;
  std::vector<std::string> loads;
  int noSpace = 0;
  int polls = 0;
  bool held = false;
};

Journal& journal() {
  static Journal j;
  return j;
}

// Runs f on the journal under its lock and returns what f returns.
template <class F>
auto locked(F f) {
  Journal& j = journal();
  std::lock_guard<std::mutex> lock(j.mutex);
  return f(j);
}

// Logs one call of `op` and returns how many calls of `op` came before it.
int enter(std::string const& op) {
  Journal& j = journal();
  std::lock_guard<std::mutex> lock(j.mutex);
  j.log.push_back({op, std::this_thread::get_id()});
  int before = j.counts[op]++;
  j.changed.notify_all();
  return before;
}

// Throws what the script asks of call number `before` of `op`.
void check(std::string const& op, int before) {
  Fault fault;
  {
    Journal& j = journal();
    std::lock_guard<std::mutex> lock(j.mutex);
    auto it = j.faults.find(op);
    if (it == j.faults.end() || before < it->second.after) return;
    int& fired = j.fired[op];
    if (it->second.times >= 0 && fired >= it->second.times) return;
    ++fired;
    fault = it->second;
  }
  switch (fault.what) {
    case Throw::BadAlloc:
      throw std::bad_alloc();
    case Throw::NonStandard:
      throw 42;
    case Throw::Text:
      break;
  }
  throw std::runtime_error(fault.text);
}

void call(std::string const& op) { check(op, enter(op)); }

void keepMap(std::string const& op, PropertyMap const& map) {
  ReceivedMap r{op, {}};
  for (auto const& [key, raw] : map) {
    Value v;
    v.raw = raw;
    if (raw) v.value = *static_cast<boost::any const*>(raw);
    r.map.emplace(key, std::move(v));
  }
  Journal& j = journal();
  std::lock_guard<std::mutex> lock(j.mutex);
  j.maps.push_back(std::move(r));
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
    int before = enter("device.init");
    keepMap("device.init", options);
    check("device.init", before);
    Journal& j = journal();
    std::lock_guard<std::mutex> lock(j.mutex);
    for (auto const& [key, value] : j.initResult)
      result[key] = value.empty() ? nullptr : new boost::any(value);
  }
  void open(PropertyMap const& options) override {
    int before = enter("device.open");
    keepMap("device.open", options);
    check("device.open", before);
  }
  void write(OwnedRecord& record) override {
    int before = enter("device.write");
    Journal& j = journal();
    {
      std::unique_lock<std::mutex> lock(j.mutex);
      j.changed.wait(lock, [&] { return !j.held; });
    }
    ReceivedRecord r = receive(record.record);
    check("device.write", before);
    std::lock_guard<std::mutex> lock(j.mutex);
    j.written.push_back(std::move(r));
  }
  void read(unsigned long count, std::vector<void*>& out, unsigned long& countRead) override {
    int before = enter("device.read");
    Journal& j = journal();
    {
      std::lock_guard<std::mutex> lock(j.mutex);
      j.readCounts.push_back(count);
    }
    check("device.read", before);
    ReadStep step;
    {
      std::lock_guard<std::mutex> lock(j.mutex);
      if (j.reads.empty()) {
        countRead = 0;
        return;
      }
      step = std::move(j.reads.front());
      j.reads.pop_front();
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
  bool ready() override {
    Journal& j = journal();
    std::lock_guard<std::mutex> lock(j.mutex);
    ++j.polls;
    if (j.noSpace > 0) {
      --j.noSpace;
      return false;
    }
    return true;
  }
};

class Filter : public sluice::sdk::Filter {
 public:
  void add(PropertyMap const& options) override {
    int before = enter("filter.add");
    keepMap("filter.add", options);
    check("filter.add", before);
  }
  void open(PropertyMap const& options) override {
    int before = enter("filter.open");
    keepMap("filter.open", options);
    check("filter.open", before);
  }
  std::unique_ptr<OwnedRecord> process(Record const& in) override {
    int before = enter("filter.process");
    ReceivedRecord r = receive(in);
    {
      Journal& j = journal();
      std::lock_guard<std::mutex> lock(j.mutex);
      j.filtered.push_back(std::move(r));
    }
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

sluice::sdk::Device* createDevice() {
  call("device.create");
  return new Device();
}
sluice::sdk::Filter* createFilter() {
  call("filter.create");
  return new Filter();
}
sluice::sdk::Converter* createConverter() {
  call("converter.create");
  return new Converter();
}

sluice::sdk::PluginDescriptor const deviceDescriptor = {
    sluice::sdk::SDK_VERSION, sluice::sdk::Kind::Device, DEVICE, &createDevice, nullptr, nullptr};
sluice::sdk::PluginDescriptor const filterDescriptor = {
    sluice::sdk::SDK_VERSION, sluice::sdk::Kind::Filter, FILTER, nullptr, &createFilter, nullptr};
sluice::sdk::PluginDescriptor const converterDescriptor = {
    sluice::sdk::SDK_VERSION, sluice::sdk::Kind::Converter, CONVERTER, nullptr, nullptr,
    &createConverter};

void observeLoad(std::string const& name, sluice::sdk::Kind) {
  locked([&](Journal& j) { return j.loads.push_back(name), 0; });
}

}  // namespace

void reset() {
  sluice::registerPlugin(DEVICE, &deviceDescriptor);
  sluice::registerPlugin(FILTER, &filterDescriptor);
  sluice::registerPlugin(CONVERTER, &converterDescriptor);
  sluice::setLoadObserver(&observeLoad);
  locked([](Journal& j) {
    // Everything but the lock and the condition, back to its start.
    j.log.clear(), j.counts.clear(), j.faults.clear(), j.fired.clear(), j.maps.clear();
    j.filtered.clear(), j.written.clear(), j.initResult.clear(), j.reads.clear();
    j.readCounts.clear(), j.loads.clear();
    j.noSpace = j.polls = 0;
    j.held = false;
    j.changed.notify_all();
    return 0;
  });
}

void fail(std::string const& op, Fault fault) {
  locked([&](Journal& j) {
    j.faults[op] = std::move(fault);
    return j.fired[op] = 0;
  });
}

void fail(std::string const& op, std::string const& text) {
  Fault f;
  f.text = text;
  fail(op, f);
}

void clearFault(std::string const& op) {
  locked([&](Journal& j) { return j.faults.erase(op); });
}

void reportNoSpace(int polls) {
  locked([&](Journal& j) { return j.noSpace = polls; });
}

int readyPolls() {
  return locked([](Journal& j) { return j.polls; });
}

void holdWrites() {
  locked([](Journal& j) { return j.held = true; });
}

void releaseWrites() {
  locked([](Journal& j) {
    j.changed.notify_all();
    return j.held = false;
  });
}

void setInitResult(std::map<std::string, boost::any> const& result) {
  locked([&](Journal& j) { return j.initResult = result; });
}

ScriptedRecord sampleRecord(std::vector<unsigned char> const& bytes, unsigned long frames,
                            unsigned long channels, sluice::AudioDataType type) {
  return {sluice::makeSampleRecord(nullptr, frames, channels, type), bytes};
}

void queueRead(ReadStep step) {
  locked([&](Journal& j) { return j.reads.push_back(std::move(step)), 0; });
}

std::vector<unsigned long> readCounts() {
  return locked([](Journal& j) { return j.readCounts; });
}

std::vector<Call> callLog() {
  return locked([](Journal& j) { return j.log; });
}

std::vector<std::string> calls(std::string const& prefix) {
  std::vector<std::string> out;
  for (auto const& c : callLog())
    if (c.op.compare(0, prefix.size(), prefix) == 0) out.push_back(c.op);
  return out;
}

int count(std::string const& op) {
  return locked([&](Journal& j) { return j.counts.count(op) ? j.counts[op] : 0; });
}

std::vector<ReceivedMap> maps() {
  return locked([](Journal& j) { return j.maps; });
}

MapCopy lastMap(std::string const& op) {
  for (auto const& m : [] {
         auto all = maps();
         return std::vector<ReceivedMap>(all.rbegin(), all.rend());
       }())
    if (m.op == op) return m.map;
  return {};
}

std::string typeName(Value const& v) {
  return v.value.empty() ? "" : boost::core::demangle(v.value.type().name());
}

std::vector<ReceivedRecord> filteredRecords() {
  return locked([](Journal& j) { return j.filtered; });
}

std::vector<ReceivedRecord> writtenRecords() {
  return locked([](Journal& j) { return j.written; });
}

void waitForWrites(int n) {
  Journal& j = journal();
  std::unique_lock<std::mutex> lock(j.mutex);
  j.changed.wait(lock, [&] { return j.counts["device.write"] >= n; });
}

std::vector<std::string> loadAttempts() {
  return locked([](Journal& j) { return j.loads; });
}

int loadAttempts(std::string const& name) {
  int n = 0;
  for (auto const& l : loadAttempts()) n += l == name;
  return n;
}

}  // namespace scripted
