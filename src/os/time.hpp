// Clock readings as unsigned nanosecond counts. Any thread.
#pragma once

#include <time.h>

#include <cstdint>

namespace vorn::os {

// seconds * 1e9 + nanoseconds of the clock, negative values clamped to 0.
// A failing clock_gettime ends the process ("now: call to clock_gettime failed: ").
std::uint64_t clockNow(clockid_t clock) noexcept;

}  // namespace vorn::os
