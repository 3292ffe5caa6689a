// Pooled file-system operations: the wrapping of an operation record into
// its embedded job, the job functions, and their error tables.
//
// Thread rules: submitFileOpToThreadPool and delegatedWorkOf run on the loop
// thread. A job function runs on a worker and touches only its own operation
// record, which the loop does not read until the hand-back has pushed it on
// the finished-work stack (the release point).
#include "ev/backends/common.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <limits>

#include "ev/loop.hpp"
#include "ev/thread_pool.hpp"
#include "os/assert.hpp"
#include "os/fs.hpp"
#include "os/log.hpp"
#include "os/syscall_cancel.hpp"

namespace vorn::ev::backends {

namespace {

using os::syscall_cancel::interruptible;
using os::syscall_cancel::SyscallResult;

// --- Error tables of the pooled kinds ---------------------------------------

Error setAttrError(int e) noexcept { return os::errnoToSetAttrError(static_cast<std::uint16_t>(e)); }
Error symLinkError(int e) noexcept { return os::errnoToSymLinkError(static_cast<std::uint16_t>(e)); }
Error readLinkError(int e) noexcept { return os::errnoToReadLinkError(static_cast<std::uint16_t>(e)); }
Error accessError(int e) noexcept { return os::errnoToAccessError(static_cast<std::uint16_t>(e)); }
Error dirReadError(int e) noexcept { return os::errnoToDirReadError(static_cast<std::uint16_t>(e)); }
Error realPathError(int e) noexcept { return os::errnoToRealPathError(static_cast<std::uint16_t>(e)); }
Error realPathOpenError(int e) noexcept { return os::errnoToRealPathOpenError(static_cast<std::uint16_t>(e)); }
Error ioctlError(int e) noexcept { return os::errnoToIoctlError(static_cast<std::uint16_t>(e)); }
Error hardLinkError(int e) noexcept { return os::errnoToHardLinkError(static_cast<std::uint16_t>(e)); }
Error setSizeError(int e) noexcept { return os::errnoToFileSetSizeError(static_cast<std::uint16_t>(e)); }

// --- Job plumbing ---------------------------------------------------------------

DelegatedWork* delegatedOf(Work* work) noexcept {
  return containerOf<DelegatedWork>(work, offsetof(DelegatedWork, work));
}

template <class Record>
Record* recordOf(Work* work) noexcept {
  return containerOf<Record>(delegatedOf(work)->linked_context.linked);
}

// Stores the outcome of an interruptible call without a value.
void storeOutcome(Completion& c, const SyscallResult& r, Error (*map)(int)) noexcept {
  if (r.canceled) {
    c.err = Error::Canceled;
  } else if (r.errnum != 0) {
    c.setOsError(map(r.errnum), r.errnum);
  }
  c.has_result = true;
}

// `errnum`: the number the code was mapped from (0: a code chosen here).
void storeError(Completion& c, Error e, int errnum = 0) noexcept { c.setOsError(e, errnum); }

// A plain call (not interruptible), retried while interrupted.
template <class Fn>
SyscallResult retryIntr(Fn&& fn) noexcept {
  for (;;) {
    long r = static_cast<long>(fn());
    if (r != -1) return {r, 0, false};
    if (errno != EINTR) return {-1, errno, false};
  }
}

// The job's NUL-terminated copy of one path argument, freed when the job
// function returns.
class PathArg {
 public:
  PathArg(const Allocator& alloc, std::string_view path) noexcept : alloc_(alloc), path_(path) {
    auto r = copyPath(alloc, path);
    if (r) {
      copy_ = *r;
    } else {
      err_ = r.error();
    }
  }
  ~PathArg() { freePath(alloc_, copy_, path_); }
  PathArg(const PathArg&) = delete;
  PathArg& operator=(const PathArg&) = delete;

  Error error() const noexcept { return err_; }
  const char* get() const noexcept { return copy_; }

