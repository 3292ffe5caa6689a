// create_task and create_future without a Python frame. The classes are
// looked up in their modules at each call, as asyncio's own methods do, so
// that a replaced asyncio.tasks.Task or asyncio.futures.Future is honoured.
#include "module/task_factory.hpp"

#include "module/globals.hpp"
#include "module/runtime.hpp"

namespace ombrel {

namespace {

PyObject* tasks_module;    // asyncio.tasks
PyObject* futures_module;  // asyncio.futures

// module.name as the module's dict holds it now (a new reference): a
// replaced class is honoured, without the attribute protocol's detour
// through the module type. Neither module defines a module __getattr__.
PyObject* moduleClass(PyObject* module, PyObject* name) noexcept {
  PyObject* cls;
  if (PyDict_GetItemRef(PyModule_GetDict(module), name, &cls) != 0) return cls;
  return PyObject_GetAttr(module, name);  // raises the AttributeError
}
PyObject* str_task;
PyObject* str_future;

// callable(*head, *rest) where the last rest entries are the values of
// `kwnames` and the first `npos` of head + rest are positional.
PyObject* callWithHead(PyObject* callable, PyObject* const* head, Py_ssize_t nhead, PyObject* const* rest,
                       Py_ssize_t nrest, Py_ssize_t npos, PyObject* kwnames) noexcept {
  Py_ssize_t total = nhead + nrest;
  PyObject* small[8];
  PyObject** stack = total <= 8 ? small : PyMem_New(PyObject*, total);
  if (stack == nullptr) return PyErr_NoMemory();
  for (Py_ssize_t i = 0; i < nhead; ++i) stack[i] = head[i];
  for (Py_ssize_t i = 0; i < nrest; ++i) stack[nhead + i] = rest[i];
  PyObject* r = PyObject_Vectorcall(callable, stack, static_cast<std::size_t>(npos), kwnames);
  if (stack != small) PyMem_Free(stack);
  return r;
}

// Task(coro, loop=self, **kw) for a call that passed keywords.
PyObject* newTaskWithKeywords(PyObject* task_type, PyObject* self, PyObject* coro, PyObject* const* kwvalues,
                              PyObject* kwnames) noexcept {
  PyObject* loop_name = PyTuple_GET_ITEM(loop_kwnames, 0);
  Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(kwnames, i), loop_name, Py_EQ);
    if (eq < 0) return nullptr;
    if (eq) {
      PyErr_SetString(PyExc_TypeError, "create_task() got multiple values for keyword argument 'loop'");
      return nullptr;
    }
  }
  PyObject* names = PySequence_Concat(loop_kwnames, kwnames);
  if (names == nullptr) return nullptr;
  PyObject* head[] = {coro, self};
  PyObject* task = callWithHead(task_type, head, 2, kwvalues, nkw, 1, names);
  Py_DECREF(names);
  return task;
}

}  // namespace

bool taskFactoryInit() noexcept {
  tasks_module = PyImport_ImportModule("asyncio.tasks");
  if (tasks_module == nullptr) return false;
  futures_module = PyImport_ImportModule("asyncio.futures");
  if (futures_module == nullptr) return false;
  str_task = PyUnicode_InternFromString("Task");
  str_future = PyUnicode_InternFromString("Future");
  return str_task != nullptr && str_future != nullptr;
}

PyObject* loopCreateTask(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs != 1) {
    PyErr_Format(PyExc_TypeError, "create_task() takes exactly 1 positional argument (%zd given)", nargs);
    return nullptr;
  }
  if (runtimeOf(self) == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "Event loop is closed");
    return nullptr;
  }
  PyObject* coro = args[0];
  if (PyObject* factory = reinterpret_cast<LoopObject*>(self)->task_factory) {
    Py_INCREF(factory);  // the factory may replace itself
    Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* r = callWithHead(factory, &self, 1, args, nargs + nkw, 1 + nargs, kwnames);
    Py_DECREF(factory);
    return r;
  }
  PyObject* task_type = moduleClass(tasks_module, str_task);
  if (task_type == nullptr) return nullptr;
  PyObject* task;
  if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0) {
    PyObject* stack[] = {coro, self};
    task = PyObject_Vectorcall(task_type, stack, 1, loop_kwnames);
  } else {
    task = newTaskWithKeywords(task_type, self, coro, args + nargs, kwnames);
  }
  // No frame of ours is on the stack: a debug-mode task's creation stack
  // already ends at the caller.
  Py_DECREF(task_type);
  return task;
}

PyObject* loopCreateFuture(PyObject* self, PyObject*) noexcept {
  PyObject* future_type = moduleClass(futures_module, str_future);
  if (future_type == nullptr) return nullptr;
  PyObject* stack[] = {self};
  PyObject* fut = PyObject_Vectorcall(future_type, stack, 0, loop_kwnames);
  Py_DECREF(future_type);
  return fut;
}

}  // namespace ombrel
