#include "module/recv_buffers.hpp"

#include <atomic>
#include <mutex>
#include <vector>

#include "module/transport.hpp"
#include "os/memory.hpp"

namespace ombrel {

namespace {

// Buffers per mapping: 4 MiB, large enough to keep the mapping count low
// with 100,000 connections, small enough that a few connections map little.
constexpr std::size_t buffers_per_map = 64;
// Freed buffers kept resident for the next connection (connection churn
// reuses warm pages); the pages of buffers freed beyond these are released.
constexpr std::size_t warm_limit = 32;

struct Free {
  std::byte* buf;
  std::size_t dirty;
};

std::mutex lock;
// Free buffers whose pages may be resident, most recently freed last.
Free warm[warm_limit];         // guarded by lock
std::size_t warm_len;          // guarded by lock
std::vector<std::byte*> cold;  // guarded by lock: free, nothing resident

// Buffers returned since the last trim before one is worth its cost (a walk
// of the allocator's free lists, and page faults when memory is reused).
constexpr std::size_t trim_after_puts = 64;
// How long no buffer may be taken or returned before the churn counts as over.
constexpr std::uint64_t quiet_ns = 1'000'000'000;

std::size_t puts_since_trim;  // guarded by lock
// puts_since_trim has reached trim_after_puts: read without the lock by
// every loop about to wait. Relaxed: a stale value only moves the trim to
// a later call, and the lock orders everything the trim decides on.
std::atomic<bool> trim_wanted;
std::uint64_t churn;          // guarded by lock: counts takes and puts
std::uint64_t churn_seen;     // guarded by lock: `churn` at churn_seen_at
std::uint64_t churn_seen_at;  // guarded by lock: a caller's clock, ns

}  // namespace

std::byte* recvBufferTake(std::size_t* dirty) noexcept {
  std::lock_guard guard(lock);
  ++churn;
  if (warm_len > 0) {
    const Free& f = warm[--warm_len];
    *dirty = f.dirty;
    return f.buf;
  }
  *dirty = 0;
  if (cold.empty()) {
    // Room in the list first, so that a mapping is never made and lost.
    try {
      cold.reserve(buffers_per_map);
    } catch (...) {
      return nullptr;
    }
    auto* map = static_cast<std::byte*>(vorn::os::mapAnonymous(buffers_per_map * transport_recv_buf_size));
    if (map == nullptr) return nullptr;
    // Handed out from the lowest address up.
    for (std::size_t i = buffers_per_map; i-- > 0;) cold.push_back(map + i * transport_recv_buf_size);
  }
  std::byte* buf = cold.back();
  cold.pop_back();
  return buf;
}

void recvBufferPut(std::byte* buf, std::size_t dirty) noexcept {
  if (buf == nullptr) return;
  std::lock_guard guard(lock);
  ++churn;
  if (++puts_since_trim == trim_after_puts) trim_wanted.store(true, std::memory_order_relaxed);
  if (dirty > 0 && warm_len < warm_limit) {
    warm[warm_len++] = {buf, dirty};
    return;
  }
  if (dirty > 0) vorn::os::releasePages(buf, dirty);
  try {
    cold.push_back(buf);
  } catch (...) {
    // Out of memory for the list itself: the buffer is lost, not reused
    // while someone else may hold it.
  }
}

void recvBufferRelease(std::byte* buf, std::size_t dirty) noexcept {
  if (buf != nullptr && dirty > 0) vorn::os::releasePages(buf, dirty);
}

bool recvBuffersIdle(std::uint64_t now_ns) noexcept {
  if (!trim_wanted.load(std::memory_order_relaxed)) return false;
  {
    std::lock_guard guard(lock);
    if (puts_since_trim < trim_after_puts) return false;
    if (churn != churn_seen) {
      churn_seen = churn;
      churn_seen_at = now_ns;
      return true;
    }
    // Loops' clocks are read at different moments: one a little behind the
    // reading that started the quiet time waits for a later call.
    if (now_ns < churn_seen_at || now_ns - churn_seen_at < quiet_ns) return true;
    puts_since_trim = 0;
    trim_wanted.store(false, std::memory_order_relaxed);
    for (std::size_t i = 0; i < warm_len; ++i) {
      vorn::os::releasePages(warm[i].buf, warm[i].dirty);
      warm[i].dirty = 0;
    }
  }
  // Outside the lock: the trim may take milliseconds, and loops of other
  // threads need not wait for it to make or free a transport.
  vorn::os::trimHeap();
  return false;
}

}  // namespace ombrel
