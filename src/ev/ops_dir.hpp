// Directory operation records (dir_*).
//
// dir_create_dir, dir_rename, dir_rename_preserve, dir_delete_file,
// dir_delete_dir, dir_open and dir_close run on the ring; the others run on
// the thread pool (their `internal` is the job).
//
// See ops_common.hpp for the conventions every record follows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>

#include "ev/ops_common.hpp"
#include "ev/ops_file.hpp"

namespace vorn::ev {

struct DirOpenFlags {
  bool follow_symlinks;
  bool iterate;          // will be read; without it the directory is opened as a path only
  bool resolve_beneath;  // the path may not leave `dir` (openat2)
};
struct PathSetFlags {
  bool follow_symlinks;
};
struct SymLinkFlags {
  bool is_directory;  // no effect on Linux
};
// Which rights to check; with none set only existence is checked.
struct AccessFlags {
  bool read;
  bool write;
  bool execute;
  bool follow_symlinks;
};

// NUL-terminated path copies from the backend's allocator, made on the first
// submission and freed when the result is stored.
struct DirCreateDirData {
  char* path;
};
struct DirDeleteFileData {
  char* path;
};
struct DirDeleteDirData {
  char* path;
};
struct DirOpenData {
  char* path;
  OpenHow how;  // the openat2 request when resolve_beneath is set
};
struct DirRenameData {
  char* old_path;
  char* new_path;
};
struct DirRenamePreserveData {
  char* old_path;
  char* new_path;
};

struct DirCreateDir {
  Completion c;
  DirCreateDirData internal;
  std::string_view path;
  fd_t dir;
  std::uint32_t mode;

