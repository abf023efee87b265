// Scripted plug-ins for tests: a device, a filter and a converter, registered
// in-process, that record everything they receive in one global journal and fail
// on demand.
//
// Use: call scripted::reset() in each test's SetUp. It registers the plug-ins
// (under DEVICE, FILTER, CONVERTER), clears the journal and every script. Create
// channels only after it, and destroy them before the next reset.
//
// Everything here is thread-safe: the device's write runs on the channel's worker
// thread.
//
// Operation names, used both in the call log and to script failures:
//   "converter.create", "converter.convert",
//   "device.create", "device.init", "device.open", "device.write" (worker thread),
//   "device.read", "device.flush", "device.close", "device.term",
//   "filter.create", "filter.add", "filter.open", "filter.process", "filter.close".
// "device.ready" (back-pressure polls) is counted, not logged.
#pragma once

#include <boost/any.hpp>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sluice/plugin.h"
#include "sluice/records.h"

namespace scripted {

constexpr char const* DEVICE = "scripted-device";
constexpr char const* FILTER = "scripted-filter";
constexpr char const* CONVERTER = "scripted-converter";

// Registers the three plug-ins and the load observer (idempotent), clears the
// journal and all scripts. Not while a scripted plug-in object is in use.
void reset();

// ---- Failures on demand ---------------------------------------------------

enum class Throw {
  Text,        // std::runtime_error(text): the service reports `text`
  BadAlloc,    // std::bad_alloc
  NonStandard  // an int: the service reports "<plugin>:Unexpected"
};

struct Fault {
  Throw what = Throw::Text;
  std::string text = "scripted:Unexpected";
  int after = 0;   // let this many calls of the operation succeed first
  int times = -1;  // then fail this many calls (-1: every later call)
};

// Makes operation `op` fail as `fault` says (replaces an earlier fault for `op`).
void fail(std::string const& op, Fault fault);
// Shorthand: every call of `op` throws std::runtime_error(text).
void fail(std::string const& op, std::string const& text);
void clearFault(std::string const& op);

// The device reports no room (Device::ready() false) for the next `polls` polls.
void reportNoSpace(int polls);
// How many times Device::ready() was asked, in all.
int readyPolls();
// What Device::queueBytes() answers from the next open on (0: the service's cap).
void setQueueBytes(std::size_t bytes);

// While held, device.write waits (on the worker thread) until released; lets a
// test fill the output queue without timing.
void holdWrites();
void releaseWrites();

// ---- Scripts of results ---------------------------------------------------

// What device.init puts into its result map: each key gets new boost::any(value),
// or null for an empty boost::any. Default: nothing.
void setInitResult(std::map<std::string, boost::any> const& result);

// One record that device.read delivers. The entries are copied as they are,
// except that when `bytes` is set, entry 0 becomes an unsigned char* to a new[]
// copy of them (the record must have at least one entry). Entry 0 must otherwise
// hold something the reader may delete[] (a null unsigned char*, or another type).
struct ScriptedRecord {
  sluice::Record entries;
  std::optional<std::vector<unsigned char>> bytes;
};
// A well-formed sample record over a copy of `bytes`.
ScriptedRecord sampleRecord(std::vector<unsigned char> const& bytes, unsigned long frames,
                            unsigned long channels, sluice::AudioDataType type);

// One device.read result: these records (each allocated with new) and countRead.
struct ReadStep {
  std::vector<ScriptedRecord> records;
  unsigned long countRead = 0;
};
// Appends to the queue of reads. A read with the queue empty delivers the end:
// no record, countRead 0.
void queueRead(ReadStep step);
// The `count` argument of every device.read, in order.
std::vector<unsigned long> readCounts();

// ---- The journal ----------------------------------------------------------

struct Call {
  std::string op;
  std::thread::id thread;
};
// Every call in order (device.write entries come from the worker thread, so
// their place among caller-thread entries is not fixed; filter by prefix).
std::vector<Call> callLog();
// The op names only, optionally only those starting with `prefix`.
std::vector<std::string> calls(std::string const& prefix = "");
// How many calls of exactly `op` were made (failed ones included).
int count(std::string const& op);

// A copy of one received map entry: the raw pointer the map held and, when it
// was not null, a copy of the boost::any it pointed to (same held type).
struct Value {
  void* raw = nullptr;
  boost::any value;
  bool isNull() const { return raw == nullptr; }
};
typedef std::map<std::string, Value> MapCopy;
struct ReceivedMap {
  std::string op;  // "device.init", "device.open", "filter.add", "filter.open"
  MapCopy map;
};
std::vector<ReceivedMap> maps();
// The last map received by `op`; an empty map when none.
MapCopy lastMap(std::string const& op);
// The held type's name of a value ("" when null or empty), demangled.
std::string typeName(Value const& v);

// A record as a plug-in received it: a copy of its entries (same held types and
// values, pointers included) and the bytes it points to when the layout is a
// known one (sample record: all samples; frame record: the planes in use, one
// after another), else empty.
struct ReceivedRecord {
  sluice::Record entries;
  std::vector<unsigned char> bytes;
  bool knownLayout = false;
};
// Records given to filter.process (caller's thread), in order.
std::vector<ReceivedRecord> filteredRecords();
// Records given to device.write (worker thread), in order.
std::vector<ReceivedRecord> writtenRecords();
// Blocks until device.write was called at least `n` times (for tests that need
// the worker to have reached a record).
void waitForWrites(int n);

// Every name the service tried to load (Converter, Channel, addFilter), in
// order, found or not, and the count for one name.
std::vector<std::string> loadAttempts();
int loadAttempts(std::string const& name);

}  // namespace scripted
