#include "module/fs_ops.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstring>
#include <new>
#include <string_view>

#include "ev/ops.hpp"
#include "module/op_common.hpp"
#include "module/runtime.hpp"

namespace ombrel {

using vorn::Error;
using vorn::ev::Completion;
using vorn::ev::Loop;
namespace ev = vorn::ev;

namespace {

enum class FsKind : unsigned char { stat, mkdir, unlink, rmdir, rename };

// One record for every path operation. The paths are the record's own
// NUL-terminated copies (the engine reads them at submission, after the
// method has returned and the caller's bytes may be gone); freed with it.
struct FsOp {
  PyObject* fut;
  Runtime* rt;
  char* path;
  char* path2;
  union U {
    ev::FileStat stat;
    ev::DirCreateDir mkdir;
    ev::DirDeleteFile unlink;
    ev::DirDeleteDir rmdir;
    ev::DirRename rename;
    U() {}
    ~U() {}
  } u;
  FsKind kind;
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
  } else {
    outcome = OpOutcome::ok();
  }
  finishSockOp(op->fut, outcome);
  endOp(op->rt, &op->live, &op->fut);
  std::free(op->path);
  std::free(op->path2);
  switch (op->kind) {
    case FsKind::stat: op->u.stat.~FileStat(); break;
    case FsKind::mkdir: op->u.mkdir.~DirCreateDir(); break;
    case FsKind::unlink: op->u.unlink.~DirDeleteFile(); break;
    case FsKind::rmdir: op->u.rmdir.~DirDeleteDir(); break;
    case FsKind::rename: op->u.rename.~DirRename(); break;
  }
  freeRecord(op);
}

char* copyPath(const char* p, Py_ssize_t n) noexcept {
  auto* out = static_cast<char*>(std::malloc(static_cast<std::size_t>(n) + 1));
  if (out == nullptr) return nullptr;
  std::memcpy(out, p, static_cast<std::size_t>(n));
  out[n] = '\0';
  return out;
}

// The common start: path copies, future, runtime, then `init` fills the
// engine record and gives its completion.
template <class Init>
PyObject* startFs(PyObject* self, FsKind kind, const char* p, Py_ssize_t n, const char* p2, Py_ssize_t n2,
                  Init init) noexcept {
  auto* op = allocRecord<FsOp>();
  if (op == nullptr) return nullptr;
  op->kind = kind;
  op->path = copyPath(p, n);
  op->path2 = p2 != nullptr ? copyPath(p2, n2) : nullptr;
  if (op->path == nullptr || (p2 != nullptr && op->path2 == nullptr)) {
    std::free(op->path);
    std::free(op->path2);
    freeRecord(op);
    return PyErr_NoMemory();
  }
  PyObject* fut = newSockFuture(self);
  Runtime* rt = fut != nullptr ? runtimeForOp(self, fut) : nullptr;
  if (rt == nullptr) {
    std::free(op->path);
    std::free(op->path2);
    freeRecord(op);
    return nullptr;
  }
  op->fut = Py_NewRef(fut);
  op->rt = rt;
  std::string_view sp(op->path, static_cast<std::size_t>(n));
  std::string_view sp2(op->path2 != nullptr ? op->path2 : "", static_cast<std::size_t>(n2));
  Completion* c = init(op, sp, sp2);
  startOp(rt, &op->fut, &op->live, c, fsDone, op);
  return fut;
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

}  // namespace ombrel
