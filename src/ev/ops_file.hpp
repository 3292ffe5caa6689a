// File operation records (file_*), pipe records and device_io_control.
//
// Most run on the ring. file_set_permissions, file_set_owner,
// file_set_timestamps, file_real_path, file_hard_link and device_io_control
// run on the thread pool (their `internal` is the job); file_set_size runs on
// the ring when the kernel has FTRUNCATE, else on the pool.
//
// See ops_common.hpp for the conventions every record follows.
#pragma once

#include <sys/stat.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>

#include "ev/ops_common.hpp"

namespace vorn::ev {

enum class FileOpenMode : std::uint8_t { read_only = 0, write_only = 1, read_write = 2 };

// What a file_open asks for. nonblocking and direct become O_NONBLOCK and
// O_DIRECT; allow_directory is not enforced by the ring.
struct FileOpenFlags {
  FileOpenMode mode;
  bool nonblocking;
  bool allow_directory;
  bool follow_symlinks;
  bool path_only;        // O_PATH
  bool allow_ctty;       // without it O_NOCTTY
  bool resolve_beneath;  // the path may not leave `dir` (openat2)
  bool direct;
};
static_assert(sizeof(FileOpenFlags) == 8);

// What a file_create asks for; the file is always open for writing.
struct FileCreateFlags {
  std::uint32_t mode;  // permission bits of a new file
  bool read;           // O_RDWR instead of O_WRONLY
  bool truncate;
  bool exclusive;  // fail with PathAlreadyExists when it exists
  bool nonblocking;
  bool resolve_beneath;
  bool direct;
};

struct FileStatFlags {
  bool follow_symlinks;
};
struct FileSyncFlags {
  bool only_data;  // fdatasync
};
struct HardLinkFlags {
  bool follow_symlinks;
};

enum class FileKind : std::uint8_t {
  block_device = 0,
  character_device = 1,
  directory = 2,
  named_pipe = 3,
  sym_link = 4,
  file = 5,
  unix_domain_socket = 6,
  whiteout = 7,
  door = 8,
  event_port = 9,
  unknown = 10,
};

struct FileOpenResult {
  fd_t fd;
  bool pollable;  // the ring reports false for every file it opens
};

struct FileStatInfo {
  std::uint64_t inode;
  std::uint64_t nlink;
  std::uint64_t size;
  std::int64_t atime;  // nanoseconds since the epoch
  std::int64_t mtime;
  std::int64_t ctime;
  std::uint32_t mode;
  std::uint32_t block_size;
  FileKind kind;
};

// Nanoseconds since the epoch; values fit in 96 signed bits.
using TimestampNs = __int128;

// Each time: null leaves it unchanged (UTIME_OMIT).
struct FileTimestamps {
  std::optional<TimestampNs> atime;
  std::optional<TimestampNs> mtime;
};

// The kernel's open_how (openat2).
struct OpenHow {
  std::uint64_t flags;
  std::uint64_t mode;
  std::uint64_t resolve;
};
static_assert(sizeof(OpenHow) == 24);

// NUL-terminated path copy (from the backend's allocator, made on the first
// submission, freed when the result is stored) and the openat2 request.
struct FileOpenData {
  char* path;
  OpenHow how;
};
struct FileCreateData {
  char* path;
  OpenHow how;
};
// The kernel writes the statx record here.
struct FileSizeData {
  struct statx statx;
};
struct FileStatData {
  struct statx statx;
  char* path;  // copy of the path; null when statting the descriptor itself
};
// The job of a device_io_control: no token (an ioctl is not interrupted)
// and no allocator (no path).
struct DeviceIoControlData {
  Work work;
  LinkedWorkContext linked_context;
};

// Result: {fd, pollable = false}.
struct FileOpen {
  Completion c;
  FileOpenData internal;
  std::string_view path;
  FileOpenResult result_private_do_not_touch;
  fd_t dir;  // AT_FDCWD (-100) for the working directory
  FileOpenFlags flags;

  void init(fd_t d, std::string_view p, FileOpenFlags f) noexcept {
    c.init(Op::file_open);
    internal = {};
    path = p;
    result_private_do_not_touch = {-1, false};
    dir = d;
    flags = f;
  }
  OpResult<FileOpenResult> getResult() const noexcept { return detail::resultOf(c, result_private_do_not_touch); }
};

struct FileCreate {
  Completion c;
  FileCreateData internal;
  std::string_view path;
  FileOpenResult result_private_do_not_touch;
  fd_t dir;
  FileCreateFlags flags;

