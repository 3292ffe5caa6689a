#include "os/thread.hpp"

#include <sched.h>

#include <cerrno>

namespace vorn::os {

Error spawnThread(pthread_t* out, ThreadEntry entry, void* arg, std::size_t stack_size,
                  std::size_t guard_size) noexcept {
  pthread_attr_t attr;
  if (::pthread_attr_init(&attr) != 0) return Error::SystemResources;
  Error err = Error::none;
  // Both setters only reject sizes below the platform minimum.
  if (::pthread_attr_setstacksize(&attr, stack_size) != 0 || ::pthread_attr_setguardsize(&attr, guard_size) != 0) {
    err = Error::Unexpected;
  } else {
    int rc = ::pthread_create(out, &attr, entry, arg);
    if (rc == EAGAIN) {
      err = Error::SystemResources;
    } else if (rc != 0) {
      err = Error::Unexpected;
    }
  }
  ::pthread_attr_destroy(&attr);
  return err;
}

Error cpuCount(std::size_t* out) noexcept {
  cpu_set_t set;  // 1024 bits; more CPUs than that fail with EINVAL
  static_assert(sizeof(cpu_set_t) * 8 == 1024);
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof(set), &set) != 0) return Error::Unexpected;
  int n = CPU_COUNT(&set);
  *out = n > 0 ? static_cast<std::size_t>(n) : 1;
  return Error::none;
}

}  // namespace vorn::os
