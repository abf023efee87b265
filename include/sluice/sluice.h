// The channel service: what a host library calls to reach a file through plug-ins.
//
// A Channel owns one device plug-in (the file), uses a Converter plug-in and, on
// its output stream, any number of filter plug-ins. Every plug-in failure reaches
// the channel's IEventHandler::onError exactly once, on the caller's thread, inside
// the channel call under way; should onError return, that call throws
// sluice::Exception with the failure's text.
#pragma once

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "sluice/export.h"

namespace sluice {

// Each value is null or the address of a boost::any whose held type the key fixes.
typedef std::map<std::string, void*> PropertyMap;

// The service's own failure: a plug-in that cannot be loaded, an error whose
// handler returned.
class SLUICE_API Exception : public std::runtime_error {
 public:
  explicit Exception(std::string const& message);
  ~Exception() override;
};

// An error handed to IEventHandler::onError. The handler owns it and releases it
// with dispose().
class SLUICE_API Error {
 public:
  virtual char const* getMessage() const = 0;
  virtual void dispose() = 0;

 protected:
  virtual ~Error();
};

// A notice handed to onNotice1/onNotice2; the handler owns it and deletes it.
class SLUICE_API Event {
 public:
  virtual ~Event();
  virtual char const* getText() const = 0;
};

namespace detail {
struct ConverterImpl;
struct ChannelImpl;
}  // namespace detail

class SLUICE_API Converter {
 public:
  // Loads the converter plug-in `name`; throws sluice::Exception when it cannot.
  explicit Converter(std::string const& name);
  virtual ~Converter();
  Converter(Converter const&) = delete;
  Converter& operator=(Converter const&) = delete;

  detail::ConverterImpl& impl() const { return *impl_; }

 private:
  std::unique_ptr<detail::ConverterImpl> impl_;
};

class SLUICE_API Stream {
 public:
  virtual ~Stream();
  // Output: how many more records the stream takes now without waiting; never 0
  // while a worker failure waits to be reported or the channel is not open, so
  // that a writer polling for space calls write and learns why. Input: 1 while
  // open, else 0.
  virtual unsigned long getSpaceAvailable() const = 0;
};

class SLUICE_API OutputStream : public Stream {
 public:
  // Loads filter plug-in `name` and appends it; throws sluice::Exception when the
  // plug-in cannot be loaded; a filter that refuses `options` is reported through
  // onError.
  virtual void addFilter(std::string const& name, PropertyMap const& options) = 0;
  // Passes each record through the filters and the converter and queues it for
  // the device; waits while the queue is full. On return the service keeps no
  // pointer to the caller's records or samples.
  virtual void write(std::vector<void*> const& buffers) = 0;
};

class SLUICE_API InputStream : public Stream {
 public:
  // Up to `count` frames (0: the device's natural block) as heap records that the
  // caller owns. No record and countRead 0 means the end of the data.
  virtual void read(unsigned long count, std::vector<void*>& buffers, unsigned long& countRead) = 0;
  // Drops what was read ahead; after the next open reading restarts at frame 0.
  virtual void flush() = 0;
  // Loads filter plug-in `name` and appends it, between init and open as on an
  // output stream: every record the device delivers then passes through the
  // filters, in the order added, and the converter before the caller gets it,
  // owning its storage (sluice::handOver in records.h).
  virtual void addFilter(std::string const& name, PropertyMap const& options) = 0;
  // The next read starts exactly at frame `frame` (0 is the first); past the last
  // frame it delivers the end. A device that cannot seek reports a failure.
  virtual void seek(unsigned long frame) = 0;
};

class SLUICE_API Channel {
 public:
  class SLUICE_API IEventHandler {
   public:
    virtual void onError(Error* error) = 0;
    virtual void onNotice1(Event* event) = 0;
    virtual void onNotice2(Event* event) = 0;
    // Progress: records handed to the device so far, records still queued.
    virtual void onNotice3(unsigned long done, unsigned long queued) = 0;
    // A device's informational text (not owned by the handler).
    virtual void onNotice4(char const* text) = 0;
    virtual ~IEventHandler();
  };

  // Loads the device plug-in `name`. limit2 bounds the output queue, in
  // hand-overs to its worker (a record, or a batch of small records); 0 selects
  // the service's default. limit1 is accepted and unused: reads are
  // synchronous and nothing is read ahead.
  // Keeps references to `converter` and `handler`. Throws sluice::Exception when
  // the plug-in cannot be loaded.
  Channel(std::string const& name, Converter& converter, IEventHandler& handler,
          unsigned long limit1, unsigned long limit2);
  virtual ~Channel();  // closes (draining the queue) and terminates if needed
  Channel(Channel const&) = delete;
  Channel& operator=(Channel const&) = delete;

  // Initialises the device (closing it first when open); drops the filters of
  // an earlier initialisation.
  void init(PropertyMap const& options, PropertyMap& result);
  // Hands `options` to every filter, then to the device.
  void open(PropertyMap const& options);
  // Waits until every accepted record reached the device, then closes filters
  // and device; the file is then complete. Reports the first failure not yet
  // reported (the worker's, else the plug-ins' at close); the channel is closed
  // in any case. Does nothing when not open.
  void close();
  bool isOpen() const;
  void term();
  OutputStream* getOutputStream() const;
  InputStream* getInputStream() const;

 private:
  std::unique_ptr<detail::ChannelImpl> impl_;
};

// Default output queue capacity, in hand-overs, when a channel's limit is 0.
constexpr unsigned long DEFAULT_QUEUE_RECORDS = 8;

}  // namespace sluice
