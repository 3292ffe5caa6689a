#include "os/time.hpp"

#include <cerrno>

#include "os/log.hpp"

namespace vorn::os {

std::uint64_t clockNow(clockid_t clock) noexcept {
  timespec ts;
  if (::clock_gettime(clock, &ts) != 0) log::fatalErrno("now: call to clock_gettime failed: ", errno);
  std::int64_t ns = static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
  return ns < 0 ? 0 : static_cast<std::uint64_t>(ns);
}

}  // namespace vorn::os
