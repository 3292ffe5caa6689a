// placeholder, replaced by the thread pool work
#pragma once
#include <atomic>
#include <cstdint>
namespace vorn::ev {
struct ConditionFutex {
  std::atomic<std::uint32_t> seq{0};
};
}  // namespace vorn::ev