 private:
  const Allocator& alloc_;
  std::string_view path_;
  char* copy_ = nullptr;
  Error err_ = Error::none;
};

std::uint32_t idOrKeep(const std::optional<std::uint32_t>& id) noexcept {
  return id.has_value() ? *id : static_cast<std::uint32_t>(-1);  // -1: leave unchanged
}

// /proc/self/fd/N names the open file behind descriptor N.
bool procFdPath(char (&out)[32], int fd) noexcept {
  int n = std::snprintf(out, sizeof out, "/proc/self/fd/%d", fd);
  return n > 0 && static_cast<std::size_t>(n) < sizeof out;
}

// The path of the file open as `fd` (AT_FDCWD: the working directory),
// written to `buffer`; its length, or the error.
std::expected<std::size_t, Error> realPathOfFd(int fd, std::span<char> buffer) noexcept {
  int opened = -1;
  if (fd == AT_FDCWD) {
    // O_PATH: the working directory need not be readable to be named.
    SyscallResult r = retryIntr([] { return ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC); });
    if (r.errnum != 0) return std::unexpected(Error::FileNotFound);
    opened = fd = static_cast<int>(r.value);
  }
  char proc[32];
  std::expected<std::size_t, Error> out = std::unexpected(Error::NameTooLong);
  if (procFdPath(proc, fd)) {
    SyscallResult r = interruptible([&] { return ::readlink(proc, buffer.data(), buffer.size()); });
    if (r.canceled) {
      out = std::unexpected(Error::Canceled);
    } else if (r.errnum != 0) {
      out = std::unexpected(realPathError(r.errnum));
    } else if (static_cast<std::size_t>(r.value) >= buffer.size()) {
      // readlink fills the buffer silently when the text is longer: a full
      // buffer may hold a truncated path.
      out = std::unexpected(Error::NameTooLong);
    } else {
      out = static_cast<std::size_t>(r.value);
    }
  }
  if (opened >= 0) ::close(opened);
  return out;
}

template <class Record>
void storeLength(Record* r, const std::expected<std::size_t, Error>& len) noexcept {
  if (len) {
    r->result_private_do_not_touch = *len;
    r->c.has_result = true;
  } else {
    storeError(r->c, len.error());
  }
}

// Shared by the file and directory forms.
template <class Record>
void setPermissionsJob(Work* work) noexcept {
  auto* r = recordOf<Record>(work);
  SyscallResult res = interruptible([&] { return ::fchmod(r->handle, r->mode); });
  storeOutcome(r->c, res, setAttrError);
}

template <class Record>
void setOwnerJob(Work* work) noexcept {
  auto* r = recordOf<Record>(work);
  SyscallResult res = interruptible([&] { return ::fchown(r->handle, idOrKeep(r->uid), idOrKeep(r->gid)); });
  storeOutcome(r->c, res, setAttrError);
}

}  // namespace

// --- Paths ---------------------------------------------------------------------

std::expected<char*, Error> copyPath(const Allocator& alloc, std::string_view path) noexcept {
  if (std::memchr(path.data(), 0, path.size()) != nullptr) return std::unexpected(Error::BadPathName);
  auto* copy = static_cast<char*>(alloc.allocate(path.size() + 1));
  if (copy == nullptr) return std::unexpected(Error::SystemResources);
  if (!path.empty()) std::memcpy(copy, path.data(), path.size());
  copy[path.size()] = '\0';
  return copy;
}

void freePath(const Allocator& alloc, char*& copy, std::string_view path) noexcept {
  if (copy == nullptr) return;
  alloc.release(copy, path.size() + 1);
  copy = nullptr;
}

// --- Timestamps ------------------------------------------------------------------

