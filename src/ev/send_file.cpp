#include "ev/send_file.hpp"

#include "ev/loop.hpp"

namespace vorn::ev {

// The read-and-send pipeline is not built yet: the operation fails cleanly.
void netSendFileStart(Loop* loop, Completion* c) noexcept {
  c->setError(Error::OperationNotSupported);
  loop->state.markCompleted(c);
}

void netSendFileCancel(Loop*, Completion*) noexcept {}

}  // namespace vorn::ev
