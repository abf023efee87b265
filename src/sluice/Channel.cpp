// A channel: one device plug-in, the filters of its output stream, a bounded queue
// drained by one worker thread, and the conversion of plug-in failures into
// onError calls on the caller's thread.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "Detail.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

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

// Queued bytes beyond which the queue takes no more records (one record is
// always taken when the queue is empty, however large).
// 16 MiB keeps a writer's peak memory well below 64 MiB whatever the file's
// length, and still holds several seconds of multichannel audio.
constexpr std::size_t QUEUE_BYTE_CAP = std::size_t(16) << 20;

// How long an idle worker watches the queue before it sleeps: a host writing
// small records hands over a record every microsecond or so, and putting the
// worker to sleep and waking it again costs several times that.
constexpr int kWorkerSpins = 4096;

// Records below this size are freed by the writing thread (see `finished`).
constexpr std::size_t kSmallRecordBytes = std::size_t(64) << 10;

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#else
  std::this_thread::yield();
#endif
}

// Frees the records a device delivered when the read cannot hand them on.
void freeRecords(std::vector<void*>& records) {
  for (void* p : records) {
    auto* record = static_cast<Record*>(p);
    if (!record->empty())
      if (auto samples = boost::any_cast<unsigned char*>(&(*record)[0])) delete[] * samples;
    delete record;
  }
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

 private:
  ChannelImpl& c_;
};

struct ChannelImpl {
  ChannelImpl(Channel::IEventHandler& h, Loaded<sdk::Converter>& conv, unsigned long limit)
      : handler(h), converter(conv), capacity(limit ? limit : DEFAULT_QUEUE_RECORDS) {}
  ~ChannelImpl() { stopWorker(); }

  Channel::IEventHandler& handler;
  Loaded<sdk::Converter>& converter;
  Loaded<sdk::Device> device;
  std::vector<Loaded<sdk::Filter>> filters;
  std::size_t const capacity;
  bool initialised = false;
  bool open = false;
  bool terminated = false;
  OutputStreamImpl output{*this};
  InputStreamImpl input{*this};

  // Shared with the worker, under `mutex`.
  // Each side is woken only while it waits: a wake-up costs more than a record.
  mutable std::mutex mutex;
  std::condition_variable workQueued, roomMade;
  bool workerWaits = false;
  int writersWaiting = 0;  // a writing thread and a thread polling for space may both wait
  std::deque<std::unique_ptr<OwnedRecord>> queue;
  std::size_t queuedBytes = 0;
  bool stopping = false;
  // Mirrors of the queue's length and bytes, of `stopping` and of `failure`,
  // written under `mutex` and read without it: by the worker watching for work
  // before it sleeps, and by a host asking for space. Only the worker shortens
  // the queue, so a host's stale view can only be fuller than the queue is.
  std::atomic<std::size_t> queuedCount{0};
  std::atomic<std::size_t> queuedBytesSeen{0};
  std::atomic<bool> stopRequested{false};
  std::atomic<bool> failed{false};
  // Small records the device is done with go back to the writing thread to be
  // freed there: freed on the worker, they would make the allocator's lock
  // bounce between the threads at every record, and the writing thread's next
  // allocations could not come from its own cache. Large ones are freed at once,
  // to keep memory low.
  std::vector<std::unique_ptr<OwnedRecord>> finished;
  // Those the writing thread took from `finished`, freed outside the lock.
  std::vector<std::unique_ptr<OwnedRecord>> finishedOnWriter;
  std::optional<std::string> failure;  // first worker failure since open
  bool reported = false;               // `failure` already reached onError
  std::thread worker;

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

