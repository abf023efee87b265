// Record storage. Small blocks come from the heap, and a thread keeps the last
// few it let go for its next blocks of the same size: a writer makes and frees
// small records at every call, and 64-byte aligned heap blocks are the heap's
// slowest kind (each one also makes it sweep its lists of freed blocks).
// Large blocks are mapped pages returned whole when let go, so memory does not
// creep up with a file's length (aligned heap blocks of a few MiB fragment the
// heap); a small pool keeps the last few for reuse, so that a writer's steady
// stream of equal records does not touch fresh pages every time. The pool keeps
// the most recent blocks: those of a stream that has ended give way to the
// sizes in use now (each fresh mapping costs a page fault per page and each
// unmapping a cross-core flush).
#include <sys/mman.h>

#include <cstdlib>
#include <mutex>
#include <new>
#include <vector>

#include "sluice/records.h"

namespace sluice {
namespace {

constexpr std::size_t kLarge = std::size_t(256) << 10;
// Enough for every record a full queue (16 MiB) and its two ends hold: with
// less, a writer of large records maps fresh pages for most of them, a page
// fault per page. The pool holds only blocks that were in use, so a writer's
// peak memory stays what its queue can hold, however long the file.
constexpr std::size_t kPoolBytes = std::size_t(24) << 20;
constexpr std::size_t kPoolBlocks = 8;
constexpr std::size_t kPage = 4096;

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer watches heap blocks only: give it every block, none reused.
constexpr bool kMapLarge = false;
#else
constexpr bool kMapLarge = true;
#endif

constexpr std::size_t kCachedMax = std::size_t(64) << 10;
constexpr int kCacheSlots = 8;

// A thread's small blocks, oldest first. Plain data, so that it stays usable
// while the thread's other objects are destroyed; `Reaper` empties it then.
struct SmallCache {
  void* block[kCacheSlots];
  std::size_t size[kCacheSlots];
  int count;
  bool closed;
};
thread_local SmallCache smallCache;

struct Reaper {
  ~Reaper() {
    for (int i = 0; i < smallCache.count; ++i) std::free(smallCache.block[i]);
    smallCache.count = 0;
    smallCache.closed = true;
  }
};
thread_local Reaper reaper;

std::size_t rounded(std::size_t size) { return (size + 63) / 64 * 64; }

void* takeCached(std::size_t size) {
  SmallCache& c = smallCache;
  for (int i = c.count; i-- > 0;) {
    if (c.size[i] == size) {
      void* p = c.block[i];
      for (int j = i + 1; j < c.count; ++j) {
        c.block[j - 1] = c.block[j];
        c.size[j - 1] = c.size[j];
      }
      --c.count;
      return p;
    }
  }
  return nullptr;
}

void keepCached(void* block, std::size_t size) {
  SmallCache& c = smallCache;
  if (c.closed) {
    std::free(block);
    return;
  }
  (void)&reaper;  // the first block kept makes this thread's reaper
  if (c.count == kCacheSlots) {
    std::free(c.block[0]);
    for (int j = 1; j < c.count; ++j) {
      c.block[j - 1] = c.block[j];
      c.size[j - 1] = c.size[j];
    }
    --c.count;
  }
  c.block[c.count] = block;
  c.size[c.count] = size;
  ++c.count;
}

struct Pool {
  std::mutex mutex;
  std::vector<std::pair<void*, std::size_t>> blocks;
  std::size_t bytes = 0;
};

Pool& pool() {
  // Never destroyed: records may be released during static destruction.
  static Pool* p = new Pool;
  return *p;
}

std::size_t mapped(std::size_t size) { return (size + kPage - 1) / kPage * kPage; }

}  // namespace

void* allocateBlock(std::size_t size) {
  if (!kMapLarge || size < kLarge) {
    std::size_t const length = rounded(size);
    if (kMapLarge && length <= kCachedMax)
      if (void* p = takeCached(length)) return p;
    void* p = std::aligned_alloc(64, length);
    if (!p) throw std::bad_alloc();
    return p;
  }
  std::size_t const length = mapped(size);
  {
    Pool& pl = pool();
    std::lock_guard<std::mutex> lock(pl.mutex);
    for (std::size_t i = pl.blocks.size(); i-- > 0;) {
      if (pl.blocks[i].second == length) {
        void* p = pl.blocks[i].first;
        pl.blocks.erase(pl.blocks.begin() + std::ptrdiff_t(i));
        pl.bytes -= length;
        return p;
      }
    }
  }
  void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  return p;
}

void releaseBlock(void* block, std::size_t size) noexcept {
  if (!block) return;
  if (!kMapLarge || size < kLarge) {
    if (kMapLarge && rounded(size) <= kCachedMax)
      keepCached(block, rounded(size));
    else
      std::free(block);
    return;
  }
  std::size_t const length = mapped(size);
  std::pair<void*, std::size_t> evicted[kPoolBlocks];
  std::size_t drop = 0;
  bool kept = false;
  if (length <= kPoolBytes) {
    Pool& pl = pool();
    std::lock_guard<std::mutex> lock(pl.mutex);
    try {
      if (pl.blocks.capacity() < kPoolBlocks) pl.blocks.reserve(kPoolBlocks);
      // The oldest blocks make room for this one.
      std::size_t bytes = pl.bytes;
      while (drop < pl.blocks.size() &&
             (pl.blocks.size() - drop >= kPoolBlocks || bytes + length > kPoolBytes)) {
        evicted[drop] = pl.blocks[drop];
        bytes -= pl.blocks[drop++].second;
      }
      pl.blocks.erase(pl.blocks.begin(), pl.blocks.begin() + std::ptrdiff_t(drop));
      pl.blocks.emplace_back(block, length);
      pl.bytes = bytes + length;
      kept = true;
    } catch (...) {
      // no room to remember it: return it below
    }
  }
  // Unmapped outside the lock: it waits for the other cores' flushes.
  for (std::size_t i = 0; i < drop; ++i) ::munmap(evicted[i].first, evicted[i].second);
  if (!kept) ::munmap(block, length);
}

}  // namespace sluice