timespec timestampToTimespec(const std::optional<TimestampNs>& ns) noexcept {
  if (!ns.has_value()) return timespec{0, UTIME_OMIT};
  constexpr TimestampNs billion = 1'000'000'000;
  TimestampNs sec = *ns / billion;
  TimestampNs nsec = *ns % billion;
  if (nsec < 0) {  // C++ division truncates towards zero; the kernel wants 0 <= nsec < 1e9
    sec -= 1;
    nsec += billion;
  }
  constexpr auto sec_max = static_cast<TimestampNs>(std::numeric_limits<std::int64_t>::max());
  constexpr auto sec_min = static_cast<TimestampNs>(std::numeric_limits<std::int64_t>::min());
  if (sec > sec_max) return timespec{std::numeric_limits<std::int64_t>::max(), billion - 1};
  if (sec < sec_min) return timespec{std::numeric_limits<std::int64_t>::min(), 0};
  return timespec{static_cast<time_t>(sec), static_cast<long>(nsec)};
}

// --- Submission ----------------------------------------------------------------

namespace {

struct Job {
  DelegatedWork* delegated;  // null for device_io_control
  WorkFn fn;
};

Job jobOf(Completion* c) noexcept {
  switch (c->op) {
    case Op::file_set_size: return {&containerOf<FileSetSize>(c)->internal, fileSetSizeWork};
    case Op::file_set_permissions: return {&containerOf<FileSetPermissions>(c)->internal, fileSetPermissionsWork};
    case Op::file_set_owner: return {&containerOf<FileSetOwner>(c)->internal, fileSetOwnerWork};
    case Op::file_set_timestamps: return {&containerOf<FileSetTimestamps>(c)->internal, fileSetTimestampsWork};
    case Op::dir_set_permissions: return {&containerOf<DirSetPermissions>(c)->internal, dirSetPermissionsWork};
    case Op::dir_set_owner: return {&containerOf<DirSetOwner>(c)->internal, dirSetOwnerWork};
    case Op::dir_set_file_permissions:
      return {&containerOf<DirSetFilePermissions>(c)->internal, dirSetFilePermissionsWork};
    case Op::dir_set_file_owner: return {&containerOf<DirSetFileOwner>(c)->internal, dirSetFileOwnerWork};
    case Op::dir_set_file_timestamps:
      return {&containerOf<DirSetFileTimestamps>(c)->internal, dirSetFileTimestampsWork};
    case Op::dir_sym_link: return {&containerOf<DirSymLink>(c)->internal, dirSymLinkWork};
    case Op::dir_read_link: return {&containerOf<DirReadLink>(c)->internal, dirReadLinkWork};
    case Op::dir_hard_link: return {&containerOf<DirHardLink>(c)->internal, dirHardLinkWork};
    case Op::dir_access: return {&containerOf<DirAccess>(c)->internal, dirAccessWork};
    case Op::dir_read: return {&containerOf<DirRead>(c)->internal, dirReadWork};
    case Op::dir_real_path: return {&containerOf<DirRealPath>(c)->internal, dirRealPathWork};
    case Op::dir_real_path_file: return {&containerOf<DirRealPathFile>(c)->internal, dirRealPathFileWork};
    case Op::file_real_path: return {&containerOf<FileRealPath>(c)->internal, fileRealPathWork};
    case Op::file_hard_link: return {&containerOf<FileHardLink>(c)->internal, fileHardLinkWork};
    case Op::device_io_control: return {nullptr, deviceIoControlWork};
    default: return {nullptr, nullptr};
  }
}

}  // namespace

