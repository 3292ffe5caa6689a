#include "os/futex.hpp"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace vorn::os {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));

int futexWait(std::atomic<std::uint32_t>* word, std::uint32_t expected, const timespec* timeout) noexcept {
  long r =
      ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_PRIVATE, expected, timeout, nullptr, 0);
  return r == 0 ? 0 : errno;
}

int futexWake(std::atomic<std::uint32_t>* word, int count) noexcept {
  long r = ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
  return r < 0 ? 0 : static_cast<int>(r);
}

}  // namespace vorn::os
