// The plug-in SDK: a device, filter or converter plug-in is one class deriving
// from sluice::sdk::Device, Filter or Converter plus one SLUICE_*_PLUGIN line.
//
// Failures: a plug-in reports a failure by throwing. The service turns a
// sluice::sdk::Failure, or any std::exception, into one onError call with its
// what() text; anything else becomes "<plugin>:Unexpected". Failure texts end with
// ":" and an identifier of the host library's error catalogues, e.g.
// "audiofilewriter:UnsupportedSampleRate". Exception: std::bad_alloc (and its
// subclasses) is not a catalogue failure; it leaves the channel call unchanged,
// without onError, so that the host sees an out-of-memory condition as such. On
// the worker thread it is kept like any failure and reported as "<plugin>:Unexpected".
//
// Threads: init, open, close, term, read, flush and the filters' and converters'
// calls run on the host's thread inside the channel call. Device::write runs on the
// channel's worker thread, one record at a time, in the order written; close is
// called only after the last accepted record was handed to write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "sluice/records.h"
#include "sluice/sluice.h"

namespace sluice {
namespace sdk {

// Plug-ins built against another version are refused at load.
constexpr std::uint32_t SDK_VERSION = 1;

enum class Kind : std::uint32_t { Device = 1, Filter = 2, Converter = 3 };

// A failure with a catalogue identifier: what() is "<where>:<identifier>".
class Failure : public std::runtime_error {
 public:
  Failure(std::string const& where, std::string const& identifier)
      : std::runtime_error(where + ":" + identifier) {}
};

// A device: the file. Unused directions keep the defaults, which refuse.
class Device {
 public:
  virtual ~Device() = default;
  // Reads its options; fills `result` with values allocated as new boost::any
  // (the channel's caller deletes them).
  virtual void init(PropertyMap const& options, PropertyMap& result) = 0;
  // An empty map after close reopens with the settings of the previous open.
  virtual void open(PropertyMap const& options) = 0;
  // Output devices: one queued record, on the worker thread. After a write
  // fails, the records still queued are dropped, never written: the stream has
  // lost a record. The failure reaches the host in its next write or close.
  virtual void write(OwnedRecord& record);
  // Input devices: up to `count` frames (0: natural block) as records allocated
  // with new, each sample buffer with new[]; none and countRead 0 at the end.
  virtual void read(unsigned long count, std::vector<void*>& out, unsigned long& countRead);
  // Input devices: drop read-ahead; the next open starts at frame 0.
  virtual void flush() {}
  // Input devices: the next read starts at frame `frame`; past the last frame it
  // delivers the end.
  virtual void seek(unsigned long frame);
  // Completes the file; called once per open, also after a failure. Should it
  // fail, the channel is closed all the same: close is never called twice.
  virtual void close() = 0;
  virtual void term() {}
  // Output devices: back-pressure. While false, the output stream reports no
  // space. Called on the host's thread, possibly while write runs on the worker.
  virtual bool ready() { return true; }
  // Output devices: the bytes of records the queue may hold before the host
  // waits, asked after each open; 0 leaves the service's own cap. A device whose
  // file must survive a killed host keeps what the kill would lose small.
  virtual std::size_t queueBytes() const { return 0; }
};

// A filter on an output stream: turns each record into a new one that owns its
// converted copy of the samples.
class Filter {
 public:
  virtual ~Filter() = default;
  virtual void add(PropertyMap const& options) = 0;   // at addFilter
  virtual void open(PropertyMap const& options) = 0;  // the channel's open options
  virtual std::unique_ptr<OwnedRecord> process(Record const& in) = 0;
  virtual void close() {}
};

// A converter: the last step before the queue.
class Converter {
 public:
  virtual ~Converter() = default;
  virtual std::unique_ptr<OwnedRecord> convert(std::unique_ptr<OwnedRecord> in) = 0;
};

struct PluginDescriptor {
  std::uint32_t sdkVersion;
  Kind kind;
  char const* name;
  Device* (*createDevice)();
  Filter* (*createFilter)();
  Converter* (*createConverter)();
};

// The one exported entry point of a plug-in shared object.
#define SLUICE_PLUGIN_ENTRY_NAME "sluice_plugin_descriptor"

inline void Device::write(OwnedRecord&) { throw Failure("device cannot write", "Unexpected"); }
inline void Device::read(unsigned long, std::vector<void*>&, unsigned long&) {
  throw Failure("device cannot read", "Unexpected");
}
inline void Device::seek(unsigned long) { throw Failure("device cannot seek", "SeekFailed"); }

}  // namespace sdk

// In-process plug-ins (tests, hosts that link plug-ins statically). A registered
// name is found before any file. The descriptor must outlive its registration;
// a null descriptor is refused with std::invalid_argument.
SLUICE_API void registerPlugin(std::string const& name, sdk::PluginDescriptor const* descriptor);
SLUICE_API void unregisterPlugin(std::string const& name);

// The directory beside libsluice.so where the shipped plug-ins live.
SLUICE_API std::string defaultPluginDirectory();

// Test hook: called with every name a Converter, Channel or addFilter tries to
// load, before the lookup, on the caller's thread. Null removes it.
typedef void (*LoadObserver)(std::string const& name, sdk::Kind kind);
SLUICE_API void setLoadObserver(LoadObserver observer);

}  // namespace sluice

#define SLUICE_DEFINE_PLUGIN_(NAME, KIND, DEV, FIL, CONV)                                  \
  extern "C" __attribute__((visibility("default"))) ::sluice::sdk::PluginDescriptor const* \
  sluice_plugin_descriptor() {                                                             \
    static const ::sluice::sdk::PluginDescriptor d = {                                     \
        ::sluice::sdk::SDK_VERSION, KIND, NAME, DEV, FIL, CONV};                           \
    return &d;                                                                             \
  }

#define SLUICE_DEVICE_PLUGIN(NAME, CLASS)                                       \
  static ::sluice::sdk::Device* sluice_create_device_() { return new CLASS(); } \
  SLUICE_DEFINE_PLUGIN_(NAME, ::sluice::sdk::Kind::Device, &sluice_create_device_, nullptr, nullptr)

#define SLUICE_FILTER_PLUGIN(NAME, CLASS)                                       \
  static ::sluice::sdk::Filter* sluice_create_filter_() { return new CLASS(); } \
  SLUICE_DEFINE_PLUGIN_(NAME, ::sluice::sdk::Kind::Filter, nullptr, &sluice_create_filter_, nullptr)

#define SLUICE_CONVERTER_PLUGIN(NAME, CLASS)                                          \
  static ::sluice::sdk::Converter* sluice_create_converter_() { return new CLASS(); } \
  SLUICE_DEFINE_PLUGIN_(NAME, ::sluice::sdk::Kind::Converter, nullptr, nullptr,       \
                        &sluice_create_converter_)
