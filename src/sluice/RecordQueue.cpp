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

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#else
  std::this_thread::yield();
#endif
}

}  // namespace

RecordQueue::RecordQueue(std::size_t capacity, WriteRecord write)
    : capacity_(capacity), write_(std::move(write)), byteCap_(QUEUE_BYTE_CAP) {}

void RecordQueue::limitBytes(std::size_t bytes) {
  byteCap_ = bytes == 0 ? QUEUE_BYTE_CAP : std::min(bytes, QUEUE_BYTE_CAP);
}

RecordQueue::~RecordQueue() { stop(); }

void RecordQueue::start() {
  if (worker_.joinable()) return;
  worker_ = std::thread([this] { workerLoop(); });
}

void RecordQueue::stop() {
  if (!worker_.joinable()) return;
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
}

// Stores the queue's length and bytes for the readers that do not lock.
void RecordQueue::publishLength() {
  queuedCount_.store(queue_.size(), std::memory_order_release);
  queuedBytesSeen_.store(queuedBytes_, std::memory_order_release);
}

bool RecordQueue::full() const {
  return queue_.size() >= capacity_ || (!queue_.empty() && queuedBytes_ >= byteCap_);
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
// worker watches the queue a moment before it sleeps.
bool RecordQueue::waitForWork(std::unique_lock<std::mutex>& lock) {
  if (queue_.empty() && !stopping_) {
    lock.unlock();
    spinForWork();
    lock.lock();
  }
  workerWaits_ = true;
  workQueued_.wait(lock, [&] { return !queue_.empty() || stopping_; });
  workerWaits_ = false;
  return !queue_.empty();
}

std::unique_ptr<OwnedRecord> RecordQueue::popFront() {
  std::unique_ptr<OwnedRecord> record = std::move(queue_.front());
  queue_.pop_front();
  queuedBytes_ -= record->bytes();
  publishLength();
  // A waiting writer wakes once the queue is down to half, and then fills it
  // in one go rather than one wake-up per record.
  if (writersWaiting_ && (queue_.size() <= capacity_ / 2 || queuedBytes_ <= byteCap_ / 2))
    roomMade_.notify_all();
  return record;
}

// Under the lock. Without memory to keep it, the record is freed here.
void RecordQueue::keepFinished(std::unique_ptr<OwnedRecord> record) {
  try {
    finished_.push_back(std::move(record));
  } catch (std::bad_alloc const&) {
    record.reset();
  }
}

void RecordQueue::workerLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (waitForWork(lock)) {
    std::unique_ptr<OwnedRecord> record = popFront();
    // After a failure the rest of the queue is dropped, not written: records
    // written after a lost one would corrupt the stream.
    bool const drop = failure_.has_value();
    lock.unlock();
    std::optional<std::string> writeFailure;
    if (!drop) writeFailure = write_(*record);
    bool const small = record->bytes() < kSmallRecordBytes;
    if (!small) record.reset();
    lock.lock();
    if (small) keepFinished(std::move(record));
    if (writeFailure && !failure_) {
      failure_ = std::move(writeFailure);
      failed_.store(true, std::memory_order_release);
      roomMade_.notify_all();
    }
  }
}

bool RecordQueue::push(std::unique_ptr<OwnedRecord> record) {
  std::size_t const bytes = record->bytes();
  std::unique_lock<std::mutex> lock(mutex_);
  finishedOnWriter_.swap(finished_);
  ++writersWaiting_;
  roomMade_.wait(lock, [&] {
    return failure_ || queue_.empty() ||
           (queue_.size() < capacity_ && queuedBytes_ + bytes <= byteCap_);
  });
  --writersWaiting_;
  if (failure_) return false;
  queuedBytes_ += bytes;
  queue_.push_back(std::move(record));
  publishLength();
  if (workerWaits_) workQueued_.notify_one();
  lock.unlock();
  finishedOnWriter_.clear();
  return true;
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
}  // namespace sluice
