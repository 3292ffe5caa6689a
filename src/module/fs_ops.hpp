// File-system operations by path: the _fs_* methods behind ombrel.os. Each
// starts one engine operation relative to the working directory and returns
// a SockFuture (cancellable like every operation's future). Paths arrive as
// bytes, already encoded by os.fsencode; errors carry the errno only (the
// Python layer adds filename and filename2 as os does).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace ombrel {

// _fs_stat(path, follow_symlinks) -> Future[os.stat_result], every field
// filled as os.stat fills it.
PyObject* loopFsStat(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
// _fs_mkdir(path, mode), _fs_unlink(path), _fs_rmdir(path),
// _fs_rename(src, dst) (replaces dst) -> Future[None].
PyObject* loopFsMkdir(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopFsUnlink(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopFsRmdir(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopFsRename(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace ombrel
