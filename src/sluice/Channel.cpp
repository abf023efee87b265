// A channel: one device plug-in, the filters of its output stream, the queue
// that a worker thread drains into the device, and the conversion of plug-in
// failures into onError calls on the caller's thread.
#include <system_error>

#include "Detail.h"
#include "RecordQueue.h"

namespace sluice {
namespace detail {
namespace {

class ErrorImpl : public Error {
 public:
  explicit ErrorImpl(std::string text) : text_(std::move(text)) {}
  char const* getMessage() const override { return text_.c_str(); }
  void dispose() override { delete this; }

 private:
  std::string text_;
};

// Frees the records a device delivered when the read cannot hand them on.
void freeRecords(std::vector<void*>& records) {
  for (void* p : records) releaseDeliveredRecord(p);
  records.clear();
}

}  // namespace

class OutputStreamImpl : public OutputStream {
 public:
  explicit OutputStreamImpl(ChannelImpl& c) : c_(c) {}
  unsigned long getSpaceAvailable() const override;
  void addFilter(std::string const& name, PropertyMap const& options) override;
  void write(std::vector<void*> const& buffers) override;

 private:
  ChannelImpl& c_;
};

class InputStreamImpl : public InputStream {
 public:
  explicit InputStreamImpl(ChannelImpl& c) : c_(c) {}
  unsigned long getSpaceAvailable() const override;
  void read(unsigned long count, std::vector<void*>& buffers, unsigned long& countRead) override;
  void flush() override;
  void addFilter(std::string const& name, PropertyMap const& options) override;
  void seek(unsigned long frame) override;

 private:
  ChannelImpl& c_;
};

struct ChannelImpl {
  ChannelImpl(Channel::IEventHandler& h, Loaded<sdk::Converter>& conv, unsigned long limit)
      : handler(h),
        converter(conv),
        queue(limit ? limit : DEFAULT_QUEUE_RECORDS,
              [this](OwnedRecord& record) { return writeToDevice(record); }) {}

  Channel::IEventHandler& handler;
  Loaded<sdk::Converter>& converter;
  Loaded<sdk::Device> device;
  std::vector<Loaded<sdk::Filter>> filters;
  bool initialised = false;
  bool open = false;
  bool terminated = false;
  bool reported = false;  // the queue's pending failure already reached onError
  OutputStreamImpl output{*this};
  InputStreamImpl input{*this};
  // After the plug-ins, so that it goes first: its worker writes to the device,
  // and the records it finished must be freed before the plug-ins that made them.
  RecordQueue queue;

  // One onError call; the handler owns the error. Should it return, the
  // channel call fails with the service's own exception.
  [[noreturn]] void report(std::string const& text) {
    handler.onError(new ErrorImpl(text));
    throw Exception(text);
  }

  template <class F>
  void run(std::string const& plugin, F&& call) {
    if (auto text = attempt(plugin, std::forward<F>(call))) report(*text);
  }

  // The queue's write, on its worker: running out of memory there is the
  // device's failure, reported on the caller's thread like any other.
  std::optional<std::string> writeToDevice(OwnedRecord& record) {
    try {
      return attempt(device.name, [&] { device->write(record); });
    } catch (std::bad_alloc const&) {
      return device.name + ":Unexpected";
    }
  }

  void startQueue() {
    try {
      queue.start();
    } catch (std::system_error const&) {
      report("sluice cannot start its worker thread:Unexpected");
    }
  }

  void reportPendingFailure() {
    if (!queue.hasFailed()) return;
    std::optional<std::string> pending = queue.failure();
    if (!pending) return;
    reported = true;
    report(*pending);
  }

  void init(PropertyMap const& options, PropertyMap& result) {
    if (open) close();
    // Filters belong to one initialisation: a host that initialises again adds
    // its filters again, and keeping the old ones would convert twice.
    filters.clear();
    initialised = false;
    terminated = false;
    run(device.name, [&] { device->init(options, result); });
    initialised = true;
  }

