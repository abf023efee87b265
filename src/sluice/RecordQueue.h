// A channel's output queue: a bounded queue of records that one worker thread
// hands, in order, to a write callback, keeping the first failure for the
// writing thread to report. Small records are gathered on the writing thread
// and handed over in batches, one hand-over per batch.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sluice/records.h"

namespace sluice {
namespace detail {

class RecordQueue {
 public:
  // Writes one record out, on the worker thread; returns the failure's text,
  // or nothing when the record was written. Must not throw.
  using WriteRecord = std::function<std::optional<std::string>(OwnedRecord&)>;

  // Takes at most `capacity` hand-overs (a large record or a batch of small
  // ones) and, unless it is empty, no more bytes than its byte cap, the batch
  // being gathered included: the writer gathers a record only while it fits.
  RecordQueue(std::size_t capacity, WriteRecord write);
  ~RecordQueue();  // stop()
  RecordQueue(RecordQueue const&) = delete;
  RecordQueue& operator=(RecordQueue const&) = delete;

  // Holds at most `bytes` of records from now on (0: the service's own cap);
  // while the worker is stopped.
  void limitBytes(std::size_t bytes);
  // Starts the worker unless it runs; throws std::system_error when it cannot.
  void start();
  // Hands over the batch being gathered, waits until every queued record has
  // been written (or dropped after a failure), ends the worker and frees the
  // records it finished.
  void stop();

  // Queues `record` for the worker after those pushed before it. A small record
  // joins the batch being gathered, which is handed over once it is full or
  // when the worker sleeps with nothing to do; a batch left waiting is taken by
  // the worker itself once it has been idle a moment. Waits for room.
  // Returns false, without queuing it, when a worker failure is pending.
  bool push(std::unique_ptr<OwnedRecord> record);

  // Hands over the batch being gathered when the queue has room now, without
  // waiting: for a host told to wait, so that what it wrote moves on.
  void handOverIfRoom();

  // On the writing thread: a record the device has finished with, its storage
  // made `bytes` long, or null when there is none.
  std::unique_ptr<OwnedRecord> takeSpare(std::size_t bytes);

  // Makes spareRecord, on this thread, take from `queue`'s finished records
  // while it lives: around the filters of one write.
  class SpareScope {
   public:
    explicit SpareScope(RecordQueue& queue);
    ~SpareScope();
    SpareScope(SpareScope const&) = delete;
    SpareScope& operator=(SpareScope const&) = delete;

   private:
    RecordQueue* previous_;
  };

  // How many more records push takes now without waiting, once the device is
  // ready; a full queue waits a moment for the worker first. Never 0 while a
  // failure is pending, so that a writer polling for space calls write and
  // learns why.
  unsigned long space();

  // Whether a worker failure is pending, without the lock.
  bool hasFailed() const { return failed_.load(std::memory_order_acquire); }
  // The first worker failure since the last takeFailure, if any.
  std::optional<std::string> failure() const;
  // Returns that failure and forgets it.
  std::optional<std::string> takeFailure();

 private:
  // Records handed over at once, with their bytes.
  struct Batch {
    std::vector<std::unique_ptr<OwnedRecord>> records;
    std::size_t bytes = 0;
  };

  void workerLoop();
  void spinForWork() const;
  bool waitForWork(std::unique_lock<std::mutex>& lock);
  void takeGathered();
  // Sets `wakeWriters` when a writer waiting for room is to be woken.
  Batch popFront(bool& wakeWriters);
  void keepFinished(std::unique_ptr<OwnedRecord> record);
  void keepEmptyList(std::vector<std::unique_ptr<OwnedRecord>> list);
  void keepSpares();
  void publishLength();
  bool full() const;
  // Whether a hand-over of `bytes` fits the queue now.
  bool hasRoomFor(std::size_t bytes) const;
  // Queues the gathered batch; with `wait`, waits for room first. Returns false
  // when a failure is pending (the batch is then dropped) or, without `wait`,
  // when there is no room. Under `gatherMutex_`; `onWriter`: called by the
  // writing thread, which then frees the records the worker finished.
  bool handOver(bool wait, bool onWriter = true);

  std::size_t const capacity_;

  // Shared with the worker, under `mutex_`.
  // Each side is woken only while it waits: a wake-up costs more than a record.
  mutable std::mutex mutex_;
  std::condition_variable workQueued_, roomMade_;
  bool workerWaits_ = false;
  int writersWaiting_ = 0;  // a writing thread and a thread polling for space may both wait
  std::deque<Batch> queue_;
  std::size_t queuedBytes_ = 0;
  bool stopping_ = false;
  // Mirrors of the queue's length and bytes, of `stopping_` and of `failure_`,
  // written under `mutex_` and read without it: by the worker watching for
  // work before it sleeps, and by a host asking for space. Only the worker
  // shortens the queue, so a host's stale view can only be fuller than the
  // queue is.
  std::atomic<std::size_t> queuedCount_{0};
  std::atomic<std::size_t> queuedBytesSeen_{0};
  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> failed_{false};
  // Small records the device is done with go back to the writing thread to be
  // freed there: freed on the worker, they would make the allocator's lock
  // bounce between the threads at every record, and the writing thread's next
  // allocations could not come from its own cache. Large ones are freed at
  // once, to keep memory low.
  std::vector<std::unique_ptr<OwnedRecord>> finished_;
  // Those the writing thread took from `finished_`, freed outside the lock.
  std::vector<std::unique_ptr<OwnedRecord>> finishedOnWriter_;
  // Batch lists the worker has emptied, for the writer to gather into again.
  std::vector<std::vector<std::unique_ptr<OwnedRecord>>> emptyLists_;
  std::optional<std::string> failure_;  // the worker's first failure
  std::thread worker_;
  // Last: the hand-over of small records is sensitive to where the shared
  // state above falls on cache lines, and this member before it moves it.
  WriteRecord const write_;
  std::size_t byteCap_;   // set while the worker is stopped
  std::size_t batchCap_;  // bytes a batch gathers at most, part of `byteCap_`

  // The batch being gathered, on the writing thread, on cache lines of their
  // own: the worker touches them only when idle, so that the writer's stores
  // never take a line from under it. The lock is for a thread polling for
  // space beside the writing one and for an idle worker taking the batch.
  alignas(64) std::mutex gatherMutex_;
  Batch gathering_;
  // How many records the writer gathers; the worker looks at it only when idle.
  std::atomic<std::size_t> gathered_{0};
  // Finished records kept for the filters to fill again, on the writing thread
  // only: a record's entries and storage are then not allocated again at every
  // write. Freed at stop, before the plug-ins whose code their entries hold.
  std::vector<std::unique_ptr<OwnedRecord>> spares_;
  std::size_t sparedBytes_ = 0;
  // Set by the worker before it sleeps with nothing queued, cleared as work is
  // handed over: a writer seeing it set hands its batch over at once. The
  // writer stores `gathered_` and then reads this, the worker stores this and
  // then reads `gathered_` (both sequentially consistent), so that a batch is
  // never left behind a sleeping worker. Read at every write, written once a
  // batch: a line of its own.
  alignas(64) std::atomic<bool> idle_{true};
};

}  // namespace detail
}  // namespace sluice
