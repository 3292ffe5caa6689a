#include "module/file_ops.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <new>

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

struct OpenOp {
  PyObject* fut;
  char* path;
  std::size_t path_len;
  union U {
    ev::FileOpen open;
    ev::FileCreate create;
    U() {}
    ~U() {}
  } u;
  bool create;
  Runtime* rt;
  LiveOp live;
};

struct CloseOp {
  ev::FileClose close;
  PyObject* fut;
  Runtime* rt;
  LiveOp live;
};

struct ReadOp {
  PyObject* fut;
  iovec iov;
  char* buf;
  std::size_t buf_len;
  union U {
    ev::FileRead pread;
    ev::FileReadStreaming read;
    U() {}
    ~U() {}
  } u;
  bool streaming;
  Runtime* rt;
  LiveOp live;
};

struct WriteOp {
  PyObject* fut;
  Runtime* rt;
  Py_buffer view;
  std::size_t written;
  std::uint64_t base_offset;
  iovec iov;
  union U {
    ev::FileWrite pwrite;
    ev::FileWriteStreaming write;
    U() {}
    ~U() {}
  } u;
  std::int32_t fd;
  bool streaming;
  // A write at the file position of a seekable file, carried out as
  // positional writes from the position it started at; the file position is
  // set after them. (A short write at the file position can leave the
  // position behind, and continuing there would write over the start.)
  bool at_position;
  LiveOp live;
};

struct SyncOp {
  ev::FileSync sync;
  PyObject* fut;
  Runtime* rt;
  LiveOp live;
};

struct SetSizeOp {
  ev::FileSetSize set;
  PyObject* fut;
  Runtime* rt;
  LiveOp live;
};

struct SizeOp {
  ev::FileSize size;
  PyObject* fut;
  Runtime* rt;
  LiveOp live;
};

// The done function of the one-shot operations; `value` makes the result.
template <class Op>
void oneShotDone(Completion* c, PyObject* (*value)(Op*)) noexcept {
  auto* op = static_cast<Op*>(c->userdata);
  OpOutcome outcome = c->err != Error::none ? OpOutcome::failed(*c)
                      : value == nullptr    ? OpOutcome::ok()
                                            : okOrOom(value(op));
  finishSockOp(op->fut, outcome);
  endOp(op->rt, &op->live, &op->fut);
  freeRecord(op);
}

void fileCloseDone(Loop*, Completion* c) noexcept { oneShotDone<CloseOp>(c, nullptr); }
void fileSyncDone(Loop*, Completion* c) noexcept { oneShotDone<SyncOp>(c, nullptr); }
void fileTruncateDone(Loop*, Completion* c) noexcept { oneShotDone<SetSizeOp>(c, nullptr); }
void fileSizeDone(Loop*, Completion* c) noexcept {
  oneShotDone<SizeOp>(
      c, [](SizeOp* op) -> PyObject* { return PyLong_FromUnsignedLongLong(op->size.result_private_do_not_touch); });
}

// The start of a one-shot operation: future, record, inputs, Loop::add.
template <class Op, class Init>
PyObject* startOneShot(PyObject* self, Completion* (*comp)(Op*), ev::Callback done, Init init) noexcept {
  PyObject* fut = newSockFuture(self);
  if (fut == nullptr) return nullptr;
  Runtime* rt = runtimeForOp(self, fut);
  if (rt == nullptr) return nullptr;
  auto* op = opRecord<Op>(rt, fut);
  if (op == nullptr) return nullptr;
  init(op);
  startOp(rt, &op->fut, &op->live, comp(op), done, op);
  return fut;
}

// --- open ---------------------------------------------------------------

void fileOpenDone(Loop*, Completion* c) noexcept {
  auto* op = static_cast<OpenOp*>(c->userdata);
  auto r = op->create ? op->u.create.getResult() : op->u.open.getResult();
  OpOutcome outcome;
  if (!r) {
    outcome = OpOutcome::failed(*c);
  } else if (opAbandoned(op->fut)) {
    // Nobody will receive the descriptor (the future was cancelled, or the
    // loop closed): close it rather than leak it.
    vorn::os::closeOwned(r->fd);
    outcome = OpOutcome::ok();
  } else {
    PyObject* fd = PyLong_FromLong(r->fd);
    PyObject* tuple = fd != nullptr ? PyTuple_Pack(2, fd, r->pollable ? Py_True : Py_False) : nullptr;
    Py_XDECREF(fd);
    outcome = okOrOom(tuple);
  }
  finishSockOp(op->fut, outcome);
  endOp(op->rt, &op->live, &op->fut);
  std::free(op->path);
  if (op->create) {
    op->u.create.~FileCreate();
  } else {
    op->u.open.~FileOpen();
  }
  freeRecord(op);
}

