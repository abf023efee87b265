#include "RecordQueue.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <utility>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace sluice {
namespace detail {
namespace {

// Queued bytes beyond which the queue takes no more records, unless the device
// asks for less (one record is always taken when the queue is empty, however
// large). 16 MiB keeps a writer's peak memory well below 64 MiB whatever the
// file's length, and still holds several seconds of multichannel audio.
constexpr std::size_t QUEUE_BYTE_CAP = std::size_t(16) << 20;

// How long an idle worker watches the queue before it sleeps: a host writing
// small records hands over a record every microsecond or so, and putting the
// worker to sleep and waking it again costs several times that.
constexpr int kWorkerSpins = 4096;

// Records below this size are freed by the writing thread (see `finished_`).
constexpr std::size_t kSmallRecordBytes = std::size_t(64) << 10;

// A batch of small records is handed over once it holds this many records or
// bytes (or half the byte cap, when that is less), or once what is queued and
// the batch would pass the byte cap with the next record: the hand-over, not
// the record, is what costs the two threads a lock, a cache line and often a
// wake-up each.
constexpr std::size_t kBatchRecords = 256;
constexpr std::size_t kBatchBytes = std::size_t(64) << 10;
// Records above this part of the byte cap are handed over one by one: gathered,
// two would leave no room for a third queued behind them, and host and worker
// would take turns.
constexpr std::size_t kGatheredPartOfCap = 4;

// How long the worker, idle, leaves a batch that is being gathered before it
// takes it: a host that stops writing for a while still has its records
// written within this time.
constexpr auto kGatherWait = std::chrono::milliseconds(2);

// Finished records kept for reuse: at most four batches' worth, as many as can
// be queued, gathered and being written at once; with fewer, the records of two
// batches that come back together are partly freed and then allocated again.
constexpr std::size_t kSpareRecords = 4 * kBatchRecords;
constexpr std::size_t kSpareBatches = 4;
// Emptied batch lists kept for the writing thread: as many as can be in flight.
constexpr std::size_t kEmptyLists = 4;

thread_local RecordQueue* spareSource = nullptr;

std::size_t batchCapOf(std::size_t byteCap) { return std::min(byteCap / 2, kBatchBytes); }

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#else
  std::this_thread::yield();
#endif
}

}  // namespace

RecordQueue::RecordQueue(std::size_t capacity, WriteRecord write)
    : capacity_(capacity),
      write_(std::move(write)),
      byteCap_(QUEUE_BYTE_CAP),
      batchCap_(batchCapOf(QUEUE_BYTE_CAP)) {}

void RecordQueue::limitBytes(std::size_t bytes) {
  byteCap_ = bytes == 0 ? QUEUE_BYTE_CAP : std::min(bytes, QUEUE_BYTE_CAP);
  batchCap_ = batchCapOf(byteCap_);
}

RecordQueue::~RecordQueue() { stop(); }

void RecordQueue::start() {
  if (worker_.joinable()) return;
  if (emptyLists_.capacity() == 0) {
    try {
      emptyLists_.reserve(kEmptyLists);
    } catch (std::bad_alloc const&) {
      // lists are then allocated per batch
    }
  }
  worker_ = std::thread([this] { workerLoop(); });
}

void RecordQueue::stop() {
  if (!worker_.joinable()) return;
  {
    std::lock_guard<std::mutex> gather(gatherMutex_);
    handOver(true);  // after a failure: dropped, like the rest of the queue
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    stopRequested_.store(true, std::memory_order_release);
    workQueued_.notify_one();
  }
  worker_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  stopping_ = false;
  stopRequested_.store(false, std::memory_order_relaxed);
  // Before the plug-ins that made them can go.
  finished_.clear();
  finishedOnWriter_.clear();
  spares_.clear();
  sparedBytes_ = 0;
  emptyLists_.clear();
}

// Stores the queue's length and bytes for the readers that do not lock.
void RecordQueue::publishLength() {
  queuedCount_.store(queue_.size(), std::memory_order_release);
  queuedBytesSeen_.store(queuedBytes_, std::memory_order_release);
}

bool RecordQueue::full() const {
  return queue_.size() >= capacity_ || (!queue_.empty() && queuedBytes_ >= byteCap_);
}

// Room for a hand-over of `bytes`. The writer gathers a record only while what
// is queued and the batch stay within the byte cap with it (push), so that the
// batch handed over fits beside what is queued.
bool RecordQueue::hasRoomFor(std::size_t bytes) const {
  return queue_.empty() || (queue_.size() < capacity_ && queuedBytes_ + bytes <= byteCap_);
}

void RecordQueue::spinForWork() const {
  for (int i = 0; i < kWorkerSpins; ++i) {
    if (queuedCount_.load(std::memory_order_acquire) != 0 ||
        stopRequested_.load(std::memory_order_acquire))
      return;
    cpuRelax();
  }
}

