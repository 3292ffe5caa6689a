#include "module/op_common.hpp"

#include <cstdint>

namespace ombrel {

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

bool answeredFromKept(Runtime* rt, std::int32_t fd, std::size_t max, PyObject** fut) noexcept {
  PyObject* kept;
  if (!rt->kept.takeBytes(fd, max, &kept)) {
    Py_CLEAR(*fut);
    return true;
  }
  if (kept == nullptr) return false;
  futureSetResult(*fut, kept);
  Py_DECREF(kept);
  return true;
}

}  // namespace ombrel