  void workerLoop() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      if (queue.empty() && !stopping) {
        lock.unlock();
        for (int i = 0; i < kWorkerSpins; ++i) {
          if (queuedCount.load(std::memory_order_acquire) != 0 ||
              stopRequested.load(std::memory_order_acquire))
            break;
          cpuRelax();
        }
        lock.lock();
      }
      workerWaits = true;
      workQueued.wait(lock, [&] { return !queue.empty() || stopping; });
      workerWaits = false;
      if (queue.empty()) return;
      std::unique_ptr<OwnedRecord> record = std::move(queue.front());
      queue.pop_front();
      queuedBytes -= record->bytes();
      queuedCount.store(queue.size(), std::memory_order_release);
      queuedBytesSeen.store(queuedBytes, std::memory_order_release);
      // A waiting writer wakes once the queue is down to half, and then fills
      // it in one go rather than one wake-up per record.
      if (writersWaiting && (queue.size() <= capacity / 2 || queuedBytes <= QUEUE_BYTE_CAP / 2))
        roomMade.notify_all();
      // After a failure the rest of the queue is dropped, not written: records
      // written after a lost one would corrupt the stream.
      bool drop = failure.has_value();
      lock.unlock();
      std::optional<std::string> writeFailure;
      if (!drop) {
        try {
          writeFailure = attempt(device.name, [&] { device->write(*record); });
        } catch (std::bad_alloc const&) {
          writeFailure = device.name + ":Unexpected";
        }
      }
      bool const small = record->bytes() < kSmallRecordBytes;
      if (!small) record.reset();
      lock.lock();
      if (small) {
        try {
          finished.push_back(std::move(record));
        } catch (std::bad_alloc const&) {
          record.reset();
        }
      }
      if (writeFailure && !failure) {
        failure = std::move(writeFailure);
        failed.store(true, std::memory_order_release);
        roomMade.notify_all();
      }
    }
  }

  void startWorker() {
    if (worker.joinable()) return;
    try {
      worker = std::thread([this] { workerLoop(); });
    } catch (std::system_error const&) {
      report("sluice cannot start its worker thread:Unexpected");
    }
  }

  // Waits until every queued record has been handed to the device (or dropped
  // after a failure), then ends the worker.
  void stopWorker() {
    if (!worker.joinable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
      stopRequested.store(true, std::memory_order_release);
      workQueued.notify_one();
    }
    worker.join();
    std::lock_guard<std::mutex> lock(mutex);
    stopping = false;
    stopRequested.store(false, std::memory_order_relaxed);
    // Before the plug-ins that made them can go.
    finished.clear();
    finishedOnWriter.clear();
  }

  void reportPendingFailure() {
    std::unique_lock<std::mutex> lock(mutex);
    if (!failure) return;
    reported = true;
    std::string text = *failure;
    lock.unlock();
    report(text);
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
    std::lock_guard<std::mutex> lock(mutex);
    failure.reset();
    failed.store(false, std::memory_order_release);
    reported = false;
    open = true;
  }

  // Drains the queue, then closes filters and device even after a failure, so
  // that the file is complete; reports the first failure not yet reported.
  void close() {
    if (!open) return;
    stopWorker();
    open = false;
    std::optional<std::string> first;
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (failure && !reported) first = failure;
      failure.reset();
      failed.store(false, std::memory_order_release);
      reported = false;
    }
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
      stopWorker();
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
    startWorker();
    for (void* buffer : buffers) {
      std::unique_ptr<OwnedRecord> record = prepare(buffer);
      std::size_t bytes = record->bytes();
      std::unique_lock<std::mutex> lock(mutex);
      finishedOnWriter.swap(finished);
      ++writersWaiting;
      roomMade.wait(lock, [&] {
        return failure || queue.empty() ||
               (queue.size() < capacity && queuedBytes + bytes <= QUEUE_BYTE_CAP);
      });
      --writersWaiting;
      if (failure) {
        lock.unlock();
        reportPendingFailure();
      }
      queuedBytes += bytes;
      queue.push_back(std::move(record));
      queuedCount.store(queue.size(), std::memory_order_release);
      queuedBytesSeen.store(queuedBytes, std::memory_order_release);
      if (workerWaits) workQueued.notify_one();
      lock.unlock();
      finishedOnWriter.clear();
    }
  }

  bool full() const {
    return queue.size() >= capacity || (!queue.empty() && queuedBytes >= QUEUE_BYTE_CAP);
  }

  unsigned long space() {
    // Not open, or a failure to report: room, so that a writer polling for
    // space calls write and learns why.
    if (!open) return 1;
    if (failed.load(std::memory_order_acquire)) return 1;
    bool ready = true;
    try {
      ready = device->ready();
    } catch (...) {
      // write reports what is wrong with the device
    }
    if (!ready) return 0;
    // Room now: no need for the lock, which the worker takes for every record.
    std::size_t const n = queuedCount.load(std::memory_order_acquire);
    std::size_t const b = queuedBytesSeen.load(std::memory_order_acquire);
    if (n < capacity && (n == 0 || b < QUEUE_BYTE_CAP))
      return static_cast<unsigned long>(capacity - n);
    std::unique_lock<std::mutex> lock(mutex);
    // Hosts poll until there is room: a full queue waits a moment for the
    // worker here, so that a polling host sleeps instead of spinning.
    if (!failure && full()) {
      ++writersWaiting;
      roomMade.wait_for(lock, std::chrono::milliseconds(2), [&] { return failure || !full(); });
      --writersWaiting;
    }
    if (failure) return 1;
    if (full()) return 0;
    return static_cast<unsigned long>(capacity - queue.size());
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
    buffers.insert(buffers.end(), records.begin(), records.end());
    countRead = n;
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
