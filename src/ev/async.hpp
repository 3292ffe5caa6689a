// Async: a handle another thread can notify to complete it on the loop.
// The loop exchanges `pending` with 0; a non-zero value means notified. An
// added handle completes once; to wait again it is added again.
#pragma once

#include <atomic>
#include <cstdint>

#include "ev/completion.hpp"

namespace vorn::ev {

struct Async {
  Completion c;
  std::atomic<std::uint32_t> pending;

  void init() noexcept {
    c.init(Op::async);
    pending.store(0, std::memory_order_relaxed);
  }
};

}  // namespace vorn::ev