// --- reads --------------------------------------------------------------

void fileReadDone(Loop*, Completion* c) noexcept {
  auto* op = static_cast<ReadOp*>(c->userdata);
  auto r = op->streaming ? op->u.read.getResult() : op->u.pread.getResult();
  FileId from;
  bool noted = op->rt->kept.takeNote(c, &from);
  OpOutcome outcome;
  if (!r) {
    outcome = OpOutcome::failed(*c);
  } else if (!op->streaming) {
    outcome = okOrOom(PyBytes_FromStringAndSize(op->buf, static_cast<Py_ssize_t>(*r)));
  } else if (opAbandoned(op->fut)) {
    // The bytes have left the stream: the next streaming read on the
    // descriptor takes them first.
    op->rt->kept.keepBytes(op->u.read.handle, op->buf, *r, false, noted ? &from : nullptr);
    outcome = OpOutcome::ok();
  } else {
    outcome = okOrOom(op->rt->kept.deliver(op->u.read.handle, op->buf, *r, op->buf_len));
  }
  finishSockOp(op->fut, outcome);
  endOp(op->rt, &op->live, &op->fut);
  std::free(op->buf);
  if (op->streaming) {
    op->u.read.~FileReadStreaming();
  } else {
    op->u.pread.~FileRead();
  }
  freeRecord(op);
}

PyObject* startRead(PyObject* self, std::int32_t fd, Py_ssize_t size, bool streaming, std::uint64_t offset) noexcept {
  PyObject* fut = newSockFuture(self);
  if (fut == nullptr) return nullptr;
  Runtime* rt = runtimeForOp(self, fut);
  if (rt == nullptr) return nullptr;
  if (size == 0) return resolvedNow(fut, PyBytes_FromStringAndSize(nullptr, 0));
  if (streaming && answeredFromKept(rt, fd, static_cast<std::size_t>(size), &fut)) return fut;
  char* buf;
  auto* op = allocReadRecord<ReadOp>(static_cast<std::size_t>(size), &buf, fut);
  if (op == nullptr) return nullptr;
  op->fut = Py_NewRef(fut);
  op->rt = rt;
  op->buf = buf;
  op->buf_len = static_cast<std::size_t>(size);
  op->iov = iovec{buf, op->buf_len};
  op->streaming = streaming;
  ev::ReadBuf rb{std::span<iovec>(&op->iov, 1)};
  Completion* c;
  if (streaming) {
    new (&op->u.read) ev::FileReadStreaming;
    op->u.read.init(fd, rb);
    c = &op->u.read.c;
  } else {
    new (&op->u.pread) ev::FileRead;
    op->u.pread.init(fd, rb, offset);
    c = &op->u.pread.c;
  }
  startOp(rt, &op->fut, &op->live, c, fileReadDone, op);
  return fut;
}

// --- writes -------------------------------------------------------------

void fileWriteDone(Loop*, Completion* c) noexcept;

void writeArm(WriteOp* op) noexcept {
  op->iov = iovec{static_cast<char*>(op->view.buf) + op->written, static_cast<std::size_t>(op->view.len) - op->written};
  ev::WriteBuf wb{std::span<const iovec>(&op->iov, 1)};
  Completion* c;
  if (op->streaming) {
    op->u.write.init(op->fd, wb);
    c = &op->u.write.c;
  } else {
    op->u.pwrite.init(op->fd, wb, op->base_offset + op->written);
    c = &op->u.pwrite.c;
  }
  c->callback = fileWriteDone;
  c->userdata = op;
  sockExtra(op->fut)->comp = c;
  op->rt->loop.add(c);
}

void fileWriteFinish(WriteOp* op) noexcept {
  if (op->at_position) ::lseek(op->fd, static_cast<off_t>(op->base_offset + op->written), SEEK_SET);
  endOp(op->rt, &op->live, &op->fut);
  PyBuffer_Release(&op->view);
  if (op->streaming) {
    op->u.write.~FileWriteStreaming();
  } else {
    op->u.pwrite.~FileWrite();
  }
  freeRecord(op);
}