// Returns with a record queued, or false when stopping with none left. An idle
// worker watches the queue a moment before it sleeps; while the writer gathers
// records it sleeps a moment only, and then takes them.
bool RecordQueue::waitForWork(std::unique_lock<std::mutex>& lock) {
  if (queue_.empty() && !stopping_) {
    lock.unlock();
    spinForWork();
    lock.lock();
  }
  auto const hasWork = [&] { return !queue_.empty() || stopping_; };
  while (!hasWork()) {
    idle_.store(true);
    workerWaits_ = true;
    if (gathered_.load() == 0) {
      workQueued_.wait(lock, hasWork);
    } else if (!workQueued_.wait_for(lock, kGatherWait, hasWork)) {
      workerWaits_ = false;
      lock.unlock();
      takeGathered();
      lock.lock();
    }
    workerWaits_ = false;
  }
  idle_.store(false, std::memory_order_relaxed);
  return !queue_.empty();
}

// On the worker, without `mutex_`: the writer's batch, unless the writer is
// handing it over itself.
void RecordQueue::takeGathered() {
  std::unique_lock<std::mutex> gather(gatherMutex_, std::try_to_lock);
  if (gather.owns_lock()) handOver(false, false);
}

RecordQueue::Batch RecordQueue::popFront(bool& wakeWriters) {
  Batch batch = std::move(queue_.front());
  queue_.pop_front();
  queuedBytes_ -= batch.bytes;
  publishLength();
  // A waiting writer wakes once the queue is down to half, and then fills it
  // in one go rather than one wake-up per record.
  wakeWriters = writersWaiting_ && (queue_.size() <= capacity_ / 2 || queuedBytes_ <= byteCap_ / 2);
  return batch;
}

// Under the lock. Without memory to keep it, the record is freed here.
void RecordQueue::keepFinished(std::unique_ptr<OwnedRecord> record) {
  try {
    finished_.push_back(std::move(record));
  } catch (std::bad_alloc const&) {
    record.reset();
  }
}

// Under the lock: a batch's emptied list goes back to the writing thread, so
// that neither thread allocates or frees a list per batch (a free on the other
// thread takes the allocator's lock from under the writer).
void RecordQueue::keepEmptyList(std::vector<std::unique_ptr<OwnedRecord>> list) {
  // Only into the room reserved at start: the worker must not allocate here.
  if (list.capacity() == 0 || emptyLists_.size() >= emptyLists_.capacity()) return;
  list.clear();
  emptyLists_.push_back(std::move(list));
}

void RecordQueue::workerLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (waitForWork(lock)) {
    bool wakeWriters = false;
    Batch batch = popFront(wakeWriters);
    // After a failure the rest of the queue is dropped, not written: records
    // written after a lost one would corrupt the stream.
    bool drop = failure_.has_value();
    lock.unlock();
    // Woken after the unlock, a writer does not wake only to wait for the lock.
    if (wakeWriters) roomMade_.notify_all();
    std::optional<std::string> writeFailure;
    for (auto& record : batch.records) {
      if (!drop) {
        writeFailure = write_(*record);
        drop = writeFailure.has_value();
      }
      if (record->bytes() >= kSmallRecordBytes) record.reset();
    }
    lock.lock();
    for (auto& record : batch.records)
      if (record) keepFinished(std::move(record));
    keepEmptyList(std::move(batch.records));
    if (writeFailure && !failure_) {
      failure_ = std::move(writeFailure);
      failed_.store(true, std::memory_order_release);
      roomMade_.notify_all();
    }
  }
}

bool RecordQueue::handOver(bool wait, bool onWriter) {
  if (gathering_.records.empty()) return !hasFailed();
  std::unique_lock<std::mutex> lock(mutex_);
  if (onWriter) finishedOnWriter_.swap(finished_);
  if (wait) {
    ++writersWaiting_;
    roomMade_.wait(lock, [&] { return failure_ || hasRoomFor(gathering_.bytes); });
    --writersWaiting_;
  }
  bool const failed = failure_.has_value();
  bool const queued = !failed && hasRoomFor(gathering_.bytes);
  bool wakeWorker = false;
  if (queued) {
    queuedBytes_ += gathering_.bytes;
    queue_.push_back(std::move(gathering_));
    publishLength();
    // The worker has work now: until it has done it, the writer gathers again
    // rather than wake it at every record.
    idle_.store(false, std::memory_order_relaxed);
    wakeWorker = workerWaits_;
    if (!emptyLists_.empty()) {
      gathering_.records = std::move(emptyLists_.back());
      emptyLists_.pop_back();
    }
  }
  lock.unlock();
  // Woken after the unlock, the worker does not wake only to wait for the lock.
  if (wakeWorker) workQueued_.notify_one();
  if (onWriter) keepSpares();
  if (failed || queued) {
    gathering_.records.clear();
    gathering_.bytes = 0;
    gathered_.store(0, std::memory_order_relaxed);
  }
  return queued;
}

