// File-system operations by path: the _fs_* methods behind ombrel.os. Each
// starts one engine operation relative to the working directory and returns
// a SockFuture (cancellable like every operation's future). Paths arrive as
// bytes, already encoded by os.fsencode; errors carry the errno only (the
// Python layer adds filename and filename2 as os does). Called with the
// interpreter lock, on the loop's thread.
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

// _fs_symlink(target, link), _fs_link(src, dst, follow_symlinks) ->
// Future[None]; _fs_readlink(path) -> Future[bytes].
PyObject* loopFsSymlink(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopFsLink(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopFsReadlink(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
// _fs_access(path, mode, follow_symlinks) -> Future[None], failing where
// os.access answers False (mode: R_OK | W_OK | X_OK, or 0 for existence).
PyObject* loopFsAccess(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
// _fs_chmod(path, mode, follow_symlinks), _fs_chown(path, uid, gid,
// follow_symlinks) (-1: unchanged), _fs_utime(path, atime_ns, mtime_ns,
// follow_symlinks) (None: unchanged) -> Future[None].
PyObject* loopFsChmod(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopFsChown(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopFsUtime(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
// Directory reads: _fs_opendir(path) -> Future[int] (a descriptor the
// caller owns and ends with _fs_closedir(fd) -> Future[None]);
// _fs_readdir(fd, decode, names_only) -> Future[list | None], one batch
// per call without "." and "..", None at the end: (name, d_type, inode)
// tuples or names alone; names as bytes, or str decoded as os decodes them.
PyObject* loopFsOpendir(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopFsReaddir(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;
PyObject* loopFsClosedir(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept;

}  // namespace ombrel
