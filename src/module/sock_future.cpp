#include "module/sock_future.hpp"

#include <cerrno>
#include <cstring>

#include "ev/loop.hpp"
#include "module/globals.hpp"
#include "module/runtime.hpp"

namespace ombrel {

using vorn::Error;

namespace {

// The message of cancel(msg=None): positional or keyword, the keyword wins.
PyObject* cancelMsgArg(PyObject* args, PyObject* kwargs) noexcept {
  PyObject* msg = nullptr;
  if (args != nullptr && PyTuple_GET_SIZE(args) > 0) msg = PyTuple_GET_ITEM(args, 0);
  if (kwargs != nullptr) {
    PyObject* kw = PyDict_GetItemString(kwargs, "msg");  // borrowed
    if (kw != nullptr) msg = kw;
  }
  return msg;
}

PyObject* sockFutureCancel(PyObject* self, PyObject* args, PyObject* kwargs) {
  SockExtra* extra = sockExtra(self);
  PyObject* msg = cancelMsgArg(args, kwargs);
  if (extra->comp != nullptr) {
    if (extra->cancel_requested) Py_RETURN_TRUE;
    extra->cancel_requested = true;
    if (msg != nullptr) extra->cancel_msg = Py_NewRef(msg);
    // The future becomes cancelled when the aborted operation is reaped.
    if (vorn::ev::Loop* loop = extra->comp->loop) {
      // What it may still read is kept for the file its descriptor names
      // now, before the owner can close it. (The loop is the Runtime's
      // first field.)
      reinterpret_cast<Runtime*>(loop)->kept.noteCancel(extra->comp);
      loop->cancel(extra->comp);
    }
    Py_RETURN_TRUE;
  }
  PyObject* call_args[] = {self, msg != nullptr ? msg : Py_None};
  return PyObject_Vectorcall(future_cancel_super, call_args, 2, nullptr);
}

#define VARKW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef sockfuture_methods[] = {
    {"cancel", VARKW(sockFutureCancel), METH_VARARGS | METH_KEYWORDS,
     "Cancel the future and abort the underlying I/O op."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot sockfuture_slots[] = {
    {Py_tp_base, nullptr},  // asyncio.Future, filled in at creation
    {Py_tp_methods, sockfuture_methods},
    {0, nullptr},
};

PyType_Spec sockfuture_spec = {"_ombrel.SockFuture", 0, 0, Py_TPFLAGS_DEFAULT, sockfuture_slots};

PyObject* callMethod1(PyObject* obj, PyObject* name, PyObject* arg) noexcept {
  PyObject* args[] = {obj, arg};
  return PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

}  // namespace

PyTypeObject* sockFutureTypeCreate(PyObject* module, PyObject* future) noexcept {
  sockfuture_spec.basicsize = static_cast<int>(sockfuture_offset + sockfuture_tail_size);
  sockfuture_slots[0].pfunc = future;
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &sockfuture_spec, nullptr));
}

SockExtra* sockExtra(PyObject* fut) noexcept {
  return reinterpret_cast<SockExtra*>(reinterpret_cast<char*>(fut) + sockfuture_offset);
}

PyObject* newSockFuture(PyObject* loop_obj) noexcept {
  PyObject* args[] = {nullptr, loop_obj};
  PyObject* fut = PyObject_Vectorcall(reinterpret_cast<PyObject*>(sockfuture_type), args + 1,
                                      0 | PY_VECTORCALL_ARGUMENTS_OFFSET, loop_kwnames);
  if (fut != nullptr) std::memset(sockExtra(fut), 0, sizeof(SockExtra));
  return fut;
}

PyObject* pyExcTypeForError(Error err) noexcept {
  switch (err) {
    case Error::PermissionDenied:
    case Error::AccessDenied: return PyExc_PermissionError;
    case Error::FileNotFound: return PyExc_FileNotFoundError;
    case Error::NotDir: return PyExc_NotADirectoryError;
    case Error::PathAlreadyExists: return PyExc_FileExistsError;
    case Error::IsDir: return PyExc_IsADirectoryError;
    case Error::BrokenPipe: return PyExc_BrokenPipeError;
    case Error::ConnectionResetByPeer: return PyExc_ConnectionResetError;
    case Error::ConnectionAborted: return PyExc_ConnectionAbortedError;
    case Error::ConnectionRefused: return PyExc_ConnectionRefusedError;
    case Error::ConnectionTimedOut: return PyExc_TimeoutError;
    default: return PyExc_OSError;
  }
}

PyObject* makeOsError(Error err, int os_errno, PyObject* filename, PyObject* filename2) noexcept {
  if (os_errno == 0) {
    std::string_view name = vorn::errorName(err);
    PyObject* text = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (text == nullptr) return nullptr;
    PyObject* exc = PyObject_CallOneArg(pyExcTypeForError(err), text);
    Py_DECREF(text);
    return exc;
  }
  char buf[128];
  const char* text = strerror_r(os_errno, buf, sizeof buf);  // GNU: may return its own string
  // Decoded as PyErr_SetFromErrno decodes it, so the text is the built-in's.
  PyObject* message = PyUnicode_DecodeLocale(text, "surrogateescape");
  if (message == nullptr) return nullptr;
  // OSError's constructor picks the subclass from the number and takes
  // filename and filename2 from the third and fifth arguments.
  PyObject* args;
  if (filename2 != nullptr) {
    args = Py_BuildValue("(iNOOO)", os_errno, message, filename != nullptr ? filename : Py_None, Py_None, filename2);
  } else if (filename != nullptr) {
    args = Py_BuildValue("(iNO)", os_errno, message, filename);
  } else {
    args = Py_BuildValue("(iN)", os_errno, message);
  }
  if (args == nullptr) return nullptr;  // "N" consumed message either way
  PyObject* exc = PyObject_Call(PyExc_OSError, args, nullptr);
  Py_DECREF(args);
  return exc;
}

OpOutcome okOrOom(PyObject* value) noexcept {
  if (value != nullptr) return OpOutcome::ok(value);
  PyErr_Clear();
  return OpOutcome::error(Error::OutOfMemory, ENOMEM);
}

bool futureCancelled(PyObject* fut) noexcept {
  PyObject* args[] = {fut};
  PyObject* r = PyObject_VectorcallMethod(str_cancelled, args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  if (r == nullptr) {
    PyErr_Clear();
    return false;
  }
  int truth = PyObject_IsTrue(r);
  Py_DECREF(r);
  if (truth < 0) {
    PyErr_Clear();
    return false;
  }
  return truth == 1;
}

void futureSetResult(PyObject* fut, PyObject* value) noexcept {
  if (futureCancelled(fut)) return;
  PyObject* r = callMethod1(fut, str_set_result, value);
  if (r == nullptr) {
    PyErr_WriteUnraisable(fut);
  } else {
    Py_DECREF(r);
  }
}

void futureSetError(PyObject* fut, Error err, int os_errno) noexcept {
  if (futureCancelled(fut)) return;
  PyObject* exc = makeOsError(err, os_errno);
  if (exc == nullptr) {
    PyErr_WriteUnraisable(fut);
    return;
  }
  PyObject* r = callMethod1(fut, str_set_exception, exc);
  if (r == nullptr) {
    PyErr_WriteUnraisable(fut);
  } else {
    Py_DECREF(r);
  }
  Py_DECREF(exc);
}

bool sockFutureReap(PyObject* fut) noexcept {
  SockExtra* extra = sockExtra(fut);
  extra->comp = nullptr;
  if (!extra->cancel_requested) return false;
  PyObject* msg = extra->cancel_msg;
  extra->cancel_msg = nullptr;
  PyObject* args[] = {fut, msg != nullptr ? msg : Py_None};
  PyObject* r = PyObject_Vectorcall(future_cancel_super, args, 2, nullptr);
  if (r == nullptr) {
    PyErr_WriteUnraisable(fut);
  } else {
    Py_DECREF(r);
  }
  Py_XDECREF(msg);
  return true;
}

bool finishSockOp(PyObject* fut, OpOutcome outcome) noexcept {
  if (outcome.tag == OpOutcome::Tag::pending) return false;
  if (fut == nullptr) {  // orphaned by close: nobody to deliver to
    Py_XDECREF(outcome.value);
    return true;
  }
  if (sockFutureReap(fut)) {
    Py_XDECREF(outcome.value);  // the operation's own result is discarded
    return true;
  }
  if (outcome.tag == OpOutcome::Tag::err) {
    futureSetError(fut, outcome.err, outcome.os_errno);
  } else if (outcome.value != nullptr) {
    futureSetResult(fut, outcome.value);
    Py_DECREF(outcome.value);
  } else {
    futureSetResult(fut, Py_None);
  }
  return true;
}

void sockFutureSever(PyObject* fut) noexcept {
  SockExtra* extra = sockExtra(fut);
  extra->comp = nullptr;
  extra->cancel_requested = false;
  Py_CLEAR(extra->cancel_msg);
}

}  // namespace ombrel