  void addFilter(std::string const& name, PropertyMap const& options) {
    if (!initialised) report("sluice filter added before init:Unexpected");
    if (open) report("sluice filter added while open:Unexpected");
    Plugin plugin = loadPlugin(name, sdk::Kind::Filter);
    Loaded<sdk::Filter> filter =
        create<sdk::Filter>(plugin, name, [&] { return plugin.descriptor->createFilter(); });
    run(filter.name, [&] { filter->add(options); });
    filters.push_back(std::move(filter));
  }

  void openChannel(PropertyMap const& options) {
    if (!initialised) report("sluice open before init:Unexpected");
    if (open) report("sluice open while open:Unexpected");
    for (auto& filter : filters) run(filter.name, [&] { filter->open(options); });
    run(device.name, [&] { device->open(options); });
    std::size_t bytes = 0;
    attempt(device.name, [&] { bytes = device->queueBytes(); });  // a failure: the default
    queue.limitBytes(bytes);
    queue.takeFailure();  // a failure before this opening is not this opening's
    reported = false;
    open = true;
  }

  // Drains the queue, then closes filters and device even after a failure, so
  // that the file is complete; reports the first failure not yet reported.
  void close() {
    if (!open) return;
    queue.stop();
    open = false;
    std::optional<std::string> first = queue.takeFailure();
    if (reported) first.reset();
    reported = false;
    for (auto& filter : filters) {
      auto filterFailure = attempt(filter.name, [&] { filter->close(); });
      if (!first) first = std::move(filterFailure);
    }
    auto deviceFailure = attempt(device.name, [&] { device->close(); });
    if (!first) first = std::move(deviceFailure);
    if (first) report(*first);
  }

  void term() {
    if (open) close();
    if (terminated) return;
    terminated = true;
    initialised = false;
    run(device.name, [&] { device->term(); });
  }

  // Teardown in the destructor: as close and term, failures swallowed.
  void shutdown() {
    if (open) {
      queue.stop();
      open = false;
      for (auto& filter : filters) attempt(filter.name, [&] { filter->close(); });
      attempt(device.name, [&] { device->close(); });
    }
    if (!terminated) {
      terminated = true;
      attempt(device.name, [&] { device->term(); });
    }
  }

  // Through the filters (or an owned copy when there is none), then the converter.
  std::unique_ptr<OwnedRecord> prepare(void* buffer) {
    if (!buffer) report("sluice null record:Unexpected");
    Record const& in = *static_cast<Record const*>(buffer);
    RecordQueue::SpareScope spares(queue);
    std::unique_ptr<OwnedRecord> record;
    if (filters.empty()) {
      record = copyKnownRecord(in);
      if (!record) report("sluice:Unexpected");
    }
    for (auto& filter : filters) {
      Record const& source = record ? record->record : in;
      std::unique_ptr<OwnedRecord> next;
      run(filter.name, [&] { next = filter->process(source); });
      if (!next) report(filter.name + ":Unexpected");
      record = std::move(next);
    }
    run(converter.name, [&] { record = converter->convert(std::move(record)); });
    if (!record) report(converter.name + ":Unexpected");
    return record;
  }

  void write(std::vector<void*> const& buffers) {
    if (!open) report("sluice write before open:Unexpected");
    reportPendingFailure();
    startQueue();
    for (void* buffer : buffers)
      if (!queue.push(prepare(buffer))) reportPendingFailure();
  }

  unsigned long space() {
    // Not open, or a failure to report: room, so that a writer polling for
    // space calls write and learns why.
    if (!open) return 1;
    if (queue.hasFailed()) return 1;
    bool ready = true;
    try {
      ready = device->ready();
    } catch (...) {
      // write reports what is wrong with the device
    }
    if (!ready) {
      queue.handOverIfRoom();  // the host waits: what it wrote must not
      return 0;
    }
    return queue.space();
  }

