// Operation translation of the io_uring backend: each native record becomes
// one submission entry (or, for net_open, net_bind, net_listen and
// pipe_create, one system call made at once), and each completion entry's
// result becomes the record's result or error.
//
// Each kind is one row of `ring_ops`: the function that fills its entry
// (named like liburing's io_uring_prep_* helpers) or makes its call, the
// function that stores its result, and, for path kinds, where its path
// copies live. submit and storeResult do the steps every kind shares.
//
// Memory the kernel reads or writes while an entry is in flight (message
// headers, statx and siginfo records, open_how, path copies) lives in the
// record's `internal`, which the caller keeps in place until the callback.
// Everything here runs on the loop thread.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>

#include "ev/backends/common.hpp"
#include "ev/backends/io_uring.hpp"
#include "ev/loop.hpp"
#include "ev/ops.hpp"
#include "os/assert.hpp"
#include "os/fs.hpp"
#include "os/log.hpp"
#include "os/net.hpp"
#include "os/process.hpp"
#include "os/uring.hpp"

namespace vorn::ev::backends {

namespace {

// openat2 resolve flags: the path may not leave its directory, and no
// /proc magic link may take it elsewhere.
constexpr std::uint64_t resolve_no_magiclinks = 0x02;
constexpr std::uint64_t resolve_beneath = 0x08;
constexpr std::uint64_t resolve_confined = resolve_beneath | resolve_no_magiclinks;

constexpr std::uint32_t statx_size_mask = STATX_SIZE;
// type, mode, nlink, atime, mtime, ctime, ino, size
constexpr std::uint32_t statx_stat_mask = 0x3e7;
static_assert(statx_stat_mask == (STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_ATIME | STATX_MTIME | STATX_CTIME |
                                  STATX_INO | STATX_SIZE));

// statx of the descriptor itself (AT_EMPTY_PATH) needs a valid empty string.
constexpr char empty_path[] = "";

std::uint64_t ptr(const void* p) noexcept { return reinterpret_cast<std::uintptr_t>(p); }

// The kernel takes at most UIO_MAXIOV iovecs; a count that does not fit the
// entry's 32-bit length must not wrap into a small valid one.
std::uint32_t iovCount(std::size_t n) noexcept {
  return n > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                       : static_cast<std::uint32_t>(n);
}

std::uint16_t errnoOf(std::int32_t result) noexcept { return static_cast<std::uint16_t>(-result); }

// Runs a libc-style call (-1 and errno on failure), retried while interrupted.
// Returns the call's value or -errno.
template <class Fn>
std::int32_t retryIntr(Fn&& fn) noexcept {
  for (;;) {
    long r = static_cast<long>(fn());
    if (r != -1) return static_cast<std::int32_t>(r);
    if (errno != EINTR) return -errno;
  }
}

// Finishes an operation inside submit (failed path copies, a kind the ring
// cannot run). markCompletedFromBackend may run the callback: nothing may
// touch c after it.
void finishNow(LoopState& state, Completion* c, Error err) noexcept {
  c->setOsError(err, 0);
  markCompletedFromBackend(state, c);
}

// --- Preparation: each fills a zeroed entry from its record ---------------------

// The fields every entry has; the rest stays as getSqe zeroed it.
void prepRw(io_uring_sqe* sqe, std::uint8_t opcode, int fd, std::uint64_t addr, std::uint32_t len, std::uint64_t off,
            Completion* c) noexcept {
  sqe->opcode = opcode;
  sqe->fd = fd;
  sqe->addr = addr;
  sqe->len = len;
  sqe->off = off;
  sqe->user_data = ptr(c);
}

void fillMsg(msghdr& msg, const void* name, socklen_t namelen, const iovec* iov, std::size_t iovlen,
             const void* control, std::size_t controllen) noexcept {
  msg = msghdr{};
  // The kernel only reads through the const pointers of a send.
  msg.msg_name = const_cast<void*>(name);
  msg.msg_namelen = namelen;
  msg.msg_iov = const_cast<iovec*>(iov);
  msg.msg_iovlen = iovlen;
  msg.msg_control = const_cast<void*>(control);
  msg.msg_controllen = controllen;
  msg.msg_flags = 0;
}

std::uint32_t sendFlagsToMsg(SendFlags flags) noexcept { return flags.no_signal ? std::uint32_t{MSG_NOSIGNAL} : 0u; }

std::uint32_t openFlagsToSock(OpenFlags flags) noexcept {
  return (flags.nonblocking ? std::uint32_t{SOCK_NONBLOCK} : 0u) | (flags.cloexec ? std::uint32_t{SOCK_CLOEXEC} : 0u);
}

// RECVMSG or SENDMSG of the one message header `msg` on `fd`.
void prepMsg(io_uring_sqe* sqe, std::uint8_t opcode, fd_t fd, const msghdr& msg, std::uint32_t flags,
             Completion* c) noexcept {
  prepRw(sqe, opcode, fd, ptr(&msg), 1, 0, c);
  sqe->msg_flags = flags;
}

// CONNECT handle to addr.
void prepNetConnect(io_uring_sqe* sqe, Completion* c) noexcept {
  auto* r = containerOf<NetConnect>(c);
  prepRw(sqe, IORING_OP_CONNECT, r->handle, ptr(r->addr), 0, r->addr_len, c);
}

// ACCEPT on handle, the peer's address into addr/addr_len.
void prepNetAccept(io_uring_sqe* sqe, Completion* c) noexcept {
  auto* r = containerOf<NetAccept>(c);
  prepRw(sqe, IORING_OP_ACCEPT, r->handle, ptr(r->addr), 0, ptr(r->addr_len), c);
  // The accepted socket gets the descriptor flags the caller asked for;
  // in particular close-on-exec, so it does not leak into child processes.
  sqe->accept_flags = openFlagsToSock(r->flags);
}

// RECVMSG into buffers: no name, no control.
void prepNetRecv(io_uring_sqe* sqe, Completion* c) noexcept {
  auto* r = containerOf<NetRecv>(c);
  fillMsg(r->internal.msg, nullptr, 0, r->buffers.iovecs.data(), r->buffers.iovecs.size(), nullptr, 0);
  prepMsg(sqe, IORING_OP_RECVMSG, r->handle, r->internal.msg, recvFlagsToMsg(r->flags), c);
}

// SENDMSG of buffer: no name, no control.
void prepNetSend(io_uring_sqe* sqe, Completion* c) noexcept {
  auto* r = containerOf<NetSend>(c);
  fillMsg(r->internal.msg, nullptr, 0, r->buffer.iovecs.data(), r->buffer.iovecs.size(), nullptr, 0);
  prepMsg(sqe, IORING_OP_SENDMSG, r->handle, r->internal.msg, sendFlagsToMsg(r->flags), c);
}

// RECVMSG into buffer, the sender's address into addr (room: *addr_len).
void prepNetRecvFrom(io_uring_sqe* sqe, Completion* c) noexcept {
  auto* r = containerOf<NetRecvFrom>(c);
  socklen_t namelen = r->addr_len != nullptr ? *r->addr_len : 0;
  fillMsg(r->internal.msg, r->addr, namelen, r->buffer.iovecs.data(), r->buffer.iovecs.size(), nullptr, 0);
  prepMsg(sqe, IORING_OP_RECVMSG, r->handle, r->internal.msg, recvFlagsToMsg(r->flags), c);
}

// SENDMSG of buffer to addr.
void prepNetSendTo(io_uring_sqe* sqe, Completion* c) noexcept {
  auto* r = containerOf<NetSendTo>(c);
  fillMsg(r->internal.msg, r->addr, r->addr_len, r->buffer.iovecs.data(), r->buffer.iovecs.size(), nullptr, 0);
  prepMsg(sqe, IORING_OP_SENDMSG, r->handle, r->internal.msg, sendFlagsToMsg(r->flags), c);
}

// RECVMSG into data with the sender's address and the control bytes.
void prepNetRecvMsg(io_uring_sqe* sqe, Completion* c) noexcept {
  auto* r = containerOf<NetRecvMsg>(c);
  socklen_t namelen = r->addr_len != nullptr ? *r->addr_len : 0;
  fillMsg(r->internal.msg, r->addr, namelen, r->data.iovecs.data(), r->data.iovecs.size(), r->control.data(),
          r->control.size());
  prepMsg(sqe, IORING_OP_RECVMSG, r->handle, r->internal.msg, recvFlagsToMsg(r->flags), c);
}

// SENDMSG of data with an address and control bytes.
void prepNetSendMsg(io_uring_sqe* sqe, Completion* c) noexcept {
  auto* r = containerOf<NetSendMsg>(c);
  fillMsg(r->internal.msg, r->addr, r->addr_len, r->data.iovecs.data(), r->data.iovecs.size(), r->control.data(),
          r->control.size());
  prepMsg(sqe, IORING_OP_SENDMSG, r->handle, r->internal.msg, sendFlagsToMsg(r->flags), c);
}

// POLL_ADD single-shot (len 0) on handle, for `events`.
void prepPoll(io_uring_sqe* sqe, fd_t fd, std::uint32_t events, Completion* c) noexcept {
  prepRw(sqe, IORING_OP_POLL_ADD, fd, 0, 0, 0, c);
  sqe->poll32_events = events;
}

// POLL_ADD for readable (recv) or writable (send).
void prepNetPoll(io_uring_sqe* sqe, Completion* c) noexcept {
  auto* r = containerOf<NetPoll>(c);
  prepPoll(sqe, r->handle, r->event == NetPoll::Event::recv ? POLLIN : POLLOUT, c);
}

// POLL_ADD for readable (read) or writable (write).
void prepPipePoll(io_uring_sqe* sqe, Completion* c) noexcept {
  auto* r = containerOf<PipePoll>(c);
  prepPoll(sqe, r->handle, r->event == PipePoll::Event::read ? POLLIN : POLLOUT, c);
}

// SHUTDOWN handle, how 0/1/2.
void prepNetShutdown(io_uring_sqe* sqe, Completion* c) noexcept {
  auto* r = containerOf<NetShutdown>(c);
  prepRw(sqe, IORING_OP_SHUTDOWN, r->handle, 0, static_cast<std::uint32_t>(r->how), 0, c);
}

// CLOSE handle (net_close, file_close, dir_close, pipe_close: all {c, handle}).
template <class Close>
void prepClose(io_uring_sqe* sqe, Completion* c) noexcept {
  prepRw(sqe, IORING_OP_CLOSE, containerOf<Close>(c)->handle, 0, 0, 0, c);
}

// READV or WRITEV of buffer at offset; a streaming record (no offset) at -1,
// the file position, which the call advances.
template <class Rw, std::uint8_t opcode>
void prepVectored(io_uring_sqe* sqe, Completion* c) noexcept {
  auto* r = containerOf<Rw>(c);
  std::uint64_t offset = ~std::uint64_t{0};
  if constexpr (requires(Rw& x) { x.offset; }) offset = r->offset;
  prepRw(sqe, opcode, r->handle, ptr(r->buffer.iovecs.data()), iovCount(r->buffer.iovecs.size()), offset, c);
}

// FSYNC handle, data only when asked.
void prepFileSync(io_uring_sqe* sqe, Completion* c) noexcept {
  auto* r = containerOf<FileSync>(c);
  prepRw(sqe, IORING_OP_FSYNC, r->handle, 0, 0, 0, c);
  sqe->fsync_flags = r->flags.only_data ? IORING_FSYNC_DATASYNC : 0u;
}

// FTRUNCATE handle to length.
void prepFileSetSize(io_uring_sqe* sqe, Completion* c) noexcept {
  auto* r = containerOf<FileSetSize>(c);
  prepRw(sqe, IORING_OP_FTRUNCATE, r->handle, 0, 0, r->length, c);
}

// STATX of handle itself, size only.
void prepFileSize(io_uring_sqe* sqe, Completion* c) noexcept {
  auto* r = containerOf<FileSize>(c);
  prepRw(sqe, IORING_OP_STATX, r->handle, ptr(empty_path), statx_size_mask, ptr(&r->internal.statx), c);
  sqe->statx_flags = AT_EMPTY_PATH;
}

// STATX of the path copy below handle, or of handle itself without a path.
void prepFileStat(io_uring_sqe* sqe, Completion* c) noexcept {
  auto* r = containerOf<FileStat>(c);
  const bool has_path = r->path.data() != nullptr;
  prepRw(sqe, IORING_OP_STATX, r->handle, ptr(has_path ? r->internal.path : empty_path), statx_stat_mask,
         ptr(&r->internal.statx), c);
  sqe->statx_flags = has_path ? (r->flags.follow_symlinks ? 0u : AT_SYMLINK_NOFOLLOW) : AT_EMPTY_PATH;
}

// OPENAT of the path copy below dir; OPENAT2 through `how` when the path
// must stay beneath dir (a caller asking for confinement must not silently
// get an open that may leave it).
void prepOpen(io_uring_sqe* sqe, fd_t dir, const char* path, std::uint32_t flags, std::uint32_t mode, bool beneath,
              OpenHow& how, Completion* c) noexcept {
  if (beneath) {
    how = OpenHow{flags, mode, resolve_confined};
    prepRw(sqe, IORING_OP_OPENAT2, dir, ptr(path), sizeof(OpenHow), ptr(&how), c);
  } else {
    prepRw(sqe, IORING_OP_OPENAT, dir, ptr(path), mode, 0, c);
    sqe->open_flags = flags;
  }
}

// Opens an existing file with the access mode and flags of the record.
void prepFileOpen(io_uring_sqe* sqe, Completion* c) noexcept {
  auto* r = containerOf<FileOpen>(c);
  const FileOpenFlags& f = r->flags;
  std::uint32_t flags = static_cast<std::uint32_t>(f.mode) | O_CLOEXEC;
  if (!f.follow_symlinks) flags |= O_NOFOLLOW;
  if (!f.allow_ctty) flags |= O_NOCTTY;
  if (f.path_only) flags |= O_PATH;
  if (f.nonblocking) flags |= O_NONBLOCK;
  if (f.direct) flags |= O_DIRECT;
  prepOpen(sqe, r->dir, r->internal.path, flags, 0, f.resolve_beneath, r->internal.how, c);
}

// Opens with O_CREAT and the record's permission bits.
void prepFileCreate(io_uring_sqe* sqe, Completion* c) noexcept {
  auto* r = containerOf<FileCreate>(c);
  const FileCreateFlags& f = r->flags;
  std::uint32_t flags = O_CLOEXEC | O_CREAT | (f.read ? O_RDWR : O_WRONLY);
  if (f.truncate) flags |= O_TRUNC;
  if (f.exclusive) flags |= O_EXCL;
  if (f.nonblocking) flags |= O_NONBLOCK;
  if (f.direct) flags |= O_DIRECT;
  prepOpen(sqe, r->dir, r->internal.path, flags, f.mode, f.resolve_beneath, r->internal.how, c);
}

// Opens a directory; only as a path when it will not be read.
void prepDirOpen(io_uring_sqe* sqe, Completion* c) noexcept {
  auto* r = containerOf<DirOpen>(c);
  const DirOpenFlags& f = r->flags;
  std::uint32_t flags = O_DIRECTORY | O_CLOEXEC;
  if (!f.follow_symlinks) flags |= O_NOFOLLOW;
  if (!f.iterate) flags |= O_PATH;
  prepOpen(sqe, r->dir, r->internal.path, flags, 0, f.resolve_beneath, r->internal.how, c);
}

// MKDIRAT of the path copy below dir with mode.
void prepDirCreateDir(io_uring_sqe* sqe, Completion* c) noexcept {
  auto* r = containerOf<DirCreateDir>(c);
  prepRw(sqe, IORING_OP_MKDIRAT, r->dir, ptr(r->internal.path), r->mode, 0, c);
}

// RENAMEAT of the old copy below old_dir to the new copy below new_dir.
template <class Rename, std::uint32_t flags>
void prepRename(io_uring_sqe* sqe, Completion* c) noexcept {
  auto* r = containerOf<Rename>(c);
  prepRw(sqe, IORING_OP_RENAMEAT, r->old_dir, ptr(r->internal.old_path), static_cast<std::uint32_t>(r->new_dir),
         ptr(r->internal.new_path), c);
  sqe->rename_flags = flags;
}

// UNLINKAT of the path copy below dir (a directory with AT_REMOVEDIR).
template <class Unlink, std::uint32_t flags>
void prepUnlink(io_uring_sqe* sqe, Completion* c) noexcept {
  auto* r = containerOf<Unlink>(c);
  prepRw(sqe, IORING_OP_UNLINKAT, r->dir, ptr(r->internal.path), 0, 0, c);
  sqe->unlink_flags = flags;
}

// WAITID for the exit of process handle, into the internal siginfo.
void prepProcessWait(io_uring_sqe* sqe, Completion* c) noexcept {
  auto* r = containerOf<ProcessWait>(c);
  prepRw(sqe, IORING_OP_WAITID, r->handle, 0, P_PID, ptr(&r->internal.siginfo), c);
  sqe->file_index = WEXITED;  // the options word of a waitid entry
}

// --- Immediate kinds: the call is made inside submit -----------------------------
// Each returns what a completion entry would carry: a value or -errno.

std::int32_t callNetOpen(Completion* c) noexcept {
  auto* r = containerOf<NetOpen>(c);
  return retryIntr([&] {
    return ::socket(static_cast<int>(r->domain), static_cast<int>(r->socket_type) | openFlagsToSock(r->flags),
                    static_cast<int>(r->protocol));
  });
}

std::int32_t callNetBind(Completion* c) noexcept {
  auto* r = containerOf<NetBind>(c);
  VORN_ASSERT(r->addr != nullptr && r->addr_len != nullptr);
  std::int32_t rc = retryIntr([&] { return ::bind(r->handle, r->addr, *r->addr_len); });
  if (rc < 0) return rc;
  // The bound address (the kernel's port for a port 0 bind) goes back to the
  // caller. Its failure is not one of bind's: stored here, the bind succeeded.
  rc = retryIntr([&] { return ::getsockname(r->handle, r->addr, r->addr_len); });
  if (rc < 0) c->setOsError(Error::Unexpected, -rc);
  return 0;
}

std::int32_t callNetListen(Completion* c) noexcept {
  auto* r = containerOf<NetListen>(c);
  return retryIntr([&] { return ::listen(r->handle, static_cast<int>(r->backlog)); });
}

std::int32_t callPipeCreate(Completion* c) noexcept {
  auto* r = containerOf<PipeCreate>(c);
  int fds[2];
  std::int32_t rc = retryIntr([&] { return ::pipe2(fds, O_CLOEXEC | O_NONBLOCK); });
  if (rc >= 0) r->result_private_do_not_touch = {fds[0], fds[1]};
  return rc;
}

// --- Results: each stores one entry's result into its record ---------------------
// A negative result is -errno; every failure keeps that number beside its code.

using Family = Error (*)(std::uint16_t) noexcept;

// `family` maps the number to a code; it may read the record's flags.
template <class Map>
void fail(Completion* c, std::int32_t result, Map family) noexcept {
  const std::uint16_t e = errnoOf(result);
  c->setOsError(family(e), e);
}

// The value (a count or a descriptor) into the result slot.
template <class Record, Family family>
void storeValue(Completion* c, std::int32_t result) noexcept {
  if (result < 0) return fail(c, result, family);
  auto* r = containerOf<Record>(c);
  r->result_private_do_not_touch = static_cast<decltype(r->result_private_do_not_touch)>(result);
}

// No value: only a failure is kept.
template <Family family>
void storeStatus(Completion* c, std::int32_t result) noexcept {
  if (result < 0) fail(c, result, family);
}

// net_send and net_recv also keep the kernel's number for the transport.
template <class Record, Family family>
void storeStreamCount(Completion* c, std::int32_t result) noexcept {
  auto* r = containerOf<Record>(c);
  if (result < 0) r->internal.os_errno = errnoOf(result);
  storeValue<Record, family>(c, result);
}

void storeNetRecvFrom(Completion* c, std::int32_t result) noexcept {
  auto* r = containerOf<NetRecvFrom>(c);
  if (result < 0) return fail(c, result, os::errnoToRecvError);
  r->result_private_do_not_touch = static_cast<std::size_t>(result);
  if (r->addr_len != nullptr) *r->addr_len = r->internal.msg.msg_namelen;
}

void storeNetRecvMsg(Completion* c, std::int32_t result) noexcept {
  auto* r = containerOf<NetRecvMsg>(c);
  if (result < 0) return fail(c, result, os::errnoToRecvError);
  r->result_private_do_not_touch = RecvMsgResult{static_cast<std::size_t>(result), r->internal.msg.msg_controllen,
                                                 static_cast<std::uint32_t>(r->internal.msg.msg_flags)};
  if (r->addr_len != nullptr) *r->addr_len = r->internal.msg.msg_namelen;
}

void storeNetClose(Completion* c, std::int32_t result) noexcept {
  // Once close(2) ran the descriptor is gone whatever it reported, so its
  // errors are not the caller's concern. A close cancelled before it
  // reached the kernel did not run: the descriptor is still open.
  if (result == -ECANCELED) c->setOsError(Error::Canceled, ECANCELED);
}

void storeFileSize(Completion* c, std::int32_t result) noexcept {
  auto* r = containerOf<FileSize>(c);
  if (result < 0) return fail(c, result, os::errnoToFileSizeError);
  r->result_private_do_not_touch = r->internal.statx.stx_size;
}

void storeFileStat(Completion* c, std::int32_t result) noexcept {
  auto* r = containerOf<FileStat>(c);
  if (result < 0) return fail(c, result, os::errnoToFileStatError);
  r->result_private_do_not_touch = statxToFileStat(r->internal.statx);
}

void storeFileOpen(Completion* c, std::int32_t result) noexcept {
  auto* r = containerOf<FileOpen>(c);
  auto family = [r](std::uint16_t e) noexcept {
    return os::errnoToFileOpenError(e, r->flags.follow_symlinks, r->flags.resolve_beneath);
  };
  if (result < 0) return fail(c, result, family);
  r->result_private_do_not_touch = FileOpenResult{result, false};
}

void storeFileCreate(Completion* c, std::int32_t result) noexcept {
  auto* r = containerOf<FileCreate>(c);
  auto family = [r](std::uint16_t e) noexcept { return os::errnoToFileOpenError(e, r->flags.resolve_beneath); };
  if (result < 0) return fail(c, result, family);
  r->result_private_do_not_touch = FileOpenResult{result, false};
}

void storeDirOpen(Completion* c, std::int32_t result) noexcept {
  auto* r = containerOf<DirOpen>(c);
  auto family = [r](std::uint16_t e) noexcept { return os::errnoToDirOpenError(e, r->flags.resolve_beneath); };
  if (result < 0) return fail(c, result, family);
  r->result_private_do_not_touch = result;
}

void storeDirRenamePreserve(Completion* c, std::int32_t result) noexcept {
  if (result == -EEXIST) return c->setOsError(Error::PathAlreadyExists, EEXIST);
  storeStatus<os::errnoToDirRenameError>(c, result);
}

void storeProcessWait(Completion* c, std::int32_t result) noexcept {
  auto* r = containerOf<ProcessWait>(c);
  if (result < 0) return fail(c, result, os::errnoToProcessWaitError);
  const siginfo_t& si = r->internal.siginfo;
  ProcessWait::ExitStatus status{};
  if (si.si_code == CLD_EXITED) status.code = static_cast<std::uint8_t>(si.si_status);
  if (si.si_code == CLD_KILLED || si.si_code == CLD_DUMPED) status.signal = static_cast<std::uint8_t>(si.si_status);
  r->result_private_do_not_touch = status;
}

// --- Path copies -------------------------------------------------------------------

// Where a path kind keeps the NUL-terminated copies its entry points at:
// from the first submit until storeResult.
struct PathSlot {
  char** copy;
  std::string_view path;
};
struct PathSlots {
  std::array<PathSlot, 2> slot;
  int count;
};

template <class Record>
PathSlots onePath(Completion* c) noexcept {
  auto* r = containerOf<Record>(c);
  return {{{{&r->internal.path, r->path}}}, 1};
}

// Renames: the old path first, then the new one.
template <class Record>
PathSlots twoPaths(Completion* c) noexcept {
  auto* r = containerOf<Record>(c);
  return {{{{&r->internal.old_path, r->old_path}, {&r->internal.new_path, r->new_path}}}, 2};
}

// file_stat of the descriptor itself (no path) has none.
PathSlots statPath(Completion* c) noexcept {
  auto* r = containerOf<FileStat>(c);
  if (r->path.data() == nullptr) return {{}, 0};
  return onePath<FileStat>(c);
}

// Copies every path of `slots`; on failure gives back the copies made and
// returns the error.
Error copyPaths(const Allocator& alloc, const PathSlots& slots) noexcept {
  for (int i = 0; i < slots.count; ++i) {
    const PathSlot& s = slots.slot[static_cast<std::size_t>(i)];
    VORN_ASSERT(*s.copy == nullptr);
    auto copy = copyPath(alloc, s.path);
    if (!copy) {
      for (int j = 0; j < i; ++j) {
        const PathSlot& made = slots.slot[static_cast<std::size_t>(j)];
        freePath(alloc, *made.copy, made.path);
      }
      return copy.error();
    }
    *s.copy = *copy;
  }
  return Error::none;
}

void freePaths(const Allocator& alloc, const PathSlots& slots) noexcept {
  for (int i = 0; i < slots.count; ++i) {
    const PathSlot& s = slots.slot[static_cast<std::size_t>(i)];
    freePath(alloc, *s.copy, s.path);
  }
}

// --- The table -----------------------------------------------------------------------

struct RingOp {
  Op op;
  void (*prep)(io_uring_sqe*, Completion*) noexcept;  // fills the kind's entry; null: no entry
  std::int32_t (*call)(Completion*) noexcept;         // an immediate kind's call; null: an entry kind
  void (*store)(Completion*, std::int32_t) noexcept;  // null: not a kind of the ring
  PathSlots (*paths)(Completion*) noexcept;           // null: no path copies
};

// One row per kind the ring performs, in any order; indexed by kind below.
// mach_port has no row: it has no meaning on Linux.
constexpr RingOp ring_op_rows[] = {
    // Immediate kinds.
    {Op::net_open, nullptr, callNetOpen, storeValue<NetOpen, os::errnoToNetOpenError>, nullptr},
    {Op::net_bind, nullptr, callNetBind, storeStatus<os::errnoToBindError>, nullptr},
    {Op::net_listen, nullptr, callNetListen, storeStatus<os::errnoToListenError>, nullptr},
    {Op::pipe_create, nullptr, callPipeCreate, storeStatus<os::errnoToPipeCreateError>, nullptr},
    // Sockets and pipes.
    {Op::net_connect, prepNetConnect, nullptr, storeStatus<os::errnoToConnectError>, nullptr},
    {Op::net_accept, prepNetAccept, nullptr, storeValue<NetAccept, os::errnoToAcceptError>, nullptr},
    {Op::net_recv, prepNetRecv, nullptr, storeStreamCount<NetRecv, os::errnoToRecvError>, nullptr},
    {Op::net_send, prepNetSend, nullptr, storeStreamCount<NetSend, os::errnoToSendError>, nullptr},
    {Op::net_recvfrom, prepNetRecvFrom, nullptr, storeNetRecvFrom, nullptr},
    {Op::net_sendto, prepNetSendTo, nullptr, storeValue<NetSendTo, os::errnoToSendError>, nullptr},
    {Op::net_recvmsg, prepNetRecvMsg, nullptr, storeNetRecvMsg, nullptr},
    {Op::net_sendmsg, prepNetSendMsg, nullptr, storeValue<NetSendMsg, os::errnoToSendError>, nullptr},
    {Op::net_poll, prepNetPoll, nullptr, storeStatus<os::errnoToRecvError>, nullptr},
    {Op::pipe_poll, prepPipePoll, nullptr, storeStatus<os::errnoToFileReadError>, nullptr},
    {Op::net_shutdown, prepNetShutdown, nullptr, storeStatus<os::errnoToShutdownError>, nullptr},
    {Op::net_close, prepClose<NetClose>, nullptr, storeNetClose, nullptr},
    {Op::pipe_close, prepClose<PipeClose>, nullptr, storeStatus<os::errnoToCloseError>, nullptr},
    // Files.
    {Op::file_open, prepFileOpen, nullptr, storeFileOpen, onePath<FileOpen>},
    {Op::file_create, prepFileCreate, nullptr, storeFileCreate, onePath<FileCreate>},
    {Op::file_close, prepClose<FileClose>, nullptr, storeStatus<os::errnoToCloseError>, nullptr},
    {Op::file_read, prepVectored<FileRead, IORING_OP_READV>, nullptr, storeValue<FileRead, os::errnoToFileReadError>,
     nullptr},
    {Op::file_write, prepVectored<FileWrite, IORING_OP_WRITEV>, nullptr,
     storeValue<FileWrite, os::errnoToFileWriteError>, nullptr},
    {Op::file_read_streaming, prepVectored<FileReadStreaming, IORING_OP_READV>, nullptr,
     storeValue<FileReadStreaming, os::errnoToFileReadError>, nullptr},
    {Op::file_write_streaming, prepVectored<FileWriteStreaming, IORING_OP_WRITEV>, nullptr,
     storeValue<FileWriteStreaming, os::errnoToFileWriteError>, nullptr},
    {Op::file_sync, prepFileSync, nullptr, storeStatus<os::errnoToFileSyncError>, nullptr},
    {Op::file_set_size, prepFileSetSize, nullptr, storeStatus<os::errnoToFileSetSizeError>, nullptr},
    {Op::file_size, prepFileSize, nullptr, storeFileSize, nullptr},
    {Op::file_stat, prepFileStat, nullptr, storeFileStat, statPath},
    // Directories.
    {Op::dir_open, prepDirOpen, nullptr, storeDirOpen, onePath<DirOpen>},
    {Op::dir_close, prepClose<DirClose>, nullptr, storeStatus<os::errnoToCloseError>, nullptr},
    {Op::dir_create_dir, prepDirCreateDir, nullptr, storeStatus<os::errnoToDirCreateDirError>, onePath<DirCreateDir>},
    {Op::dir_rename, prepRename<DirRename, 0>, nullptr, storeStatus<os::errnoToDirRenameError>, twoPaths<DirRename>},
    {Op::dir_rename_preserve, prepRename<DirRenamePreserve, RENAME_NOREPLACE>, nullptr, storeDirRenamePreserve,
     twoPaths<DirRenamePreserve>},
    {Op::dir_delete_file, prepUnlink<DirDeleteFile, 0>, nullptr, storeStatus<os::errnoToDirDeleteFileError>,
     onePath<DirDeleteFile>},
    {Op::dir_delete_dir, prepUnlink<DirDeleteDir, AT_REMOVEDIR>, nullptr, storeStatus<os::errnoToDirDeleteDirError>,
     onePath<DirDeleteDir>},
    // Processes.
    {Op::process_wait, prepProcessWait, nullptr, storeProcessWait, nullptr},
};

struct RingOpTable {
  std::array<RingOp, op_count> rows{};
  // Which kinds have a row. Kept beside the rows because a sanitizer build
  // does not let the compiler compare function addresses while it builds
  // the table.
  std::array<bool, op_count> has{};
  bool unique = true;  // no kind listed twice
};

constexpr RingOpTable ring_ops = [] {
  RingOpTable t;
  for (const RingOp& row : ring_op_rows) {
    auto i = static_cast<std::size_t>(row.op);
    if (t.has[i]) t.unique = false;
    t.rows[i] = row;
    t.has[i] = true;
  }
  return t;
}();
static_assert(ring_ops.unique, "a kind listed twice in ring_op_rows");

// The rows are exactly the kinds the capabilities route to the ring (the
// loop's own kinds and mach_port never reach it).
constexpr bool rowsMatchCapabilities() noexcept {
  for (int i = 0; i < op_count; ++i) {
    auto op = static_cast<Op>(i);
    if (op == Op::group || op == Op::timer || op == Op::async || op == Op::work || op == Op::mach_port) continue;
    if (ring_ops.has[static_cast<std::size_t>(i)] != backendPerforms(io_uring_capabilities_ftruncate, op)) {
      return false;
    }
  }
  return true;
}
static_assert(rowsMatchCapabilities(), "a kind the capabilities give the ring has no row, or the reverse");

const RingOp& ringOpOf(Op op) noexcept {
  static constexpr RingOp none{};
  auto i = static_cast<std::size_t>(op);
  return i < ring_ops.rows.size() ? ring_ops.rows[i] : none;
}

}  // namespace

std::uint32_t recvFlagsToMsg(RecvFlags flags) noexcept {
  std::uint32_t m = 0;
  if (flags.peek) m |= MSG_PEEK;
  if (flags.waitall) m |= MSG_WAITALL;
  if (flags.oob) m |= MSG_OOB;
  if (flags.trunc) m |= MSG_TRUNC;
  return m;
}

FileStatInfo statxToFileStat(const struct statx& stx) noexcept {
  auto ns = [](const statx_timestamp& t) noexcept {
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + static_cast<std::int64_t>(t.tv_nsec);
  };
  FileKind kind;
  switch (stx.stx_mode & S_IFMT) {
    case S_IFIFO: kind = FileKind::named_pipe; break;
    case S_IFCHR: kind = FileKind::character_device; break;
    case S_IFDIR: kind = FileKind::directory; break;
    case S_IFBLK: kind = FileKind::block_device; break;
    case S_IFREG: kind = FileKind::file; break;
    case S_IFLNK: kind = FileKind::sym_link; break;
    case S_IFSOCK: kind = FileKind::unix_domain_socket; break;
    default: kind = FileKind::unknown; break;
  }
  return FileStatInfo{
      .inode = stx.stx_ino,
      .nlink = stx.stx_nlink,
      .size = stx.stx_size,
      .atime = ns(stx.stx_atime),
      .mtime = ns(stx.stx_mtime),
      .ctime = ns(stx.stx_ctime),
      .mode = stx.stx_mode,
      .block_size = stx.stx_blksize,
      .kind = kind,
  };
}

void IoUring::submit(LoopState& state, Completion* c) noexcept {
  // A record coming back from `pending` is already running and counted, and
  // keeps the path copies made the first time.
  const bool first = c->isState(State::new_);
  if (first) {
    c->state = State::running;
    ++state.active;
  }
  const RingOp& op = ringOpOf(c->op);
  if (op.call != nullptr) {
    // markCompletedFromBackend may run the callback: nothing may touch c after it.
    storeResult(c, op.call(c));
    markCompletedFromBackend(state, c);
    return;
  }
  if (op.prep == nullptr) {
    // The loop's own kinds, the pooled ones and mach_port never come here;
    // if one did, it fails instead of reaching the kernel.
    VORN_ASSERT(c->op == Op::mach_port && "kind not handled by the ring");
    return finishNow(state, c, Error::OperationNotSupported);
  }
  if (first && op.paths != nullptr) {
    if (Error e = copyPaths(allocator, op.paths(c)); e != Error::none) return finishNow(state, c, e);
  }
  io_uring_sqe* sqe = getSqeOrDefer(c);
  if (sqe == nullptr) return;
  op.prep(sqe, c);
}

void IoUring::storeResult(Completion* c, std::int32_t result) noexcept {
  c->has_result = true;
  const RingOp& op = ringOpOf(c->op);
  // Freed whatever the result: the kernel is done with them.
  if (op.paths != nullptr) freePaths(allocator, op.paths(c));
  if (op.store != nullptr) return op.store(c, result);
  // Not a kind of the ring; keep a failure visible.
  if (result < 0) c->setOsError(result == -ECANCELED ? Error::Canceled : Error::Unexpected, errnoOf(result));
}

namespace {

void prepareCancel(io_uring_sqe* sqe, Completion* target) noexcept {
  // Matches the target by its user data (its address); the cancel's own
  // completion is a special entry the poll ignores.
  sqe->opcode = IORING_OP_ASYNC_CANCEL;
  sqe->fd = -1;
  sqe->addr = ptr(target);
  sqe->user_data = cancel_ud;
}

}  // namespace

void IoUring::cancel(Completion* target) noexcept {
  // Still waiting for a submission entry: drainPending finishes it as
  // cancelled without ever handing it to the kernel.
  if (target->prev != nullptr || target->next != nullptr || pending.head == target) return;
  io_uring_sqe* sqe = getSqe();
  if (sqe == nullptr) {
    // Even submitting what was queued made no room. Dropping the request
    // would leave an operation that may never end by itself (a receive
    // nobody writes to) running after its owner gave up on it: keep it for
    // the next poll, which does not wait while it is kept.
    log::logError("Failed to get io_uring SQE for cancel");
    cancel_backlog.push(target);
    return;
  }
  prepareCancel(sqe, target);
}

void IoUring::retryCancels() noexcept {
  while (!cancel_backlog.empty()) {
    io_uring_sqe* sqe = getSqe();
    if (sqe == nullptr) return;
    prepareCancel(sqe, cancel_backlog.pop());
  }
}

namespace {

// An operation blocked in a kernel worker is cancelled by interrupting the
// worker, which takes microseconds; the loop thread never waits longer than
// this for it.
constexpr std::int64_t sync_cancel_timeout_ns = 100'000'000;
// Entries of the ring's deferred task work run per enter are limited; the
// cancelled request's completion may wait behind others that many times.
constexpr int sync_cancel_rounds = 64;

bool queueHolds(const Queue& q, const Completion* c) noexcept {
  for (const Completion* m = q.head; m != nullptr; m = m->next) {
    if (m == c) return true;
  }
  return false;
}

// Turns the entries prepared for target that the kernel has not taken yet
// (its own, and cancel requests aimed at it) into no-ops whose completions
// poll ignores, so that none reaches the kernel after target is gone. True
// when its own entry was among them.
bool withdrawEntries(Ring& ring, const Completion* target) noexcept {
  bool own = false;
  // acquire: the kernel has finished reading the entries before its head;
  // those from it to sqe_tail are not its yet. flushSubmissions publishes
  // slot (i & sq_mask) at position i, so positions name slots.
  std::uint32_t head = ring.sq_khead->load(std::memory_order_acquire);
  for (std::uint32_t i = head; i != ring.sqe_tail; ++i) {
    io_uring_sqe* sqe = &ring.sqes[i & ring.sq_mask];
    bool mine = sqe->user_data == ptr(target);
    bool aimed = sqe->user_data == cancel_ud && sqe->opcode == IORING_OP_ASYNC_CANCEL && sqe->addr == ptr(target);
    if (!mine && !aimed) continue;
    own = own || mine;
    std::memset(sqe, 0, sizeof *sqe);
    sqe->opcode = IORING_OP_NOP;
    sqe->user_data = cancel_ud;
  }
  return own;
}

// The completion entry of target that the kernel has posted and no poll has
// harvested yet, or null.
io_uring_cqe* postedCqe(Ring& ring, const Completion* target) noexcept {
  std::uint32_t head = ring.cq_khead->load(std::memory_order_relaxed);  // only this thread writes it
  // acquire: the entries before the kernel's tail are fully written.
  std::uint32_t tail = ring.cq_ktail->load(std::memory_order_acquire);
  for (std::uint32_t i = head; i != tail; ++i) {
    io_uring_cqe* cqe = &ring.cqes[i & ring.cq_mask];
    if (cqe->user_data == ptr(target)) return cqe;
  }
  return nullptr;
}

}  // namespace

bool IoUring::cancelSync(LoopState& state, Completion* target) noexcept {
  auto finish = [&](std::int32_t result) noexcept {
    storeResult(target, result);
    markCompletedFromBackend(state, target);
    return true;
  };
  if (queueHolds(pending, target)) {
    pending.remove(target);
    return finish(-ECANCELED);
  }
  cancel_backlog.remove(target);  // the request below replaces a kept one
  if (withdrawEntries(ring, target)) return finish(-ECANCELED);
  if (!enabled) return false;  // nothing reached the kernel: not an operation of this ring

  io_uring_sync_cancel_reg reg{};
  reg.addr = ptr(target);
  reg.fd = -1;
  reg.timeout = __kernel_timespec{0, sync_cancel_timeout_ns};
  if (os::uringRegister(ring.fd, IORING_REGISTER_SYNC_CANCEL, &reg, 1) != Error::none) return false;
  // With deferred task running, the kernel finishes the cancelled request in
  // this thread's task work, run when the thread enters the ring: that posts
  // the completion entry and drops the request's file reference.
  for (int round = 0; round < sync_cancel_rounds; ++round) {
    if (io_uring_cqe* cqe = postedCqe(ring, target)) {
      std::int32_t result = cqe->res;
      cqe->user_data = cancel_ud;  // taken here: the next harvest skips it
      return finish(result == -EINTR ? -ECANCELED : result);
    }
    Error e = os::uringEnterFlush(ring.fd, IORING_ENTER_GETEVENTS);
    if (e != Error::none && e != Error::SignalInterrupt) break;
  }
  return false;
}

}  // namespace vorn::ev::backends
