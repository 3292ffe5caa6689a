#include "ev/completion.hpp"

namespace vorn::ev {

void Completion::init(Op kind) noexcept {
  userdata = nullptr;
  callback = nullptr;
  loop = nullptr;
  cancel_next = nullptr;
  group = GroupLink{};
  prev = nullptr;
  next = nullptr;
  err = Error::none;
  op = kind;
  state = State::new_;
  flags = Flags::deferred;
  cancel_state.store(0, std::memory_order_relaxed);  // not yet shared with any thread
  has_result = false;
  os_errno = 0;
}

void Completion::reset() noexcept {
  state = State::new_;
  has_result = false;
  err = Error::none;
  os_errno = 0;
  // A dead record is owned by its owner alone again, so no other thread can
  // be looking at the cancel bits.
  cancel_state.store(0, std::memory_order_relaxed);
  cancel_next = nullptr;
  group = GroupLink{};
}

// acq_rel: a canceller on another thread publishes its request through these
// bits, and the loop's completion must be visible to whoever dispatches.
std::uint8_t Completion::cancelFetchOr(std::uint8_t bits) noexcept {
  std::uint8_t old = cancel_state.load(std::memory_order_relaxed);
  while (!cancel_state.compare_exchange_weak(old, static_cast<std::uint8_t>(old | bits), std::memory_order_acq_rel,
                                             std::memory_order_relaxed)) {
  }
  return old;
}

std::uint8_t Completion::cancelFetchAnd(std::uint8_t keep) noexcept {
  std::uint8_t old = cancel_state.load(std::memory_order_relaxed);
  while (!cancel_state.compare_exchange_weak(old, static_cast<std::uint8_t>(old & keep), std::memory_order_acq_rel,
                                             std::memory_order_relaxed)) {
  }
  return old;
}

}  // namespace vorn::ev