  void read(unsigned long count, std::vector<void*>& buffers, unsigned long& countRead) {
    countRead = 0;
    if (!open) report("sluice read before open:Unexpected");
    std::vector<void*> records;
    unsigned long n = 0;
    std::optional<std::string> readFailure;
    try {
      readFailure = attempt(device.name, [&] { device->read(count, records, n); });
    } catch (...) {
      freeRecords(records);
      throw;
    }
    if (readFailure) {
      freeRecords(records);
      report(*readFailure);
    }
    if (!filters.empty()) filterRead(records);
    buffers.insert(buffers.end(), records.begin(), records.end());
    countRead = n;
  }

  // Passes each delivered record through the filters and the converter, and
  // hands their records over in its place; on a failure none is kept.
  void filterRead(std::vector<void*>& records) {
    std::vector<void*> out;
    try {
      for (void*& delivered : records) {
        std::unique_ptr<OwnedRecord> record;
        for (auto& filter : filters) {
          Record const& source = record ? record->record : *static_cast<Record*>(delivered);
          std::unique_ptr<OwnedRecord> next;
          run(filter.name, [&] { next = filter->process(source); });
          if (!next) report(filter.name + ":Unexpected");
          record = std::move(next);
        }
        releaseDeliveredRecord(delivered);
        delivered = nullptr;
        run(converter.name, [&] { record = converter->convert(std::move(record)); });
        if (!record) report(converter.name + ":Unexpected");
        out.push_back(handOver(std::move(record)));
      }
    } catch (...) {
      freeRecords(out);
      freeRecords(records);
      throw;
    }
    records.swap(out);
  }
};

unsigned long OutputStreamImpl::getSpaceAvailable() const { return c_.space(); }
void OutputStreamImpl::addFilter(std::string const& name, PropertyMap const& options) {
  c_.addFilter(name, options);
}
void OutputStreamImpl::write(std::vector<void*> const& buffers) { c_.write(buffers); }

unsigned long InputStreamImpl::getSpaceAvailable() const { return c_.open ? 1 : 0; }
void InputStreamImpl::read(unsigned long count, std::vector<void*>& buffers,
                           unsigned long& countRead) {
  c_.read(count, buffers, countRead);
}
void InputStreamImpl::flush() {
  c_.run(c_.device.name, [&] { c_.device->flush(); });
}
void InputStreamImpl::addFilter(std::string const& name, PropertyMap const& options) {
  c_.addFilter(name, options);
}
void InputStreamImpl::seek(unsigned long frame) {
  if (!c_.open) c_.report("sluice seek before open:Unexpected");
  c_.run(c_.device.name, [&] { c_.device->seek(frame); });
}

}  // namespace detail

Channel::Channel(std::string const& name, Converter& converter, IEventHandler& handler,
                 unsigned long /*limit1: reads are synchronous, nothing is read ahead*/,
                 unsigned long limit2)
    : impl_(std::make_unique<detail::ChannelImpl>(handler, converter.impl().converter, limit2)) {
  detail::Plugin plugin = detail::loadPlugin(name, sdk::Kind::Device);
  impl_->device =
      detail::create<sdk::Device>(plugin, name, [&] { return plugin.descriptor->createDevice(); });
}

Channel::~Channel() {
  try {
    impl_->shutdown();
  } catch (...) {
    // A destructor cannot report; the channel goes in any case.
  }
}

void Channel::init(PropertyMap const& options, PropertyMap& result) {
  impl_->init(options, result);
}
void Channel::open(PropertyMap const& options) { impl_->openChannel(options); }
void Channel::close() { impl_->close(); }
bool Channel::isOpen() const { return impl_->open; }
void Channel::term() { impl_->term(); }
OutputStream* Channel::getOutputStream() const { return &impl_->output; }
InputStream* Channel::getInputStream() const { return &impl_->input; }

}  // namespace sluice
