#include "module/recv_buffers.hpp"

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

}  // namespace

std::byte* recvBufferTake(std::size_t* dirty) noexcept {
  std::lock_guard guard(lock);
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

}  // namespace ombrel
