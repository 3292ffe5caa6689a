#include "module/fs_ops.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>

#include "ev/ops.hpp"
#include "module/op_common.hpp"
#include "module/runtime.hpp"
#include "os/fd.hpp"

namespace ombrel {

using vorn::Error;
using vorn::ev::Completion;
using vorn::ev::Loop;
namespace ev = vorn::ev;

namespace {

enum class FsKind : unsigned char {
  stat,
  mkdir,
  unlink,
  rmdir,
  rename,
  symlink,
  link,
  readlink,
  access,
  chmod,
  chown,
  utime,
  opendir,
  readdir,
  closedir,
};

// Room for any link text (the kernel caps it below PATH_MAX) and for one
// directory batch (a couple of thousand entries of usual name length:
// each batch is one hand-off to the pool and back).
constexpr std::size_t readlink_buffer = PATH_MAX;
constexpr std::size_t readdir_buffer = 64 * 1024;

// How a batch is handed back: names as bytes or decoded as os decodes them
// (the file system encoding, surrogateescape), alone or with type and inode.
struct DirBatchShape {
  bool decode;
  bool names_only;
};

// One record for every path operation. The paths are the record's own
// NUL-terminated copies (the engine reads them at submission, after the
// method has returned and the caller's bytes may be gone); freed with it, as
// is `buf`, the output buffer of readlink and readdir.
struct FsOp {
  PyObject* fut;
  Runtime* rt;
  char* path;
  char* path2;
  char* buf;
  union U {
    ev::FileStat stat;
    ev::DirCreateDir mkdir;
    ev::DirDeleteFile unlink;
    ev::DirDeleteDir rmdir;
    ev::DirRename rename;
    ev::DirSymLink symlink;
    ev::DirHardLink link;
    ev::DirReadLink readlink;
    ev::DirAccess access;
    ev::DirSetFilePermissions chmod;
    ev::DirSetFileOwner chown;
    ev::DirSetFileTimestamps utime;
    ev::DirOpen opendir;
    ev::DirRead readdir;
    ev::DirClose closedir;
    U() {}
    ~U() {}
  } u;
  FsKind kind;
  DirBatchShape shape;  // readdir only
  LiveOp live;
};

// os.stat_result, looked up once (with the interpreter lock; never freed,
// like the module's other process-wide references). Its 19 fields on Linux:
// the 10 of the tuple, then the float and nanosecond times, blksize, blocks,
// rdev.
PyTypeObject* stat_result_type = nullptr;
constexpr Py_ssize_t stat_result_fields = 19;

bool statResultTypeReady() noexcept {
  if (stat_result_type != nullptr) return true;
  PyObject* os = PyImport_ImportModule("os");
  PyObject* type = os != nullptr ? PyObject_GetAttrString(os, "stat_result") : nullptr;
  Py_XDECREF(os);
  if (type == nullptr) return false;
  PyObject* n = PyObject_GetAttrString(type, "n_fields");
  long fields = n != nullptr ? PyLong_AsLong(n) : -1;
  Py_XDECREF(n);
  if (fields != stat_result_fields || !PyType_Check(type)) {
    Py_DECREF(type);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "os.stat_result has an unexpected layout");
    return false;
  }
  stat_result_type = reinterpret_cast<PyTypeObject*>(type);
  return true;
}

// Each value made as os.stat makes it, so the two compare equal field by
// field (the float times too: seconds + nanoseconds * 1e-9).
PyObject* statResult(const struct statx& s) noexcept {
  PyObject* r = PyStructSequence_New(stat_result_type);
  if (r == nullptr) return nullptr;
  auto dev = [](std::uint32_t major, std::uint32_t minor) noexcept {
    return PyLong_FromUnsignedLongLong(makedev(major, minor));
  };
  auto id = [](std::uint32_t v) noexcept { return v == UINT32_MAX ? PyLong_FromLong(-1) : PyLong_FromUnsignedLong(v); };
  const statx_timestamp* times[3] = {&s.stx_atime, &s.stx_mtime, &s.stx_ctime};
  PyObject* items[stat_result_fields] = {
      PyLong_FromUnsignedLong(s.stx_mode),
      PyLong_FromUnsignedLongLong(s.stx_ino),
      dev(s.stx_dev_major, s.stx_dev_minor),
      PyLong_FromUnsignedLong(s.stx_nlink),
      id(s.stx_uid),
      id(s.stx_gid),
      PyLong_FromUnsignedLongLong(s.stx_size),
  };
  for (int i = 0; i < 3; ++i) {
    const statx_timestamp& t = *times[i];
    items[7 + i] = PyLong_FromLongLong(t.tv_sec);
    items[10 + i] = PyFloat_FromDouble(static_cast<double>(t.tv_sec) + t.tv_nsec * 1e-9);
    items[13 + i] = PyLong_FromLongLong(t.tv_sec * 1'000'000'000LL + t.tv_nsec);
  }
  items[16] = PyLong_FromUnsignedLong(s.stx_blksize);
  items[17] = PyLong_FromUnsignedLongLong(s.stx_blocks);
  items[18] = dev(s.stx_rdev_major, s.stx_rdev_minor);
  bool ok = true;
  for (Py_ssize_t i = 0; i < stat_result_fields; ++i) {
    ok = ok && items[i] != nullptr;
    PyStructSequence_SetItem(r, i, items[i] != nullptr ? items[i] : Py_NewRef(Py_None));
  }
  if (!ok) Py_CLEAR(r);
  return r;
}

// Every record of the union ends without a destructor: the completion
// frees the storage only.
template <class... T>
constexpr bool all_trivially_destructible = (std::is_trivially_destructible_v<T> && ...);
static_assert(all_trivially_destructible<ev::FileStat, ev::DirCreateDir, ev::DirDeleteFile, ev::DirDeleteDir,
                                         ev::DirRename, ev::DirSymLink, ev::DirHardLink, ev::DirReadLink, ev::DirAccess,
                                         ev::DirSetFilePermissions, ev::DirSetFileOwner, ev::DirSetFileTimestamps,
                                         ev::DirOpen, ev::DirRead, ev::DirClose>);

// One batch of linux_dirent64 records as [(name, d_type, d_ino)] or
// [name], without "." and ".."; None for 0 bytes (the end of the
// directory). A batch may hold only those two, so an empty list does not
// mean the end.
PyObject* dirEntries(const char* buf, std::size_t len, DirBatchShape shape) noexcept {
  if (len == 0) return Py_NewRef(Py_None);
  PyObject* list = PyList_New(0);
  if (list == nullptr) return nullptr;
  std::size_t at = 0;
  // d_ino (8), d_off (8), d_reclen (2), d_type (1), then the NUL-ended name.
  constexpr std::size_t name_at = 19;
  while (at + name_at < len) {
    std::uint64_t ino;
    std::uint16_t reclen;
    std::memcpy(&ino, buf + at, sizeof ino);
    std::memcpy(&reclen, buf + at + 16, sizeof reclen);
    if (reclen <= name_at || at + reclen > len) break;
    auto type = static_cast<unsigned char>(buf[at + 18]);
    const char* name = buf + at + name_at;
    std::size_t n = strnlen(name, reclen - name_at);
    std::string_view sv(name, n);
    at += reclen;
    if (sv == "." || sv == "..") continue;
    auto size = static_cast<Py_ssize_t>(n);
    PyObject* item =
        shape.decode ? PyUnicode_DecodeFSDefaultAndSize(name, size) : PyBytes_FromStringAndSize(name, size);
    if (item != nullptr && !shape.names_only) {
      item = Py_BuildValue("(NBK)", item, type, static_cast<unsigned long long>(ino));  // N: the tuple takes item
    }
    if (item == nullptr || PyList_Append(list, item) < 0) {
      Py_XDECREF(item);
      Py_DECREF(list);
      return nullptr;
    }
    Py_DECREF(item);
  }
  return list;
}

void fsDone(Loop*, Completion* c) noexcept {
  auto* op = static_cast<FsOp*>(c->userdata);
  OpOutcome outcome;
  if (c->err != Error::none) {
    outcome = OpOutcome::failed(*c);
  } else if (op->kind == FsKind::stat) {
    // The statx record the kernel filled stays in the operation's own
    // storage; it has the fields os.stat reports that the engine's summary
    // leaves out (owner, device, blocks).
    outcome = okOrOom(statResult(op->u.stat.internal.statx));
  } else if (op->kind == FsKind::readlink) {
    outcome = okOrOom(PyBytes_FromStringAndSize(op->buf, static_cast<Py_ssize_t>(*op->u.readlink.getResult())));
  } else if (op->kind == FsKind::opendir) {
    ev::fd_t fd = *op->u.opendir.getResult();
    if (opAbandoned(op->fut)) {
      // Nobody will receive the descriptor (the future was cancelled, or
      // the loop closed): close it rather than leak it.
      vorn::os::closeOwned(fd);
      outcome = OpOutcome::ok();
    } else {
      outcome = okOrOom(PyLong_FromLong(fd));
    }
  } else if (op->kind == FsKind::readdir) {
    outcome = okOrOom(dirEntries(op->buf, *op->u.readdir.getResult(), op->shape));
  } else {
    outcome = OpOutcome::ok();
  }
  finishSockOp(op->fut, outcome);
  endOp(op->rt, &op->live, &op->fut);
  std::free(op->path);
  std::free(op->path2);
  std::free(op->buf);
  freeRecord(op);
}

char* copyPath(const char* p, Py_ssize_t n) noexcept {
  auto* out = static_cast<char*>(std::malloc(static_cast<std::size_t>(n) + 1));
  if (out == nullptr) return nullptr;
  std::memcpy(out, p, static_cast<std::size_t>(n));
  out[n] = '\0';
  return out;
}

// The common start: path copies (p or p2 null: no such path), the output
// buffer (buf_len 0: none), future, runtime, then `init` fills the engine
// record and gives its completion.
template <class Init>
PyObject* startFs(PyObject* self, FsKind kind, const char* p, Py_ssize_t n, const char* p2, Py_ssize_t n2, Init init,
                  std::size_t buf_len = 0) noexcept {
  auto* op = allocRecord<FsOp>();
  if (op == nullptr) return nullptr;
  op->kind = kind;
  op->path = p != nullptr ? copyPath(p, n) : nullptr;
  op->path2 = p2 != nullptr ? copyPath(p2, n2) : nullptr;
  op->buf = buf_len != 0 ? static_cast<char*>(std::malloc(buf_len)) : nullptr;
  auto undo = [op] {
    std::free(op->path);
    std::free(op->path2);
    std::free(op->buf);
    freeRecord(op);
  };
  if ((p != nullptr && op->path == nullptr) || (p2 != nullptr && op->path2 == nullptr) ||
      (buf_len != 0 && op->buf == nullptr)) {
    undo();
    return PyErr_NoMemory();
  }
  PyObject* fut = newSockFuture(self);
  Runtime* rt = fut != nullptr ? runtimeForOp(self, fut) : nullptr;
  if (rt == nullptr) {
    undo();
    return nullptr;
  }
  op->fut = Py_NewRef(fut);
  op->rt = rt;
  std::string_view sp(op->path != nullptr ? op->path : "", static_cast<std::size_t>(op->path != nullptr ? n : 0));
  std::string_view sp2(op->path2 != nullptr ? op->path2 : "", static_cast<std::size_t>(op->path2 != nullptr ? n2 : 0));
  Completion* c = init(op, sp, sp2);
  startOp(rt, &op->fut, &op->live, c, fsDone, op);
  return fut;
}

// A flag argument read as bool() reads it (its __bool__ may run Python
// code: convert before the runtime is read).
bool truthArg(const Args& a, Py_ssize_t i, bool* out) noexcept {
  PyObject* v = a.at(i);
  if (v == nullptr) return false;
  int truth = PyObject_IsTrue(v);
  if (truth < 0) return false;
  *out = truth == 1;
  return true;
}

// A user or group id as os takes it: -1 leaves it unchanged (null), else
// 0 .. 2**32 - 2 (2**32 - 1 is the kernel's own "unchanged").
bool idArg(const Args& a, Py_ssize_t i, std::optional<std::uint32_t>* out) noexcept {
  long long v;
  if (!longLongArg(a, i, &v)) return false;
  if (v < -1 || v >= static_cast<long long>(UINT32_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "id out of range");
    return false;
  }
  *out = v == -1 ? std::nullopt : std::optional<std::uint32_t>(static_cast<std::uint32_t>(v));
  return true;
}

// A time in nanoseconds, or None to leave it unchanged.
bool nsTimeArg(const Args& a, Py_ssize_t i, std::optional<ev::TimestampNs>* out) noexcept {
  PyObject* v = a.at(i);
  if (v == nullptr) return false;
  if (v == Py_None) {
    *out = std::nullopt;
    return true;
  }
  long long ns;
  if (!longLongArg(a, i, &ns)) return false;
  *out = ev::TimestampNs{ns};
  return true;
}

}  // namespace

// Each method converts its arguments first, then makes its future and reads
// the runtime (args.hpp).

PyObject* loopFsStat(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  Args args{items, nargs, "_fs_stat"};
  const char* p;
  Py_ssize_t n;
  if (!statResultTypeReady() || !pathBytesArg(args, 0, &p, &n)) return nullptr;
  PyObject* follow = args.at(1);
  if (follow == nullptr) return nullptr;
  int truth = PyObject_IsTrue(follow);
  if (truth < 0) return nullptr;
  // The engine reads an empty path as "the descriptor itself"; for a path
  // os answers ENOENT.
  if (n == 0) {
    errno = ENOENT;
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  return startFs(self, FsKind::stat, p, n, nullptr, 0, [truth](FsOp* op, std::string_view sp, std::string_view) {
    new (&op->u.stat) ev::FileStat;
    op->u.stat.init(AT_FDCWD, sp, ev::FileStatFlags{truth == 1});
    return &op->u.stat.c;
  });
}

PyObject* loopFsMkdir(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  Args args{items, nargs, "_fs_mkdir"};
  const char* p;
  Py_ssize_t n;
  long mode;
  if (!pathBytesArg(args, 0, &p, &n) || !longArg(args, 1, &mode)) return nullptr;
  return startFs(self, FsKind::mkdir, p, n, nullptr, 0, [mode](FsOp* op, std::string_view sp, std::string_view) {
    new (&op->u.mkdir) ev::DirCreateDir;
    op->u.mkdir.init(AT_FDCWD, sp, static_cast<std::uint32_t>(mode));
    return &op->u.mkdir.c;
  });
}

PyObject* loopFsUnlink(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  Args args{items, nargs, "_fs_unlink"};
  const char* p;
  Py_ssize_t n;
  if (!pathBytesArg(args, 0, &p, &n)) return nullptr;
  return startFs(self, FsKind::unlink, p, n, nullptr, 0, [](FsOp* op, std::string_view sp, std::string_view) {
    new (&op->u.unlink) ev::DirDeleteFile;
    op->u.unlink.init(AT_FDCWD, sp);
    return &op->u.unlink.c;
  });
}

PyObject* loopFsRmdir(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  Args args{items, nargs, "_fs_rmdir"};
  const char* p;
  Py_ssize_t n;
  if (!pathBytesArg(args, 0, &p, &n)) return nullptr;
  return startFs(self, FsKind::rmdir, p, n, nullptr, 0, [](FsOp* op, std::string_view sp, std::string_view) {
    new (&op->u.rmdir) ev::DirDeleteDir;
    op->u.rmdir.init(AT_FDCWD, sp);
    return &op->u.rmdir.c;
  });
}

PyObject* loopFsRename(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  Args args{items, nargs, "_fs_rename"};
  const char *p, *p2;
  Py_ssize_t n, n2;
  if (!pathBytesArg(args, 0, &p, &n) || !pathBytesArg(args, 1, &p2, &n2)) return nullptr;
  return startFs(self, FsKind::rename, p, n, p2, n2, [](FsOp* op, std::string_view sp, std::string_view sp2) {
    new (&op->u.rename) ev::DirRename;
    op->u.rename.init(AT_FDCWD, sp, AT_FDCWD, sp2);
    return &op->u.rename.c;
  });
}

PyObject* loopFsSymlink(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  Args args{items, nargs, "_fs_symlink"};
  const char *p, *p2;
  Py_ssize_t n, n2;
  if (!pathBytesArg(args, 0, &p, &n) || !pathBytesArg(args, 1, &p2, &n2)) return nullptr;
  return startFs(self, FsKind::symlink, p, n, p2, n2, [](FsOp* op, std::string_view target, std::string_view link) {
    new (&op->u.symlink) ev::DirSymLink;
    op->u.symlink.init(AT_FDCWD, target, link, ev::SymLinkFlags{false});
    return &op->u.symlink.c;
  });
}

PyObject* loopFsLink(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  Args args{items, nargs, "_fs_link"};
  const char *p, *p2;
  Py_ssize_t n, n2;
  bool follow;
  if (!pathBytesArg(args, 0, &p, &n) || !pathBytesArg(args, 1, &p2, &n2) || !truthArg(args, 2, &follow)) {
    return nullptr;
  }
  return startFs(self, FsKind::link, p, n, p2, n2, [follow](FsOp* op, std::string_view sp, std::string_view sp2) {
    new (&op->u.link) ev::DirHardLink;
    op->u.link.init(AT_FDCWD, sp, AT_FDCWD, sp2, ev::HardLinkFlags{follow});
    return &op->u.link.c;
  });
}

PyObject* loopFsReadlink(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  Args args{items, nargs, "_fs_readlink"};
  const char* p;
  Py_ssize_t n;
  if (!pathBytesArg(args, 0, &p, &n)) return nullptr;
  return startFs(
      self, FsKind::readlink, p, n, nullptr, 0,
      [](FsOp* op, std::string_view sp, std::string_view) {
        new (&op->u.readlink) ev::DirReadLink;
        op->u.readlink.init(AT_FDCWD, sp, std::span<char>(op->buf, readlink_buffer));
        return &op->u.readlink.c;
      },
      readlink_buffer);
}

PyObject* loopFsAccess(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  Args args{items, nargs, "_fs_access"};
  const char* p;
  Py_ssize_t n;
  long mode;
  bool follow;
  if (!pathBytesArg(args, 0, &p, &n) || !longArg(args, 1, &mode) || !truthArg(args, 2, &follow)) return nullptr;
  if (mode < 0 || mode > (R_OK | W_OK | X_OK)) {
    PyErr_SetString(PyExc_ValueError, "access mode must be a combination of R_OK, W_OK and X_OK");
    return nullptr;
  }
  ev::AccessFlags flags{(mode & R_OK) != 0, (mode & W_OK) != 0, (mode & X_OK) != 0, follow};
  return startFs(self, FsKind::access, p, n, nullptr, 0, [flags](FsOp* op, std::string_view sp, std::string_view) {
    new (&op->u.access) ev::DirAccess;
    op->u.access.init(AT_FDCWD, sp, flags);
    return &op->u.access.c;
  });
}

PyObject* loopFsChmod(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  Args args{items, nargs, "_fs_chmod"};
  const char* p;
  Py_ssize_t n;
  long mode;
  bool follow;
  if (!pathBytesArg(args, 0, &p, &n) || !longArg(args, 1, &mode) || !truthArg(args, 2, &follow)) return nullptr;
  if (mode < 0 || mode > 07777) {
    PyErr_SetString(PyExc_ValueError, "mode out of range");
    return nullptr;
  }
  return startFs(self, FsKind::chmod, p, n, nullptr, 0,
                 [mode, follow](FsOp* op, std::string_view sp, std::string_view) {
                   new (&op->u.chmod) ev::DirSetFilePermissions;
                   op->u.chmod.init(AT_FDCWD, sp, static_cast<std::uint32_t>(mode), ev::PathSetFlags{follow});
                   return &op->u.chmod.c;
                 });
}

PyObject* loopFsChown(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  Args args{items, nargs, "_fs_chown"};
  const char* p;
  Py_ssize_t n;
  std::optional<std::uint32_t> uid, gid;
  bool follow;
  if (!pathBytesArg(args, 0, &p, &n) || !idArg(args, 1, &uid) || !idArg(args, 2, &gid) || !truthArg(args, 3, &follow)) {
    return nullptr;
  }
  return startFs(self, FsKind::chown, p, n, nullptr, 0,
                 [uid, gid, follow](FsOp* op, std::string_view sp, std::string_view) {
                   new (&op->u.chown) ev::DirSetFileOwner;
                   op->u.chown.init(AT_FDCWD, sp, uid, gid, ev::PathSetFlags{follow});
                   return &op->u.chown.c;
                 });
}

PyObject* loopFsUtime(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  Args args{items, nargs, "_fs_utime"};
  const char* p;
  Py_ssize_t n;
  ev::FileTimestamps times;
  bool follow;
  if (!pathBytesArg(args, 0, &p, &n) || !nsTimeArg(args, 1, &times.atime) || !nsTimeArg(args, 2, &times.mtime) ||
      !truthArg(args, 3, &follow)) {
    return nullptr;
  }
  return startFs(self, FsKind::utime, p, n, nullptr, 0,
                 [times, follow](FsOp* op, std::string_view sp, std::string_view) {
                   new (&op->u.utime) ev::DirSetFileTimestamps;
                   op->u.utime.init(AT_FDCWD, sp, times, ev::PathSetFlags{follow});
                   return &op->u.utime.c;
                 });
}

PyObject* loopFsOpendir(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  Args args{items, nargs, "_fs_opendir"};
  const char* p;
  Py_ssize_t n;
  if (!pathBytesArg(args, 0, &p, &n)) return nullptr;
  if (n == 0) {  // the engine would open the working directory's own entry
    errno = ENOENT;
    return PyErr_SetFromErrno(PyExc_OSError);
  }
  return startFs(self, FsKind::opendir, p, n, nullptr, 0, [](FsOp* op, std::string_view sp, std::string_view) {
    new (&op->u.opendir) ev::DirOpen;
    op->u.opendir.init(AT_FDCWD, sp, ev::DirOpenFlags{true, true, false});
    return &op->u.opendir.c;
  });
}

PyObject* loopFsReaddir(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  Args args{items, nargs, "_fs_readdir"};
  std::int32_t fd;
  DirBatchShape shape;
  if (!fdArg(args, 0, &fd) || !truthArg(args, 1, &shape.decode) || !truthArg(args, 2, &shape.names_only)) {
    return nullptr;
  }
  return startFs(
      self, FsKind::readdir, nullptr, 0, nullptr, 0,
      [fd, shape](FsOp* op, std::string_view, std::string_view) {
        op->shape = shape;
        new (&op->u.readdir) ev::DirRead;
        op->u.readdir.init(fd, std::span<std::byte>(reinterpret_cast<std::byte*>(op->buf), readdir_buffer), false);
        return &op->u.readdir.c;
      },
      readdir_buffer);
}

PyObject* loopFsClosedir(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  std::int32_t fd;
  if (!fdArg(Args{items, nargs, "_fs_closedir"}, 0, &fd)) return nullptr;
  return startFs(self, FsKind::closedir, nullptr, 0, nullptr, 0, [fd](FsOp* op, std::string_view, std::string_view) {
    new (&op->u.closedir) ev::DirClose;
    op->u.closedir.init(fd);
    return &op->u.closedir.c;
  });
}

}  // namespace ombrel
