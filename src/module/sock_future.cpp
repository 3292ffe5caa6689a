#include "module/sock_future.hpp"

#include "module/globals.hpp"

namespace ombrel {

namespace {

PyType_Slot sockfuture_slots[] = {
    {Py_tp_base, nullptr},  // asyncio.Future, filled in at creation
    {0, nullptr},
};

PyType_Spec sockfuture_spec = {"_ombrel.SockFuture", 0, 0, Py_TPFLAGS_DEFAULT, sockfuture_slots};

}  // namespace

PyTypeObject* sockFutureTypeCreate(PyObject* module, PyObject* future) noexcept {
  sockfuture_spec.basicsize = static_cast<int>(sockfuture_offset + sockfuture_tail_size);
  sockfuture_slots[0].pfunc = future;
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &sockfuture_spec, nullptr));
}

}  // namespace ombrel
