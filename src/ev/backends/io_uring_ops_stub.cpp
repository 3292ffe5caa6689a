// Temporary: operation translation arrives with the operation records.
#include <cerrno>

#include "ev/backends/io_uring.hpp"
#include "ev/loop.hpp"

namespace vorn::ev::backends {

void IoUring::submit(LoopState& state, Completion* c) noexcept {
  if (c->isState(State::new_)) {
    c->state = State::running;
    ++state.active;
  }
  c->setError(Error::OperationNotSupported);
  markCompletedFromBackend(state, c);
}

void IoUring::storeResult(Completion* c, std::int32_t result) noexcept {
  c->has_result = true;
  if (result < 0) c->err = result == -ECANCELED ? Error::Canceled : Error::Unexpected;
}

void IoUring::cancel(Completion*) noexcept {}

void submitFileOpToThreadPool(Loop* loop, Completion* c) noexcept {
  c->state = State::running;
  ++loop->state.active;
  c->setError(Error::OperationNotSupported);
  loop->state.markCompleted(c);
}

Work* delegatedWorkOf(Completion*) noexcept { return nullptr; }

}  // namespace vorn::ev::backends
