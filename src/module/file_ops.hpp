// Asynchronous file operations: the nine _file_* methods. Each starts one
// file operation (on the ring, or on the thread pool for what the ring cannot
// do) and returns a SockFuture. Reads return what one read returned; writes
// continue until all the data is written.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ombrel {

// Open-flag bits of _file_open (the module's own, not the system's).
struct FileOpenBits {
  enum : long { create = 1, read = 2, write = 4, truncate = 8, exclusive = 16 };
};

PyObject* loopFileOpen(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopFileClose(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopFilePread(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopFileRead(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopFilePwrite(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopFileWrite(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopFileFsync(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopFileTruncate(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopFileSize(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace ombrel