void submitFileOpToThreadPool(Loop* loop, Completion* c) noexcept {
  c->state = State::running;
  ++loop->state.active;

  Job job = jobOf(c);
  if (job.fn == nullptr) {
    VORN_ASSERT(false && "kind not handled by the thread pool");
    c->setError(Error::OperationNotSupported);
    loop->state.markCompleted(c);
    return;
  }
  if (loop->thread_pool == nullptr) {
    log::logError("No thread pool available for file operation");
    c->setError(Error::Unexpected);
    loop->state.markCompleted(c);
    return;
  }

  Work* work;
  if (job.delegated != nullptr) {
    DelegatedWork& d = *job.delegated;
    d.allocator = loop->allocator;
    d.linked_context = LinkedWorkContext{loop, c};
    // Not shared with any thread until ThreadPool::submit.
    d.token.handle.store(pthread_t{}, std::memory_order_relaxed);
    d.token.state.store(os::syscall_cancel::Token::State::idle, std::memory_order_relaxed);
    d.work.init(job.fn, nullptr);
    d.work.completion_context = &d.linked_context;
    d.work.cancel_token = &d.token;
    work = &d.work;
  } else {
    // device_io_control: its ioctl is not interruptible, so no token.
    DeviceIoControlData& d = containerOf<DeviceIoControl>(c)->internal;
    d.linked_context = LinkedWorkContext{loop, c};
    d.work.init(job.fn, nullptr);
    d.work.completion_context = &d.linked_context;
    work = &d.work;
  }
  work->completion_fn = loopLinkedWorkComplete;
  loop->thread_pool->submit(work);
}

Work* delegatedWorkOf(Completion* c) noexcept {
  if (c->loop != nullptr && backendPerforms(ioUringCapabilitiesOf(c->loop->backend.fileSetSizeSupported()), c->op)) {
    return nullptr;  // the ring runs it (file_set_size when the kernel has FTRUNCATE)
  }
  if (c->op == Op::device_io_control) return &containerOf<DeviceIoControl>(c)->internal.work;
  Job job = jobOf(c);
  return job.delegated != nullptr ? &job.delegated->work : nullptr;
}

// --- Job functions ---------------------------------------------------------------

void fileSetSizeWork(Work* work) noexcept {
  auto* r = recordOf<FileSetSize>(work);
  SyscallResult res = interruptible([&] { return ::ftruncate(r->handle, static_cast<off_t>(r->length)); });
  storeOutcome(r->c, res, setSizeError);
}

void fileSetPermissionsWork(Work* work) noexcept { setPermissionsJob<FileSetPermissions>(work); }
void dirSetPermissionsWork(Work* work) noexcept { setPermissionsJob<DirSetPermissions>(work); }
void fileSetOwnerWork(Work* work) noexcept { setOwnerJob<FileSetOwner>(work); }
void dirSetOwnerWork(Work* work) noexcept { setOwnerJob<DirSetOwner>(work); }

void fileSetTimestampsWork(Work* work) noexcept {
  auto* r = recordOf<FileSetTimestamps>(work);
  const timespec times[2] = {timestampToTimespec(r->timestamps.atime), timestampToTimespec(r->timestamps.mtime)};
  // The raw call: libc's utimensat refuses a null path, which is how the
  // kernel is told to act on the descriptor itself.
  SyscallResult res =
      interruptible([&] { return ::syscall(SYS_utimensat, r->handle, static_cast<const char*>(nullptr), times, 0); });
  storeOutcome(r->c, res, setAttrError);
}

void dirSetFilePermissionsWork(Work* work) noexcept {
  auto* r = recordOf<DirSetFilePermissions>(work);
  PathArg path(delegatedOf(work)->allocator, r->path);
  if (path.error() != Error::none) return storeError(r->c, path.error());
  SyscallResult res = interruptible([&] {
    if (r->flags.follow_symlinks) return ::syscall(SYS_fchmodat, r->dir, path.get(), r->mode);
    return ::syscall(SYS_fchmodat2, r->dir, path.get(), r->mode, AT_SYMLINK_NOFOLLOW);
  });
  storeOutcome(r->c, res, setAttrError);
}