bool RecordQueue::push(std::unique_ptr<OwnedRecord> record) {
  std::size_t const bytes = record->bytes();
  std::lock_guard<std::mutex> gather(gatherMutex_);
  bool const small = bytes < kSmallRecordBytes && bytes <= byteCap_ / kGatheredPartOfCap;
  // Whether a batch of `batchBytes` stays within the byte cap beside what is
  // queued: as seen here, never less than it is, since only the worker lowers it.
  auto const fitsBesideQueued = [&](std::size_t batchBytes) {
    return queuedBytesSeen_.load(std::memory_order_acquire) + batchBytes <= byteCap_;
  };
  // A record that does not fit goes after the batch gathered before it.
  if (!gathering_.records.empty() &&
      (!small || gathering_.bytes + bytes > batchCap_ ||
       gathering_.records.size() >= kBatchRecords || !fitsBesideQueued(gathering_.bytes + bytes)) &&
      !handOver(true))
    return false;
  if (hasFailed()) return false;
  if (gathering_.records.capacity() == 0) gathering_.records.reserve(small ? kBatchRecords : 1);
  gathering_.records.push_back(std::move(record));
  gathering_.bytes += bytes;
  if (small && gathering_.records.size() < kBatchRecords && gathering_.bytes < batchCap_ &&
      fitsBesideQueued(gathering_.bytes)) {
    gathered_.store(gathering_.records.size());
    if (!idle_.load()) return true;
  }
  return handOver(true);
}

// Keeps what the writing thread took from `finished_` for reuse, as far as
// there is room, and frees the rest.
void RecordQueue::keepSpares() {
  for (auto& record : finishedOnWriter_) {
    if (spares_.size() >= kSpareRecords) break;
    if (!record->planes.empty() || sparedBytes_ + record->bytes() > kSpareBatches * batchCap_)
      continue;
    if (spares_.capacity() == 0) {
      try {
        spares_.reserve(kSpareRecords);
      } catch (std::bad_alloc const&) {
        break;
      }
    }
    sparedBytes_ += record->bytes();
    spares_.push_back(std::move(record));
  }
  finishedOnWriter_.clear();
}

std::unique_ptr<OwnedRecord> RecordQueue::takeSpare(std::size_t bytes) {
  if (spares_.empty()) return nullptr;
  std::unique_ptr<OwnedRecord> record = std::move(spares_.back());
  spares_.pop_back();
  sparedBytes_ -= record->bytes();
  if (record->storage.size() != bytes) {
    record->storage = Bytes();
    record->storage = Bytes(bytes);
  }
  return record;
}

RecordQueue::SpareScope::SpareScope(RecordQueue& queue) : previous_(spareSource) {
  spareSource = &queue;
}
RecordQueue::SpareScope::~SpareScope() { spareSource = previous_; }

void RecordQueue::handOverIfRoom() {
  std::unique_lock<std::mutex> gather(gatherMutex_, std::try_to_lock);
  if (gather.owns_lock()) handOver(false, false);
}

unsigned long RecordQueue::space() {
  // Room now: no need for the lock, which the worker takes for every record.
  std::size_t const n = queuedCount_.load(std::memory_order_acquire);
  std::size_t const b = queuedBytesSeen_.load(std::memory_order_acquire);
  if (n < capacity_ && (n == 0 || b < byteCap_)) return static_cast<unsigned long>(capacity_ - n);
  std::unique_lock<std::mutex> lock(mutex_);
  // Hosts poll until there is room: a full queue waits a moment for the
  // worker here, so that a polling host sleeps instead of spinning.
  if (!failure_ && full()) {
    ++writersWaiting_;
    roomMade_.wait_for(lock, std::chrono::milliseconds(2), [&] { return failure_ || !full(); });
    --writersWaiting_;
  }
  if (failure_) return 1;
  if (full()) return 0;
  return static_cast<unsigned long>(capacity_ - queue_.size());
}

std::optional<std::string> RecordQueue::failure() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failure_;
}

std::optional<std::string> RecordQueue::takeFailure() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::optional<std::string> taken = std::move(failure_);
  failure_.reset();
  failed_.store(false, std::memory_order_release);
  return taken;
}

}  // namespace detail

std::unique_ptr<OwnedRecord> spareRecord(std::size_t bytes) {
  if (detail::spareSource)
    if (auto record = detail::spareSource->takeSpare(bytes)) return record;
  auto record = std::make_unique<OwnedRecord>();
  record->storage = Bytes(bytes);
  return record;
}

}  // namespace sluice
