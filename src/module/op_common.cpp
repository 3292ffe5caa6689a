#include "module/op_common.hpp"

#include <cstdint>

namespace ombrel {

void Runtime::liveOpLink(LiveOp* op, PyObject** fut_slot) noexcept {
  op->fut_slot = fut_slot;
  op->prev = nullptr;
  op->next = live_ops;
  if (live_ops != nullptr) live_ops->prev = op;
  live_ops = op;
}

void Runtime::liveOpUnlink(LiveOp* op) noexcept {
  if (op->prev != nullptr) {
    op->prev->next = op->next;
  } else {
    live_ops = op->next;
  }
  if (op->next != nullptr) op->next->prev = op->prev;
  op->prev = op->next = nullptr;
}

void startOp(Runtime* rt, PyObject** fut_slot, LiveOp* live, vorn::ev::Completion* c, vorn::ev::Callback done,
             void* record) noexcept {
  c->callback = done;
  c->userdata = record;
  sockExtra(*fut_slot)->comp = c;
  rt->liveOpLink(live, fut_slot);
  rt->loop.add(c);
}

void endOp(Runtime* rt, LiveOp* live, PyObject** fut) noexcept {
  rt->liveOpUnlink(live);
  Py_CLEAR(*fut);
}

int resolveFromKept(Runtime* rt, std::int32_t fd, std::size_t max, PyObject* fut) noexcept {
  PyObject* kept;
  if (!rt->kept.takeBytes(fd, max, &kept)) return -1;
  if (kept == nullptr) return 0;
  futureSetResult(fut, kept);
  Py_DECREF(kept);
  return 1;
}

}  // namespace ombrel