void dirSetFileOwnerWork(Work* work) noexcept {
  auto* r = recordOf<DirSetFileOwner>(work);
  PathArg path(delegatedOf(work)->allocator, r->path);
  if (path.error() != Error::none) return storeError(r->c, path.error());
  const int flags = r->flags.follow_symlinks ? 0 : AT_SYMLINK_NOFOLLOW;
  SyscallResult res =
      interruptible([&] { return ::fchownat(r->dir, path.get(), idOrKeep(r->uid), idOrKeep(r->gid), flags); });
  storeOutcome(r->c, res, setAttrError);
}

void dirSetFileTimestampsWork(Work* work) noexcept {
  auto* r = recordOf<DirSetFileTimestamps>(work);
  PathArg path(delegatedOf(work)->allocator, r->path);
  if (path.error() != Error::none) return storeError(r->c, path.error());
  const timespec times[2] = {timestampToTimespec(r->timestamps.atime), timestampToTimespec(r->timestamps.mtime)};
  const int flags = r->flags.follow_symlinks ? 0 : AT_SYMLINK_NOFOLLOW;
  SyscallResult res = interruptible([&] { return ::utimensat(r->dir, path.get(), times, flags); });
  storeOutcome(r->c, res, setAttrError);
}

void dirSymLinkWork(Work* work) noexcept {
  auto* r = recordOf<DirSymLink>(work);
  const Allocator& alloc = delegatedOf(work)->allocator;
  PathArg target(alloc, r->target);
  if (target.error() != Error::none) return storeError(r->c, target.error());
  PathArg link(alloc, r->link_path);
  if (link.error() != Error::none) return storeError(r->c, link.error());
  SyscallResult res = interruptible([&] { return ::symlinkat(target.get(), r->dir, link.get()); });
  storeOutcome(r->c, res, symLinkError);
}

void dirReadLinkWork(Work* work) noexcept {
  auto* r = recordOf<DirReadLink>(work);
  PathArg path(delegatedOf(work)->allocator, r->path);
  if (path.error() != Error::none) return storeError(r->c, path.error());
  SyscallResult res =
      interruptible([&] { return ::readlinkat(r->dir, path.get(), r->buffer.data(), r->buffer.size()); });
  if (!res.ok()) return storeOutcome(r->c, res, readLinkError);
  // readlinkat fills the buffer silently when the text is longer: a full
  // buffer may hold a truncated link.
  if (static_cast<std::size_t>(res.value) >= r->buffer.size()) return storeError(r->c, Error::NameTooLong);
  r->result_private_do_not_touch = static_cast<std::size_t>(res.value);
  r->c.has_result = true;
}

void dirHardLinkWork(Work* work) noexcept {
  auto* r = recordOf<DirHardLink>(work);
  const Allocator& alloc = delegatedOf(work)->allocator;
  PathArg old_path(alloc, r->old_path);
  if (old_path.error() != Error::none) return storeError(r->c, old_path.error());
  PathArg new_path(alloc, r->new_path);
  if (new_path.error() != Error::none) return storeError(r->c, new_path.error());
  const int flags = r->flags.follow_symlinks ? AT_SYMLINK_FOLLOW : 0;
  SyscallResult res =
      interruptible([&] { return ::linkat(r->old_dir, old_path.get(), r->new_dir, new_path.get(), flags); });
  storeOutcome(r->c, res, hardLinkError);
}

void fileHardLinkWork(Work* work) noexcept {
  auto* r = recordOf<FileHardLink>(work);
  PathArg new_path(delegatedOf(work)->allocator, r->new_path);
  if (new_path.error() != Error::none) return storeError(r->c, new_path.error());
  const int flags = AT_EMPTY_PATH | (r->flags.follow_symlinks ? AT_SYMLINK_FOLLOW : 0);
  SyscallResult res = retryIntr([&] { return ::linkat(r->fd, "", r->new_dir, new_path.get(), flags); });
  if (res.errnum == EINVAL || res.errnum == EOPNOTSUPP)
    return storeError(r->c, Error::OperationUnsupported, res.errnum);
  if (res.errnum == ENOENT) {
    // AT_EMPTY_PATH needs a capability most processes lack, and the kernel
    // says ENOENT then; the descriptor's /proc link names the same file.
    char proc[32];
    if (!procFdPath(proc, r->fd)) return storeError(r->c, Error::NameTooLong);
    res = retryIntr([&] { return ::linkat(AT_FDCWD, proc, r->new_dir, new_path.get(), AT_SYMLINK_FOLLOW); });
  }
  storeOutcome(r->c, res, hardLinkError);
}