  void init(fd_t d, std::string_view p, FileCreateFlags f) noexcept {
    c.init(Op::file_create);
    internal = {};
    path = p;
    result_private_do_not_touch = {-1, false};
    dir = d;
    flags = f;
  }
  OpResult<FileOpenResult> getResult() const noexcept { return detail::resultOf(c, result_private_do_not_touch); }
};

struct FileClose {
  Completion c;
  fd_t handle;

  void init(fd_t h) noexcept {
    c.init(Op::file_close);
    handle = h;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

// Positional read. Result: bytes read, 0 at end of file.
struct FileRead {
  Completion c;
  std::size_t result_private_do_not_touch;
  ReadBuf buffer;
  std::uint64_t offset;
  fd_t handle;

  void init(fd_t h, ReadBuf b, std::uint64_t off) noexcept {
    c.init(Op::file_read);
    result_private_do_not_touch = 0;
    buffer = b;
    offset = off;
    handle = h;
  }
  OpResult<std::size_t> getResult() const noexcept { return detail::resultOf(c, result_private_do_not_touch); }
};

// Positional write. Result: bytes written (possibly fewer than offered).
struct FileWrite {
  Completion c;
  std::size_t result_private_do_not_touch;
  WriteBuf buffer;
  std::uint64_t offset;
  fd_t handle;

  void init(fd_t h, WriteBuf b, std::uint64_t off) noexcept {
    c.init(Op::file_write);
    result_private_do_not_touch = 0;
    buffer = b;
    offset = off;
    handle = h;
  }
  OpResult<std::size_t> getResult() const noexcept { return detail::resultOf(c, result_private_do_not_touch); }
};

// Read at the file position. `pollable` is filled by the loop when null
// (it probes the descriptor once at add).
struct FileReadStreaming {
  Completion c;
  std::size_t result_private_do_not_touch;
  ReadBuf buffer;
  fd_t handle;
  std::optional<bool> pollable;

  void init(fd_t h, ReadBuf b) noexcept {
    c.init(Op::file_read_streaming);
    result_private_do_not_touch = 0;
    buffer = b;
    handle = h;
    pollable.reset();
  }
  OpResult<std::size_t> getResult() const noexcept { return detail::resultOf(c, result_private_do_not_touch); }
};

struct FileWriteStreaming {
  Completion c;
  std::size_t result_private_do_not_touch;
  WriteBuf buffer;
  fd_t handle;
  std::optional<bool> pollable;

  void init(fd_t h, WriteBuf b) noexcept {
    c.init(Op::file_write_streaming);
    result_private_do_not_touch = 0;
    buffer = b;
    handle = h;
    pollable.reset();
  }
  OpResult<std::size_t> getResult() const noexcept { return detail::resultOf(c, result_private_do_not_touch); }
};

struct FileSync {
  Completion c;
  fd_t handle;
  FileSyncFlags flags;

  void init(fd_t h, FileSyncFlags f) noexcept {
    c.init(Op::file_sync);
    handle = h;
    flags = f;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

// Truncates or extends the file to `length` bytes.
struct FileSetSize {
  Completion c;
  DelegatedWork internal;  // used only when the pool runs it
  std::uint64_t length;
  fd_t handle;

  void init(fd_t h, std::uint64_t len) noexcept {
    c.init(Op::file_set_size);
    length = len;
    handle = h;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

struct FileSetPermissions {
  Completion c;
  DelegatedWork internal;
  fd_t handle;
  std::uint32_t mode;

  void init(fd_t h, std::uint32_t m) noexcept {
    c.init(Op::file_set_permissions);
    handle = h;
    mode = m;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

// A null id is left unchanged.
struct FileSetOwner {
  Completion c;
  DelegatedWork internal;
  fd_t handle;
  std::optional<std::uint32_t> uid;
  std::optional<std::uint32_t> gid;

  void init(fd_t h, std::optional<std::uint32_t> u, std::optional<std::uint32_t> g) noexcept {
    c.init(Op::file_set_owner);
    handle = h;
    uid = u;
    gid = g;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

// `timestamps` comes first: the record's header is not at offset 0.
struct FileSetTimestamps {
  FileTimestamps timestamps;
  Completion c;
  DelegatedWork internal;
  fd_t handle;

  void init(fd_t h, FileTimestamps t) noexcept {
    timestamps = t;
    c.init(Op::file_set_timestamps);
    handle = h;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

// Result: the size in bytes.
struct FileSize {
  Completion c;
  std::uint64_t result_private_do_not_touch;
  FileSizeData internal;
  fd_t handle;

  void init(fd_t h) noexcept {
    c.init(Op::file_size);
    result_private_do_not_touch = 0;
    internal = {};
    handle = h;
  }
  OpResult<std::uint64_t> getResult() const noexcept { return detail::resultOf(c, result_private_do_not_touch); }
};

// Without a path (null data): the descriptor itself. With a path: relative to
// `handle` as a directory; with follow_symlinks false a link is reported as
// itself.
struct FileStat {
  Completion c;
  FileStatInfo result_private_do_not_touch;
  FileStatData internal;
  std::string_view path;  // nullable: data() == nullptr
  fd_t handle;
  FileStatFlags flags;

  void init(fd_t h, std::string_view p, FileStatFlags f) noexcept {
    c.init(Op::file_stat);
    result_private_do_not_touch = {};
    internal = {};
    path = p;
    handle = h;
    flags = f;
  }
  OpResult<FileStatInfo> getResult() const noexcept { return detail::resultOf(c, result_private_do_not_touch); }
};

// The path the descriptor was opened by. Result: its length in `buffer`.
struct FileRealPath {
  Completion c;
  std::size_t result_private_do_not_touch;
  DelegatedWork internal;
  std::span<char> buffer;
  fd_t fd;

  void init(fd_t f, std::span<char> buf) noexcept {
    c.init(Op::file_real_path);
    result_private_do_not_touch = 0;
    buffer = buf;
    fd = f;
  }
  OpResult<std::size_t> getResult() const noexcept { return detail::resultOf(c, result_private_do_not_touch); }
};

// Gives the open file `fd` the new name new_dir/new_path.
struct FileHardLink {
  Completion c;
  DelegatedWork internal;
  std::string_view new_path;
  fd_t fd;
  fd_t new_dir;
  HardLinkFlags flags;

  void init(fd_t f, fd_t nd, std::string_view np, HardLinkFlags fl) noexcept {
    c.init(Op::file_hard_link);
    new_path = np;
    fd = f;
    new_dir = nd;
    flags = fl;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

struct PipePoll {
  enum class Event : std::uint8_t { read = 0, write = 1 };

  Completion c;
  fd_t handle;
  Event event;

  void init(fd_t h, Event e) noexcept {
    c.init(Op::pipe_poll);
    handle = h;
    event = e;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

// pipe2(O_CLOEXEC | O_NONBLOCK), done inside submit. Result: {read end, write end}.
struct PipeCreate {
  Completion c;
  std::array<fd_t, 2> result_private_do_not_touch;

  void init() noexcept {
    c.init(Op::pipe_create);
    result_private_do_not_touch = {-1, -1};
  }
  OpResult<std::array<fd_t, 2>> getResult() const noexcept { return detail::resultOf(c, result_private_do_not_touch); }
};

struct PipeClose {
  Completion c;
  fd_t handle;

  void init(fd_t h) noexcept {
    c.init(Op::pipe_close);
    handle = h;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

// ioctl(handle, code, arg) on the pool. Result: the ioctl's return value.
struct DeviceIoControl {
  Completion c;
  DeviceIoControlData internal;
  void* arg;
  std::int32_t result_private_do_not_touch;
  fd_t handle;
  std::uint32_t code;

  void init(fd_t h, std::uint32_t cd, void* a) noexcept {
    c.init(Op::device_io_control);
    arg = a;
    result_private_do_not_touch = 0;
    handle = h;
    code = cd;
  }
  OpResult<std::int32_t> getResult() const noexcept { return detail::resultOf(c, result_private_do_not_touch); }
};

static_assert(std::is_standard_layout_v<FileOpen> && std::is_standard_layout_v<FileCreate> &&
              std::is_standard_layout_v<FileClose> && std::is_standard_layout_v<FileRead> &&
              std::is_standard_layout_v<FileWrite> && std::is_standard_layout_v<FileReadStreaming> &&
              std::is_standard_layout_v<FileWriteStreaming> && std::is_standard_layout_v<FileSync> &&
              std::is_standard_layout_v<FileSetSize> && std::is_standard_layout_v<FileSetPermissions> &&
              std::is_standard_layout_v<FileSetOwner> && std::is_standard_layout_v<FileSetTimestamps> &&
              std::is_standard_layout_v<FileSize> && std::is_standard_layout_v<FileStat> &&
              std::is_standard_layout_v<FileRealPath> && std::is_standard_layout_v<FileHardLink> &&
              std::is_standard_layout_v<PipePoll> && std::is_standard_layout_v<PipeCreate> &&
              std::is_standard_layout_v<PipeClose> && std::is_standard_layout_v<DeviceIoControl>);

}  // namespace vorn::ev
