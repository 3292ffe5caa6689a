// eventfd wrappers: a counter other threads write to wake the loop. Each
// retries on EINTR and returns 0 or the errno. Any thread.
#pragma once

#include <cstdint>

namespace vorn::os {

// A new non-blocking, close-on-exec eventfd with counter 0; -errno on failure.
int eventfdCreate() noexcept;
// Adds `value` to the counter. EAGAIN: the counter is saturated.
int eventfdWrite(int fd, std::uint64_t value) noexcept;
// Reads and resets the counter. EAGAIN: it was already 0.
int eventfdRead(int fd, std::uint64_t* value) noexcept;

}  // namespace vorn::os