  void init(fd_t d, std::string_view p, std::uint32_t m) noexcept {
    c.init(Op::dir_create_dir);
    internal = {};
    path = p;
    dir = d;
    mode = m;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

// Replaces an existing new name.
struct DirRename {
  Completion c;
  DirRenameData internal;
  std::string_view old_path;
  std::string_view new_path;
  fd_t old_dir;
  fd_t new_dir;

  void init(fd_t od, std::string_view op, fd_t nd, std::string_view np) noexcept {
    c.init(Op::dir_rename);
    internal = {};
    old_path = op;
    new_path = np;
    old_dir = od;
    new_dir = nd;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

// Fails with PathAlreadyExists instead of replacing an existing new name.
struct DirRenamePreserve {
  Completion c;
  DirRenamePreserveData internal;
  std::string_view old_path;
  std::string_view new_path;
  fd_t old_dir;
  fd_t new_dir;

  void init(fd_t od, std::string_view op, fd_t nd, std::string_view np) noexcept {
    c.init(Op::dir_rename_preserve);
    internal = {};
    old_path = op;
    new_path = np;
    old_dir = od;
    new_dir = nd;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

struct DirDeleteFile {
  Completion c;
  DirDeleteFileData internal;
  std::string_view path;
  fd_t dir;

  void init(fd_t d, std::string_view p) noexcept {
    c.init(Op::dir_delete_file);
    internal = {};
    path = p;
    dir = d;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

struct DirDeleteDir {
  Completion c;
  DirDeleteDirData internal;
  std::string_view path;
  fd_t dir;

  void init(fd_t d, std::string_view p) noexcept {
    c.init(Op::dir_delete_dir);
    internal = {};
    path = p;
    dir = d;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

// Result: the directory's fd.
struct DirOpen {
  Completion c;
  DirOpenData internal;
  std::string_view path;
  fd_t result_private_do_not_touch;
  fd_t dir;
  DirOpenFlags flags;

  void init(fd_t d, std::string_view p, DirOpenFlags f) noexcept {
    c.init(Op::dir_open);
    internal = {};
    path = p;
    result_private_do_not_touch = -1;
    dir = d;
    flags = f;
  }
  OpResult<fd_t> getResult() const noexcept { return detail::resultOf(c, result_private_do_not_touch); }
};

struct DirClose {
  Completion c;
  fd_t handle;

  void init(fd_t h) noexcept {
    c.init(Op::dir_close);
    handle = h;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

struct DirSetPermissions {
  Completion c;
  DelegatedWork internal;
  fd_t handle;
  std::uint32_t mode;

  void init(fd_t h, std::uint32_t m) noexcept {
    c.init(Op::dir_set_permissions);
    handle = h;
    mode = m;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

// A null id is left unchanged.
struct DirSetOwner {
  Completion c;
  DelegatedWork internal;
  fd_t handle;
  std::optional<std::uint32_t> uid;
  std::optional<std::uint32_t> gid;

  void init(fd_t h, std::optional<std::uint32_t> u, std::optional<std::uint32_t> g) noexcept {
    c.init(Op::dir_set_owner);
    handle = h;
    uid = u;
    gid = g;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

struct DirSetFilePermissions {
  Completion c;
  DelegatedWork internal;
  std::string_view path;
  fd_t dir;
  std::uint32_t mode;
  PathSetFlags flags;

  void init(fd_t d, std::string_view p, std::uint32_t m, PathSetFlags f) noexcept {
    c.init(Op::dir_set_file_permissions);
    path = p;
    dir = d;
    mode = m;
    flags = f;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

struct DirSetFileOwner {
  Completion c;
  DelegatedWork internal;
  std::string_view path;
  fd_t dir;
  std::optional<std::uint32_t> uid;
  std::optional<std::uint32_t> gid;
  PathSetFlags flags;

  void init(fd_t d, std::string_view p, std::optional<std::uint32_t> u, std::optional<std::uint32_t> g,
            PathSetFlags f) noexcept {
    c.init(Op::dir_set_file_owner);
    path = p;
    dir = d;
    uid = u;
    gid = g;
    flags = f;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

// `timestamps` comes first: the record's header is not at offset 0.
struct DirSetFileTimestamps {
  FileTimestamps timestamps;
  Completion c;
  DelegatedWork internal;
  std::string_view path;
  fd_t dir;
  PathSetFlags flags;

  void init(fd_t d, std::string_view p, FileTimestamps t, PathSetFlags f) noexcept {
    timestamps = t;
    c.init(Op::dir_set_file_timestamps);
    path = p;
    dir = d;
    flags = f;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

// Creates dir/link_path as a symbolic link whose text is `target`.
struct DirSymLink {
  Completion c;
  DelegatedWork internal;
  std::string_view target;
  std::string_view link_path;
  fd_t dir;
  SymLinkFlags flags;

  void init(fd_t d, std::string_view tgt, std::string_view link, SymLinkFlags f) noexcept {
    c.init(Op::dir_sym_link);
    target = tgt;
    link_path = link;
    dir = d;
    flags = f;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

// Result: length of the link text placed in `buffer` (not terminated). A
// text that does not fit fails with NameTooLong.
struct DirReadLink {
  Completion c;
  std::size_t result_private_do_not_touch;
  DelegatedWork internal;
  std::string_view path;
  std::span<char> buffer;
  fd_t dir;

  void init(fd_t d, std::string_view p, std::span<char> buf) noexcept {
    c.init(Op::dir_read_link);
    result_private_do_not_touch = 0;
    path = p;
    buffer = buf;
    dir = d;
  }
  OpResult<std::size_t> getResult() const noexcept { return detail::resultOf(c, result_private_do_not_touch); }
};

struct DirHardLink {
  Completion c;
  DelegatedWork internal;
  std::string_view old_path;
  std::string_view new_path;
  fd_t old_dir;
  fd_t new_dir;
  HardLinkFlags flags;

  void init(fd_t od, std::string_view op, fd_t nd, std::string_view np, HardLinkFlags f) noexcept {
    c.init(Op::dir_hard_link);
    old_path = op;
    new_path = np;
    old_dir = od;
    new_dir = nd;
    flags = f;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

struct DirAccess {
  Completion c;
  DelegatedWork internal;
  std::string_view path;
  fd_t dir;
  AccessFlags flags;

  void init(fd_t d, std::string_view p, AccessFlags f) noexcept {
    c.init(Op::dir_access);
    path = p;
    dir = d;
    flags = f;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

// Reads raw linux_dirent64 entries. Result: bytes placed in `buffer`; 0 at
// the end of the directory (also when the directory has been removed).
struct DirRead {
  Completion c;
  std::size_t result_private_do_not_touch;
  DelegatedWork internal;
  std::span<std::byte> buffer;
  fd_t handle;
  bool restart;  // rewind to the first entry before reading

  void init(fd_t h, std::span<std::byte> buf, bool rst) noexcept {
    c.init(Op::dir_read);
    result_private_do_not_touch = 0;
    buffer = buf;
    handle = h;
    restart = rst;
  }
  OpResult<std::size_t> getResult() const noexcept { return detail::resultOf(c, result_private_do_not_touch); }
};

// The absolute path of directory `fd` (AT_FDCWD: the working directory).
// Result: its length in `buffer` (not terminated).
struct DirRealPath {
  Completion c;
  std::size_t result_private_do_not_touch;
  DelegatedWork internal;
  std::span<char> buffer;
  fd_t fd;

  void init(fd_t f, std::span<char> buf) noexcept {
    c.init(Op::dir_real_path);
    result_private_do_not_touch = 0;
    buffer = buf;
    fd = f;
  }
  OpResult<std::size_t> getResult() const noexcept { return detail::resultOf(c, result_private_do_not_touch); }
};

// The absolute, link-free path of dir/path. Result: its length in `buffer`.
struct DirRealPathFile {
  Completion c;
  std::size_t result_private_do_not_touch;
  DelegatedWork internal;
  std::string_view path;
  std::span<char> buffer;
  fd_t dir;

  void init(fd_t d, std::string_view p, std::span<char> buf) noexcept {
    c.init(Op::dir_real_path_file);
    result_private_do_not_touch = 0;
    path = p;
    buffer = buf;
    dir = d;
  }
  OpResult<std::size_t> getResult() const noexcept { return detail::resultOf(c, result_private_do_not_touch); }
};

static_assert(std::is_standard_layout_v<DirCreateDir> && std::is_standard_layout_v<DirRename> &&
              std::is_standard_layout_v<DirRenamePreserve> && std::is_standard_layout_v<DirDeleteFile> &&
              std::is_standard_layout_v<DirDeleteDir> && std::is_standard_layout_v<DirOpen> &&
              std::is_standard_layout_v<DirClose> && std::is_standard_layout_v<DirSetPermissions> &&
              std::is_standard_layout_v<DirSetOwner> && std::is_standard_layout_v<DirSetFilePermissions> &&
              std::is_standard_layout_v<DirSetFileOwner> && std::is_standard_layout_v<DirSetFileTimestamps> &&
              std::is_standard_layout_v<DirSymLink> && std::is_standard_layout_v<DirReadLink> &&
              std::is_standard_layout_v<DirHardLink> && std::is_standard_layout_v<DirAccess> &&
              std::is_standard_layout_v<DirRead> && std::is_standard_layout_v<DirRealPath> &&
              std::is_standard_layout_v<DirRealPathFile>);

}  // namespace vorn::ev