void fileWriteDone(Loop*, Completion* c) noexcept {
  auto* op = static_cast<WriteOp*>(c->userdata);
  auto r = op->streaming ? op->u.write.getResult() : op->u.pwrite.getResult();
  OpOutcome outcome;
  if (opAbandoned(op->fut)) {
    outcome = OpOutcome::ok();  // reaped as cancelled; no further write
  } else if (!r) {
    outcome = OpOutcome::failed(*c);
  } else {
    op->written += *r;
    if (*r > 0 && op->written < static_cast<std::size_t>(op->view.len)) {
      writeArm(op);
      outcome = OpOutcome::pending();
    } else {
      outcome = okOrOom(PyLong_FromSize_t(op->written));
    }
  }
  if (finishSockOp(op->fut, outcome)) fileWriteFinish(op);
}

// `view` is the caller's data, pinned by the method (used in place, never
// copied); it is released here, or by the record that takes it over.
PyObject* startWrite(PyObject* self, std::int32_t fd, Py_buffer* view, bool streaming, std::uint64_t offset) noexcept {
  PyObject* fut = newSockFuture(self);
  Runtime* rt = fut != nullptr ? runtimeForOp(self, fut) : nullptr;
  auto* op = rt != nullptr ? allocRecord<WriteOp>() : nullptr;
  if (op == nullptr) {
    if (rt != nullptr) Py_DECREF(fut);  // else dropped already, or never made
    PyBuffer_Release(view);
    return nullptr;
  }
  op->view = *view;  // the record owns the pin from here on
  op->fut = Py_NewRef(fut);
  op->rt = rt;
  op->fd = fd;
  op->written = 0;
  op->base_offset = offset;
  op->streaming = streaming;
  op->at_position = false;
  if (streaming) {
    // Seekable and not in append mode (where the kernel must pick the end):
    // write positionally from the current position.
    off_t pos = ::lseek(fd, 0, SEEK_CUR);
    int fl = pos >= 0 ? ::fcntl(fd, F_GETFL) : -1;
    if (pos >= 0 && fl >= 0 && (fl & O_APPEND) == 0) {
      op->streaming = false;
      op->at_position = true;
      op->base_offset = static_cast<std::uint64_t>(pos);
    }
  }
  if (op->view.len == 0) {
    PyObject* zero = PyLong_FromLong(0);
    if (zero != nullptr) {
      futureSetResult(fut, zero);
      Py_DECREF(zero);
    } else {
      PyErr_Clear();
      futureSetError(fut, Error::OutOfMemory, ENOMEM);
    }
    Py_CLEAR(op->fut);
    PyBuffer_Release(&op->view);
    freeRecord(op);
    return fut;
  }
  if (op->streaming) {
    new (&op->u.write) ev::FileWriteStreaming;
  } else {
    new (&op->u.pwrite) ev::FileWrite;
  }
  rt->liveOpLink(&op->live, &op->fut);
  writeArm(op);
  return fut;
}

}  // namespace

// Each method converts its arguments first, makes its future, and only then
// reads the runtime (args.hpp): both steps run Python code that may close
// the loop.

PyObject* loopFileOpen(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  Args args{items, nargs, "_file_open"};
  const char* path;
  Py_ssize_t path_len;
  long flags, mode;
  if (!utf8Arg(args, 0, &path, &path_len) || !longArg(args, 1, &flags) || !longArg(args, 2, &mode)) return nullptr;

  auto* op = allocRecord<OpenOp>();
  if (op == nullptr) return nullptr;
  // Copied before anything else runs: the record outlives the call.
  op->path = static_cast<char*>(std::malloc(static_cast<std::size_t>(path_len) + 1));
  if (op->path == nullptr) {
    freeRecord(op);
    return PyErr_NoMemory();
  }
  std::memcpy(op->path, path, static_cast<std::size_t>(path_len));
  op->path_len = static_cast<std::size_t>(path_len);
  PyObject* fut = newSockFuture(self);
  Runtime* rt = fut != nullptr ? runtimeForOp(self, fut) : nullptr;
  if (rt == nullptr) {
    std::free(op->path);
    freeRecord(op);
    return nullptr;
  }
  op->fut = Py_NewRef(fut);
  op->rt = rt;
  op->create = (flags & FileOpenBits::create) != 0;
  std::string_view p(op->path, op->path_len);
  Completion* c;
  if (op->create) {
    new (&op->u.create) ev::FileCreate;
    ev::FileCreateFlags f{};
    f.mode = static_cast<std::uint32_t>(mode);
    f.read = (flags & FileOpenBits::read) != 0;
    f.truncate = (flags & FileOpenBits::truncate) != 0;
    f.exclusive = (flags & FileOpenBits::exclusive) != 0;
    op->u.create.init(AT_FDCWD, p, f);
    c = &op->u.create.c;
  } else {
    new (&op->u.open) ev::FileOpen;
    ev::FileOpenFlags f{};
    bool rd = (flags & FileOpenBits::read) != 0, wr = (flags & FileOpenBits::write) != 0;
    f.mode = wr && rd ? ev::FileOpenMode::read_write : wr ? ev::FileOpenMode::write_only : ev::FileOpenMode::read_only;
    f.allow_directory = true;
    f.follow_symlinks = true;
    op->u.open.init(AT_FDCWD, p, f);
    c = &op->u.open.c;
  }
  startOp(rt, &op->fut, &op->live, c, fileOpenDone, op);
  return fut;
}

