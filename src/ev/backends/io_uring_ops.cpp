// Operation translation of the io_uring backend: each native record becomes
// one submission entry (or, for net_open, net_bind, net_listen and
// pipe_create, one system call made at once), and each completion entry's
// result becomes the record's result or error.
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

// Fills the fields every entry has. The rest was zeroed by getSqe.
void prep(io_uring_sqe* sqe, std::uint8_t opcode, int fd, std::uint64_t addr, std::uint32_t len, std::uint64_t off,
          Completion* c) noexcept {
  sqe->opcode = opcode;
  sqe->fd = fd;
  sqe->addr = addr;
  sqe->len = len;
  sqe->off = off;
  sqe->user_data = ptr(c);
}

// Finishes an operation inside submit (immediate kinds, failed path copies).
// markCompletedFromBackend may run the callback: nothing may touch c after it.
// `errnum`: the number `err` was mapped from (0: none).
void finishNow(LoopState& state, Completion* c, Error err, int errnum = 0) noexcept {
  if (err != Error::none) c->setOsError(err, errnum);
  c->has_result = true;
  markCompletedFromBackend(state, c);
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

// The error families of the calls and results this file owns.
Error netOpenError(int e) noexcept { return os::errnoToNetOpenError(static_cast<std::uint16_t>(e)); }
Error netBindError(int e) noexcept { return os::errnoToBindError(static_cast<std::uint16_t>(e)); }
Error netListenError(int e) noexcept { return os::errnoToListenError(static_cast<std::uint16_t>(e)); }
Error pipeCreateError(int e) noexcept { return os::errnoToPipeCreateError(static_cast<std::uint16_t>(e)); }
Error closeError(int e) noexcept { return os::errnoToCloseError(static_cast<std::uint16_t>(e)); }
Error fileSizeError(int e) noexcept { return os::errnoToFileSizeError(static_cast<std::uint16_t>(e)); }
Error processWaitError(int e) noexcept { return os::errnoToProcessWaitError(static_cast<std::uint16_t>(e)); }

// Runs a libc-style call (-1 and errno on failure), retried while interrupted.
// Returns the call's value or -errno.
template <class Fn>
long retryIntr(Fn&& fn) noexcept {
  for (;;) {
    long r = static_cast<long>(fn());
    if (r != -1) return r;
    if (errno != EINTR) return -errno;
  }
}

std::uint16_t errnoOf(std::int32_t result) noexcept { return static_cast<std::uint16_t>(-result); }

// The first submission of a path kind copies its path into `slot`. A failed
// copy finishes the operation at once (false): nothing may touch c then.
bool copyPathFor(IoUring& ring, LoopState& state, Completion* c, char*& slot, std::string_view path) noexcept {
  VORN_ASSERT(slot == nullptr);
  auto copy = copyPath(ring.allocator, path);
  if (!copy) {
    finishNow(state, c, copy.error());
    return false;
  }
  slot = *copy;
  return true;
}

// dir_rename and dir_rename_preserve: the old path is copied first; when the
// new one cannot be copied the first copy is given back.
template <class Rename>
void submitRename(IoUring& ring, LoopState& state, Completion* c, Rename* r, bool first, std::uint32_t flags) noexcept {
  if (first) {
    VORN_ASSERT(r->internal.old_path == nullptr && r->internal.new_path == nullptr);
    auto old_copy = copyPath(ring.allocator, r->old_path);
    if (!old_copy) return finishNow(state, c, old_copy.error());
    auto new_copy = copyPath(ring.allocator, r->new_path);
    if (!new_copy) {
      freePath(ring.allocator, *old_copy, r->old_path);
      return finishNow(state, c, new_copy.error());
    }
    r->internal.old_path = *old_copy;
    r->internal.new_path = *new_copy;
  }
  io_uring_sqe* sqe = ring.getSqeOrDefer(c);
  if (sqe == nullptr) return;
  prep(sqe, IORING_OP_RENAMEAT, r->old_dir, ptr(r->internal.old_path), static_cast<std::uint32_t>(r->new_dir),
       ptr(r->internal.new_path), c);
  sqe->rename_flags = flags;
}

// dir_delete_file and dir_delete_dir.
template <class Unlink>
void submitUnlink(IoUring& ring, LoopState& state, Completion* c, Unlink* r, bool first, std::uint32_t flags) noexcept {
  if (first && !copyPathFor(ring, state, c, r->internal.path, r->path)) return;
  io_uring_sqe* sqe = ring.getSqeOrDefer(c);
  if (sqe == nullptr) return;
  prep(sqe, IORING_OP_UNLINKAT, r->dir, ptr(r->internal.path), 0, 0, c);
  sqe->unlink_flags = flags;
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

  switch (c->op) {
    // --- Immediate kinds: no entry, the call is made now. ---
    case Op::net_open: {
      auto* r = containerOf<NetOpen>(c);
      long fd = retryIntr([&] {
        return ::socket(static_cast<int>(r->domain), static_cast<int>(r->socket_type) | openFlagsToSock(r->flags),
                        static_cast<int>(r->protocol));
      });
      if (fd < 0) return finishNow(state, c, netOpenError(static_cast<int>(-fd)), static_cast<int>(-fd));
      r->result_private_do_not_touch = static_cast<fd_t>(fd);
      return finishNow(state, c, Error::none);
    }
    case Op::net_bind: {
      auto* r = containerOf<NetBind>(c);
      VORN_ASSERT(r->addr != nullptr && r->addr_len != nullptr);
      long rc = retryIntr([&] { return ::bind(r->handle, r->addr, *r->addr_len); });
      if (rc < 0) return finishNow(state, c, netBindError(static_cast<int>(-rc)), static_cast<int>(-rc));
      // The bound address (the kernel's port for a port 0 bind) goes back to the caller.
      rc = retryIntr([&] { return ::getsockname(r->handle, r->addr, r->addr_len); });
      return finishNow(state, c, rc < 0 ? Error::Unexpected : Error::none, static_cast<int>(-rc));
    }
    case Op::net_listen: {
      auto* r = containerOf<NetListen>(c);
      long rc = retryIntr([&] { return ::listen(r->handle, static_cast<int>(r->backlog)); });
      return finishNow(state, c, rc < 0 ? netListenError(static_cast<int>(-rc)) : Error::none, static_cast<int>(-rc));
    }
    case Op::pipe_create: {
      auto* r = containerOf<PipeCreate>(c);
      int fds[2];
      long rc = retryIntr([&] { return ::pipe2(fds, O_CLOEXEC | O_NONBLOCK); });
      if (rc < 0) return finishNow(state, c, pipeCreateError(static_cast<int>(-rc)), static_cast<int>(-rc));
      r->result_private_do_not_touch = {fds[0], fds[1]};
      return finishNow(state, c, Error::none);
    }

    // --- Sockets. ---
    case Op::net_connect: {
      auto* r = containerOf<NetConnect>(c);
      io_uring_sqe* sqe = getSqeOrDefer(c);
      if (sqe == nullptr) return;
      prep(sqe, IORING_OP_CONNECT, r->handle, ptr(r->addr), 0, r->addr_len, c);
      return;
    }
    case Op::net_accept: {
      auto* r = containerOf<NetAccept>(c);
      io_uring_sqe* sqe = getSqeOrDefer(c);
      if (sqe == nullptr) return;
      prep(sqe, IORING_OP_ACCEPT, r->handle, ptr(r->addr), 0, ptr(r->addr_len), c);
      // The accepted socket gets the descriptor flags the caller asked for;
      // in particular close-on-exec, so it does not leak into child processes.
      sqe->accept_flags = openFlagsToSock(r->flags);
      return;
    }
    case Op::net_recv: {
      auto* r = containerOf<NetRecv>(c);
      fillMsg(r->internal.msg, nullptr, 0, r->buffers.iovecs.data(), r->buffers.iovecs.size(), nullptr, 0);
      io_uring_sqe* sqe = getSqeOrDefer(c);
      if (sqe == nullptr) return;
      prep(sqe, IORING_OP_RECVMSG, r->handle, ptr(&r->internal.msg), 1, 0, c);
      sqe->msg_flags = recvFlagsToMsg(r->flags);
      return;
    }
    case Op::net_send: {
      auto* r = containerOf<NetSend>(c);
      fillMsg(r->internal.msg, nullptr, 0, r->buffer.iovecs.data(), r->buffer.iovecs.size(), nullptr, 0);
      io_uring_sqe* sqe = getSqeOrDefer(c);
      if (sqe == nullptr) return;
      prep(sqe, IORING_OP_SENDMSG, r->handle, ptr(&r->internal.msg), 1, 0, c);
      sqe->msg_flags = sendFlagsToMsg(r->flags);
      return;
    }
    case Op::net_recvfrom: {
      auto* r = containerOf<NetRecvFrom>(c);
      socklen_t namelen = r->addr_len != nullptr ? *r->addr_len : 0;
      fillMsg(r->internal.msg, r->addr, namelen, r->buffer.iovecs.data(), r->buffer.iovecs.size(), nullptr, 0);
      io_uring_sqe* sqe = getSqeOrDefer(c);
      if (sqe == nullptr) return;
      prep(sqe, IORING_OP_RECVMSG, r->handle, ptr(&r->internal.msg), 1, 0, c);
      sqe->msg_flags = recvFlagsToMsg(r->flags);
      return;
    }
    case Op::net_sendto: {
      auto* r = containerOf<NetSendTo>(c);
      fillMsg(r->internal.msg, r->addr, r->addr_len, r->buffer.iovecs.data(), r->buffer.iovecs.size(), nullptr, 0);
      io_uring_sqe* sqe = getSqeOrDefer(c);
      if (sqe == nullptr) return;
      prep(sqe, IORING_OP_SENDMSG, r->handle, ptr(&r->internal.msg), 1, 0, c);
      sqe->msg_flags = sendFlagsToMsg(r->flags);
      return;
    }
    case Op::net_recvmsg: {
      auto* r = containerOf<NetRecvMsg>(c);
      socklen_t namelen = r->addr_len != nullptr ? *r->addr_len : 0;
      fillMsg(r->internal.msg, r->addr, namelen, r->data.iovecs.data(), r->data.iovecs.size(), r->control.data(),
              r->control.size());
      io_uring_sqe* sqe = getSqeOrDefer(c);
      if (sqe == nullptr) return;
      prep(sqe, IORING_OP_RECVMSG, r->handle, ptr(&r->internal.msg), 1, 0, c);
      sqe->msg_flags = recvFlagsToMsg(r->flags);
      return;
    }
    case Op::net_sendmsg: {
      auto* r = containerOf<NetSendMsg>(c);
      fillMsg(r->internal.msg, r->addr, r->addr_len, r->data.iovecs.data(), r->data.iovecs.size(), r->control.data(),
              r->control.size());
      io_uring_sqe* sqe = getSqeOrDefer(c);
      if (sqe == nullptr) return;
      prep(sqe, IORING_OP_SENDMSG, r->handle, ptr(&r->internal.msg), 1, 0, c);
      sqe->msg_flags = sendFlagsToMsg(r->flags);
      return;
    }
    case Op::net_poll: {
      auto* r = containerOf<NetPoll>(c);
      io_uring_sqe* sqe = getSqeOrDefer(c);
      if (sqe == nullptr) return;
      prep(sqe, IORING_OP_POLL_ADD, r->handle, 0, 0, 0, c);  // len 0: single-shot
      sqe->poll32_events = r->event == NetPoll::Event::recv ? POLLIN : POLLOUT;
      return;
    }
    case Op::pipe_poll: {
      auto* r = containerOf<PipePoll>(c);
      io_uring_sqe* sqe = getSqeOrDefer(c);
      if (sqe == nullptr) return;
      prep(sqe, IORING_OP_POLL_ADD, r->handle, 0, 0, 0, c);
      sqe->poll32_events = r->event == PipePoll::Event::read ? POLLIN : POLLOUT;
      return;
    }
    case Op::net_shutdown: {
      auto* r = containerOf<NetShutdown>(c);
      io_uring_sqe* sqe = getSqeOrDefer(c);
      if (sqe == nullptr) return;
      prep(sqe, IORING_OP_SHUTDOWN, r->handle, 0, static_cast<std::uint32_t>(r->how), 0, c);
      return;
    }
    case Op::net_close:
    case Op::file_close:
    case Op::dir_close:
    case Op::pipe_close: {
      // All four records are {c, handle}.
      fd_t handle = c->op == Op::net_close    ? containerOf<NetClose>(c)->handle
                    : c->op == Op::file_close ? containerOf<FileClose>(c)->handle
                    : c->op == Op::dir_close  ? containerOf<DirClose>(c)->handle
                                              : containerOf<PipeClose>(c)->handle;
      io_uring_sqe* sqe = getSqeOrDefer(c);
      if (sqe == nullptr) return;
      prep(sqe, IORING_OP_CLOSE, handle, 0, 0, 0, c);
      return;
    }

    // --- Files. ---
    case Op::file_read: {
      auto* r = containerOf<FileRead>(c);
      io_uring_sqe* sqe = getSqeOrDefer(c);
      if (sqe == nullptr) return;
      prep(sqe, IORING_OP_READV, r->handle, ptr(r->buffer.iovecs.data()), iovCount(r->buffer.iovecs.size()), r->offset,
           c);
      return;
    }
    case Op::file_write: {
      auto* r = containerOf<FileWrite>(c);
      io_uring_sqe* sqe = getSqeOrDefer(c);
      if (sqe == nullptr) return;
      prep(sqe, IORING_OP_WRITEV, r->handle, ptr(r->buffer.iovecs.data()), iovCount(r->buffer.iovecs.size()), r->offset,
           c);
      return;
    }
    case Op::file_read_streaming: {
      auto* r = containerOf<FileReadStreaming>(c);
      io_uring_sqe* sqe = getSqeOrDefer(c);
      if (sqe == nullptr) return;
      // Offset -1: at the file position, which the read advances.
      prep(sqe, IORING_OP_READV, r->handle, ptr(r->buffer.iovecs.data()), iovCount(r->buffer.iovecs.size()),
           ~std::uint64_t{0}, c);
      return;
    }
    case Op::file_write_streaming: {
      auto* r = containerOf<FileWriteStreaming>(c);
      io_uring_sqe* sqe = getSqeOrDefer(c);
      if (sqe == nullptr) return;
      prep(sqe, IORING_OP_WRITEV, r->handle, ptr(r->buffer.iovecs.data()), iovCount(r->buffer.iovecs.size()),
           ~std::uint64_t{0}, c);
      return;
    }
    case Op::file_sync: {
      auto* r = containerOf<FileSync>(c);
      io_uring_sqe* sqe = getSqeOrDefer(c);
      if (sqe == nullptr) return;
      prep(sqe, IORING_OP_FSYNC, r->handle, 0, 0, 0, c);
      sqe->fsync_flags = r->flags.only_data ? IORING_FSYNC_DATASYNC : 0u;
      return;
    }
    case Op::file_set_size: {
      auto* r = containerOf<FileSetSize>(c);
      io_uring_sqe* sqe = getSqeOrDefer(c);
      if (sqe == nullptr) return;
      prep(sqe, IORING_OP_FTRUNCATE, r->handle, 0, 0, r->length, c);
      return;
    }
    case Op::file_size: {
      auto* r = containerOf<FileSize>(c);
      io_uring_sqe* sqe = getSqeOrDefer(c);
      if (sqe == nullptr) return;
      prep(sqe, IORING_OP_STATX, r->handle, ptr(empty_path), statx_size_mask, ptr(&r->internal.statx), c);
      sqe->statx_flags = AT_EMPTY_PATH;
      return;
    }
    case Op::file_stat: {
      auto* r = containerOf<FileStat>(c);
      const bool has_path = r->path.data() != nullptr;
      if (first && has_path && !copyPathFor(*this, state, c, r->internal.path, r->path)) return;
      io_uring_sqe* sqe = getSqeOrDefer(c);
      if (sqe == nullptr) return;
      prep(sqe, IORING_OP_STATX, r->handle, ptr(has_path ? r->internal.path : empty_path), statx_stat_mask,
           ptr(&r->internal.statx), c);
      sqe->statx_flags = has_path ? (r->flags.follow_symlinks ? 0u : AT_SYMLINK_NOFOLLOW) : AT_EMPTY_PATH;
      return;
    }
    case Op::file_open: {
      auto* r = containerOf<FileOpen>(c);
      if (first && !copyPathFor(*this, state, c, r->internal.path, r->path)) return;
      const FileOpenFlags& f = r->flags;
      std::uint32_t flags = static_cast<std::uint32_t>(f.mode) | O_CLOEXEC;
      if (!f.follow_symlinks) flags |= O_NOFOLLOW;
      if (!f.allow_ctty) flags |= O_NOCTTY;
      if (f.path_only) flags |= O_PATH;
      if (f.nonblocking) flags |= O_NONBLOCK;
      if (f.direct) flags |= O_DIRECT;
      io_uring_sqe* sqe = getSqeOrDefer(c);
      if (sqe == nullptr) return;
      if (f.resolve_beneath) {
        r->internal.how = OpenHow{flags, 0, resolve_confined};
        prep(sqe, IORING_OP_OPENAT2, r->dir, ptr(r->internal.path), sizeof(OpenHow), ptr(&r->internal.how), c);
      } else {
        prep(sqe, IORING_OP_OPENAT, r->dir, ptr(r->internal.path), 0, 0, c);
        sqe->open_flags = flags;
      }
      return;
    }
    case Op::file_create: {
      auto* r = containerOf<FileCreate>(c);
      if (first && !copyPathFor(*this, state, c, r->internal.path, r->path)) return;
      const FileCreateFlags& f = r->flags;
      std::uint32_t flags = O_CLOEXEC | O_CREAT | (f.read ? O_RDWR : O_WRONLY);
      if (f.truncate) flags |= O_TRUNC;
      if (f.exclusive) flags |= O_EXCL;
      if (f.nonblocking) flags |= O_NONBLOCK;
      if (f.direct) flags |= O_DIRECT;
      io_uring_sqe* sqe = getSqeOrDefer(c);
      if (sqe == nullptr) return;
      if (f.resolve_beneath) {
        r->internal.how = OpenHow{flags, f.mode, resolve_confined};
        prep(sqe, IORING_OP_OPENAT2, r->dir, ptr(r->internal.path), sizeof(OpenHow), ptr(&r->internal.how), c);
      } else {
        prep(sqe, IORING_OP_OPENAT, r->dir, ptr(r->internal.path), f.mode, 0, c);
        sqe->open_flags = flags;
      }
      return;
    }

    // --- Directories. ---
    case Op::dir_open: {
      auto* r = containerOf<DirOpen>(c);
      if (first && !copyPathFor(*this, state, c, r->internal.path, r->path)) return;
      const DirOpenFlags& f = r->flags;
      std::uint32_t flags = O_DIRECTORY | O_CLOEXEC;
      if (!f.follow_symlinks) flags |= O_NOFOLLOW;
      if (!f.iterate) flags |= O_PATH;  // never read: a path handle is enough
      io_uring_sqe* sqe = getSqeOrDefer(c);
      if (sqe == nullptr) return;
      if (f.resolve_beneath) {
        // Honoured like file_open's: a caller asking for confinement must
        // not silently get an open that may leave `dir`.
        r->internal.how = OpenHow{flags, 0, resolve_confined};
        prep(sqe, IORING_OP_OPENAT2, r->dir, ptr(r->internal.path), sizeof(OpenHow), ptr(&r->internal.how), c);
      } else {
        prep(sqe, IORING_OP_OPENAT, r->dir, ptr(r->internal.path), 0, 0, c);
        sqe->open_flags = flags;
      }
      return;
    }
    case Op::dir_create_dir: {
      auto* r = containerOf<DirCreateDir>(c);
      if (first && !copyPathFor(*this, state, c, r->internal.path, r->path)) return;
      io_uring_sqe* sqe = getSqeOrDefer(c);
      if (sqe == nullptr) return;
      prep(sqe, IORING_OP_MKDIRAT, r->dir, ptr(r->internal.path), r->mode, 0, c);
      return;
    }
    case Op::dir_rename: return submitRename(*this, state, c, containerOf<DirRename>(c), first, 0);
    case Op::dir_rename_preserve:
      return submitRename(*this, state, c, containerOf<DirRenamePreserve>(c), first, RENAME_NOREPLACE);
    case Op::dir_delete_file: return submitUnlink(*this, state, c, containerOf<DirDeleteFile>(c), first, 0);
    case Op::dir_delete_dir: return submitUnlink(*this, state, c, containerOf<DirDeleteDir>(c), first, AT_REMOVEDIR);

    // --- Processes. ---
    case Op::process_wait: {
      auto* r = containerOf<ProcessWait>(c);
      io_uring_sqe* sqe = getSqeOrDefer(c);
      if (sqe == nullptr) return;
      prep(sqe, IORING_OP_WAITID, r->handle, 0, P_PID, ptr(&r->internal.siginfo), c);
      sqe->file_index = WEXITED;  // the options word of a waitid entry
      return;
    }

    case Op::mach_port:
      // No meaning on Linux; the loop never routes it here, but if it did the
      // operation fails instead of reaching the kernel.
      return finishNow(state, c, Error::OperationNotSupported);

    default:
      // The loop's own kinds and the pooled ones never come here.
      VORN_ASSERT(false && "kind not handled by the ring");
      return finishNow(state, c, Error::OperationNotSupported);
  }
}

void IoUring::storeResult(Completion* c, std::int32_t result) noexcept {
  c->has_result = true;
  const bool ok = result >= 0;
  const std::uint16_t e = ok ? 0 : errnoOf(result);
  // Every failure below is the mapping of the entry's own number.
  auto fail = [c, e](Error err) noexcept { c->setOsError(err, e); };

  switch (c->op) {
    case Op::net_send: {
      auto* r = containerOf<NetSend>(c);
      if (!ok) {
        r->internal.os_errno = e;
        return fail(os::errnoToSendError(e));
      }
      r->result_private_do_not_touch = static_cast<std::size_t>(result);
      return;
    }
    case Op::net_sendto:
      if (ok) containerOf<NetSendTo>(c)->result_private_do_not_touch = static_cast<std::size_t>(result);
      else fail(os::errnoToSendError(e));
      return;
    case Op::net_sendmsg:
      if (ok) containerOf<NetSendMsg>(c)->result_private_do_not_touch = static_cast<std::size_t>(result);
      else fail(os::errnoToSendError(e));
      return;
    case Op::net_recv: {
      auto* r = containerOf<NetRecv>(c);
      if (!ok) {
        r->internal.os_errno = e;
        return fail(os::errnoToRecvError(e));
      }
      r->result_private_do_not_touch = static_cast<std::size_t>(result);
      return;
    }
    case Op::net_recvfrom: {
      auto* r = containerOf<NetRecvFrom>(c);
      if (!ok) return fail(os::errnoToRecvError(e));
      r->result_private_do_not_touch = static_cast<std::size_t>(result);
      if (r->addr_len != nullptr) *r->addr_len = r->internal.msg.msg_namelen;
      return;
    }
    case Op::net_recvmsg: {
      auto* r = containerOf<NetRecvMsg>(c);
      if (!ok) return fail(os::errnoToRecvError(e));
      r->result_private_do_not_touch = RecvMsgResult{static_cast<std::size_t>(result), r->internal.msg.msg_controllen,
                                                     static_cast<std::uint32_t>(r->internal.msg.msg_flags)};
      if (r->addr_len != nullptr) *r->addr_len = r->internal.msg.msg_namelen;
      return;
    }
    case Op::net_accept:
      if (ok) containerOf<NetAccept>(c)->result_private_do_not_touch = result;
      else fail(os::errnoToAcceptError(e));
      return;
    case Op::net_connect:
      if (!ok) fail(os::errnoToConnectError(e));
      return;
    case Op::net_shutdown:
      if (!ok) fail(os::errnoToShutdownError(e));
      return;
    case Op::net_poll:
      if (!ok) fail(os::errnoToRecvError(e));
      return;
    case Op::pipe_poll:
      if (!ok) fail(os::errnoToFileReadError(e));
      return;
    case Op::net_close:
      // Once close(2) ran the descriptor is gone whatever it reported, so
      // its errors are not the caller's concern. A close cancelled before it
      // reached the kernel did not run: the descriptor is still open.
      if (!ok && e == ECANCELED) fail(Error::Canceled);
      return;
    case Op::file_close:
    case Op::dir_close:
    case Op::pipe_close:
      if (!ok) fail(closeError(e));
      return;
    case Op::file_read:
      if (ok) containerOf<FileRead>(c)->result_private_do_not_touch = static_cast<std::size_t>(result);
      else fail(os::errnoToFileReadError(e));
      return;
    case Op::file_read_streaming:
      if (ok) containerOf<FileReadStreaming>(c)->result_private_do_not_touch = static_cast<std::size_t>(result);
      else fail(os::errnoToFileReadError(e));
      return;
    case Op::file_write:
      if (ok) containerOf<FileWrite>(c)->result_private_do_not_touch = static_cast<std::size_t>(result);
      else fail(os::errnoToFileWriteError(e));
      return;
    case Op::file_write_streaming:
      if (ok) containerOf<FileWriteStreaming>(c)->result_private_do_not_touch = static_cast<std::size_t>(result);
      else fail(os::errnoToFileWriteError(e));
      return;
    case Op::file_sync:
      if (!ok) fail(os::errnoToFileSyncError(e));
      return;
    case Op::file_set_size:
      if (!ok) fail(os::errnoToFileSetSizeError(e));
      return;
    case Op::file_size: {
      auto* r = containerOf<FileSize>(c);
      if (ok) r->result_private_do_not_touch = r->internal.statx.stx_size;
      else fail(fileSizeError(e));
      return;
    }
    case Op::file_stat: {
      auto* r = containerOf<FileStat>(c);
      freePath(allocator, r->internal.path, r->path);
      if (ok) r->result_private_do_not_touch = statxToFileStat(r->internal.statx);
      else fail(os::errnoToFileStatError(e));
      return;
    }
    case Op::file_open: {
      auto* r = containerOf<FileOpen>(c);
      freePath(allocator, r->internal.path, r->path);
      if (ok) r->result_private_do_not_touch = FileOpenResult{result, false};
      else fail(os::errnoToFileOpenError(e, r->flags.follow_symlinks, r->flags.resolve_beneath));
      return;
    }
    case Op::file_create: {
      auto* r = containerOf<FileCreate>(c);
      freePath(allocator, r->internal.path, r->path);
      if (ok) r->result_private_do_not_touch = FileOpenResult{result, false};
      else fail(os::errnoToFileOpenError(e, r->flags.resolve_beneath));
      return;
    }
    case Op::dir_open: {
      auto* r = containerOf<DirOpen>(c);
      freePath(allocator, r->internal.path, r->path);
      if (ok) r->result_private_do_not_touch = result;
      else fail(os::errnoToDirOpenError(e, r->flags.resolve_beneath));
      return;
    }
    case Op::dir_create_dir: {
      auto* r = containerOf<DirCreateDir>(c);
      freePath(allocator, r->internal.path, r->path);
      if (!ok) fail(os::errnoToDirCreateDirError(e));
      return;
    }
    case Op::dir_rename: {
      auto* r = containerOf<DirRename>(c);
      freePath(allocator, r->internal.old_path, r->old_path);
      freePath(allocator, r->internal.new_path, r->new_path);
      if (!ok) fail(os::errnoToDirRenameError(e));
      return;
    }
    case Op::dir_rename_preserve: {
      auto* r = containerOf<DirRenamePreserve>(c);
      freePath(allocator, r->internal.old_path, r->old_path);
      freePath(allocator, r->internal.new_path, r->new_path);
      if (!ok) fail(e == EEXIST ? Error::PathAlreadyExists : os::errnoToDirRenameError(e));
      return;
    }
    case Op::dir_delete_file: {
      auto* r = containerOf<DirDeleteFile>(c);
      freePath(allocator, r->internal.path, r->path);
      if (!ok) fail(os::errnoToDirDeleteFileError(e));
      return;
    }
    case Op::dir_delete_dir: {
      auto* r = containerOf<DirDeleteDir>(c);
      freePath(allocator, r->internal.path, r->path);
      if (!ok) fail(os::errnoToDirDeleteDirError(e));
      return;
    }
    case Op::process_wait: {
      auto* r = containerOf<ProcessWait>(c);
      if (!ok) return fail(processWaitError(e));
      const siginfo_t& si = r->internal.siginfo;
      ProcessWait::ExitStatus status{};
      if (si.si_code == CLD_EXITED) status.code = static_cast<std::uint8_t>(si.si_status);
      if (si.si_code == CLD_KILLED || si.si_code == CLD_DUMPED) status.signal = static_cast<std::uint8_t>(si.si_status);
      r->result_private_do_not_touch = status;
      return;
    }
    default:
      // Kinds finished inside submit never reach here; keep a failure visible.
      if (!ok) fail(e == ECANCELED ? Error::Canceled : Error::Unexpected);
      return;
  }
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