void dirAccessWork(Work* work) noexcept {
  auto* r = recordOf<DirAccess>(work);
  PathArg path(delegatedOf(work)->allocator, r->path);
  if (path.error() != Error::none) return storeError(r->c, path.error());
  const int mode = (r->flags.read ? R_OK : 0) | (r->flags.write ? W_OK : 0) | (r->flags.execute ? X_OK : 0);
  SyscallResult res = interruptible([&] {
    if (r->flags.follow_symlinks) return ::syscall(SYS_faccessat, r->dir, path.get(), mode);
    return ::syscall(SYS_faccessat2, r->dir, path.get(), mode, AT_SYMLINK_NOFOLLOW);
  });
  storeOutcome(r->c, res, accessError);
}

void dirReadWork(Work* work) noexcept {
  auto* r = recordOf<DirRead>(work);
  if (r->restart) {
    SyscallResult seek = retryIntr([&] { return ::lseek(r->handle, 0, SEEK_SET); });
    if (seek.errnum != 0) return storeError(r->c, Error::Unexpected, seek.errnum);
  }
  const std::size_t len = std::min<std::size_t>(r->buffer.size(), INT_MAX);
  SyscallResult res = interruptible([&] { return ::getdents64(r->handle, r->buffer.data(), len); });
  if (res.errnum == ENOENT) {
    // The directory was removed: there is nothing (more) to read. The slot
    // is written all the same, so a reused record cannot report the count
    // of an earlier read.
    r->result_private_do_not_touch = 0;
    r->c.has_result = true;
    return;
  }
  if (!res.ok()) return storeOutcome(r->c, res, dirReadError);
  r->result_private_do_not_touch = static_cast<std::size_t>(res.value);
  r->c.has_result = true;
}

void dirRealPathWork(Work* work) noexcept {
  auto* r = recordOf<DirRealPath>(work);
  storeLength(r, realPathOfFd(r->fd, r->buffer));
}

void fileRealPathWork(Work* work) noexcept {
  auto* r = recordOf<FileRealPath>(work);
  storeLength(r, realPathOfFd(r->fd, r->buffer));
}

void dirRealPathFileWork(Work* work) noexcept {
  auto* r = recordOf<DirRealPathFile>(work);
  PathArg path(delegatedOf(work)->allocator, r->path);
  if (path.error() != Error::none) return storeError(r->c, path.error());
  SyscallResult fd = retryIntr([&] { return ::openat(r->dir, path.get(), O_PATH | O_CLOEXEC, 0); });
  if (fd.errnum != 0) return storeError(r->c, realPathOpenError(fd.errnum), fd.errnum);
  auto len = realPathOfFd(static_cast<int>(fd.value), r->buffer);
  ::close(static_cast<int>(fd.value));
  storeLength(r, len);
}

void deviceIoControlWork(Work* work) noexcept {
  auto* d = containerOf<DeviceIoControlData>(work, offsetof(DeviceIoControlData, work));
  auto* r = containerOf<DeviceIoControl>(d->linked_context.linked);
  SyscallResult res = retryIntr([&] { return ::ioctl(r->handle, r->code, r->arg); });
  if (res.errnum != 0) return storeError(r->c, ioctlError(res.errnum), res.errnum);
  r->result_private_do_not_touch = static_cast<std::int32_t>(res.value);
  r->c.has_result = true;
}

}  // namespace vorn::ev::backends