PyObject* loopFileClose(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  std::int32_t fd;
  if (!fdArg(Args{items, nargs, "_file_close"}, 0, &fd)) return nullptr;
  return startOneShot<CloseOp>(
      self, [](CloseOp* op) { return &op->close.c; }, fileCloseDone,
      [fd](CloseOp* op) {
        op->rt->kept.drop(fd);  // closed through the loop: what was kept for it goes too
        op->close.init(fd);
      });
}

PyObject* loopFilePread(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  Args args{items, nargs, "_file_pread"};
  std::int32_t fd;
  Py_ssize_t size;
  std::uint64_t offset;
  if (!fdArg(args, 0, &fd) || !sizeArg(args, 1, &size) || !offsetArg(args, 2, &offset)) return nullptr;
  return startRead(self, fd, size, false, offset);
}

PyObject* loopFileRead(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  Args args{items, nargs, "_file_read"};
  std::int32_t fd;
  Py_ssize_t size;
  if (!fdArg(args, 0, &fd) || !sizeArg(args, 1, &size)) return nullptr;
  return startRead(self, fd, size, true, 0);
}

PyObject* loopFilePwrite(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  Args args{items, nargs, "_file_pwrite"};
  std::int32_t fd;
  std::uint64_t offset;
  // The offset is checked before the data is pinned: no pin to undo.
  if (!fdArg(args, 0, &fd) || args.at(1) == nullptr || !offsetArg(args, 2, &offset)) return nullptr;
  Py_buffer view;
  if (!bufferArg(args, 1, &view)) return nullptr;
  return startWrite(self, fd, &view, false, offset);
}

PyObject* loopFileWrite(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  Args args{items, nargs, "_file_write"};
  std::int32_t fd;
  Py_buffer view;
  if (!fdArg(args, 0, &fd) || !bufferArg(args, 1, &view)) return nullptr;
  return startWrite(self, fd, &view, true, 0);
}

PyObject* loopFileFsync(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  Args args{items, nargs, "_file_fsync"};
  std::int32_t fd;
  if (!fdArg(args, 0, &fd)) return nullptr;
  PyObject* ds = args.at(1);
  if (ds == nullptr) return nullptr;
  int truth = PyObject_IsTrue(ds);
  if (truth < 0) return nullptr;
  return startOneShot<SyncOp>(
      self, [](SyncOp* op) { return &op->sync.c; }, fileSyncDone,
      [fd, truth](SyncOp* op) { op->sync.init(fd, ev::FileSyncFlags{truth == 1}); });
}

PyObject* loopFileTruncate(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  Args args{items, nargs, "_file_truncate"};
  std::int32_t fd;
  std::uint64_t size;
  if (!fdArg(args, 0, &fd) || !offsetArg(args, 1, &size)) return nullptr;
  return startOneShot<SetSizeOp>(
      self, [](SetSizeOp* op) { return &op->set.c; }, fileTruncateDone,
      [fd, size](SetSizeOp* op) { op->set.init(fd, size); });
}

PyObject* loopFileSize(PyObject* self, PyObject* const* items, Py_ssize_t nargs) noexcept {
  if (!loopOpenForCall(self)) return nullptr;
  std::int32_t fd;
  if (!fdArg(Args{items, nargs, "_file_size"}, 0, &fd)) return nullptr;
  return startOneShot<SizeOp>(
      self, [](SizeOp* op) { return &op->size.c; }, fileSizeDone, [fd](SizeOp* op) { op->size.init(fd); });
}

}  // namespace ombrel
