// Every operation record of the ev loop (one per kind of Op, except the
// loop's own group/timer/async/work and the sendfile pipeline), the
// capability list of the backend, and the conversions the ring backend
// shares with its tests.
#pragma once

#include <sys/stat.h>

#include <cstdint>

#include "ev/ops_common.hpp"
#include "ev/ops_dir.hpp"
#include "ev/ops_file.hpp"
#include "ev/ops_net.hpp"
#include "ev/ops_process.hpp"

namespace vorn::ev {

// Which delegable kinds the backend performs itself (true) and which the
// loop hands to the thread pool (false).
struct BackendCapabilities {
  bool file_read;
  bool file_write;
  bool file_read_streaming;
  bool file_write_streaming;
  bool file_open;
  bool file_create;
  bool file_close;
  bool file_sync;
  bool file_set_size;
  bool file_set_permissions;
  bool file_set_owner;
  bool file_set_timestamps;
  bool dir_create_dir;
  bool dir_rename;
  bool dir_rename_preserve;
  bool dir_delete_file;
  bool dir_delete_dir;
  bool file_size;
  bool file_stat;
  bool dir_open;
  bool dir_close;
  bool dir_set_permissions;
  bool dir_set_owner;
  bool dir_set_file_permissions;
  bool dir_set_file_owner;
  bool dir_set_file_timestamps;
  bool dir_sym_link;
  bool dir_read_link;
  bool dir_hard_link;
  bool dir_access;
  bool dir_read;
  bool dir_real_path;
  bool dir_real_path_file;
  bool file_real_path;
  bool file_hard_link;
  bool net_send_file;
  bool device_io_control;
  bool process_wait;
  bool is_multi_threaded;
  bool native_wall_timers;
};

// The field of `op` in BackendCapabilities, or null for a kind that has
// none: the socket, pipe and process kinds every backend performs itself,
// and the loop's own kinds, which never reach the routing. Any thread.
constexpr bool BackendCapabilities::* capabilityOf(Op op) noexcept {
  using C = BackendCapabilities;
  switch (op) {
    case Op::file_read: return &C::file_read;
    case Op::file_write: return &C::file_write;
    case Op::file_read_streaming: return &C::file_read_streaming;
    case Op::file_write_streaming: return &C::file_write_streaming;
    case Op::file_open: return &C::file_open;
    case Op::file_create: return &C::file_create;
    case Op::file_close: return &C::file_close;
    case Op::file_sync: return &C::file_sync;
    case Op::file_set_size: return &C::file_set_size;
    case Op::file_set_permissions: return &C::file_set_permissions;
    case Op::file_set_owner: return &C::file_set_owner;
    case Op::file_set_timestamps: return &C::file_set_timestamps;
    case Op::dir_create_dir: return &C::dir_create_dir;
    case Op::dir_rename: return &C::dir_rename;
    case Op::dir_rename_preserve: return &C::dir_rename_preserve;
    case Op::dir_delete_file: return &C::dir_delete_file;
    case Op::dir_delete_dir: return &C::dir_delete_dir;
    case Op::file_size: return &C::file_size;
    case Op::file_stat: return &C::file_stat;
    case Op::dir_open: return &C::dir_open;
    case Op::dir_close: return &C::dir_close;
    case Op::dir_set_permissions: return &C::dir_set_permissions;
    case Op::dir_set_owner: return &C::dir_set_owner;
    case Op::dir_set_file_permissions: return &C::dir_set_file_permissions;
    case Op::dir_set_file_owner: return &C::dir_set_file_owner;
    case Op::dir_set_file_timestamps: return &C::dir_set_file_timestamps;
    case Op::dir_sym_link: return &C::dir_sym_link;
    case Op::dir_read_link: return &C::dir_read_link;
    case Op::dir_hard_link: return &C::dir_hard_link;
    case Op::dir_access: return &C::dir_access;
    case Op::dir_read: return &C::dir_read;
    case Op::dir_real_path: return &C::dir_real_path;
    case Op::dir_real_path_file: return &C::dir_real_path_file;
    case Op::file_real_path: return &C::file_real_path;
    case Op::file_hard_link: return &C::file_hard_link;
    case Op::net_send_file: return &C::net_send_file;
    case Op::device_io_control: return &C::device_io_control;
    case Op::process_wait: return &C::process_wait;
    default: return nullptr;
  }
}

// Whether the backend described by `caps` performs `op` itself (true) or the
// loop hands it to the thread pool (false). Any thread.
constexpr bool backendPerforms(const BackendCapabilities& caps, Op op) noexcept {
  bool BackendCapabilities::* field = capabilityOf(op);
  return field == nullptr || caps.*field;
}

}  // namespace vorn::ev

namespace vorn::ev::backends {

// The io_uring backend's split. file_set_size is native only when the
// kernel has FTRUNCATE (IoUring::fileSetSizeSupported). The ring is
// single-issuer: only the loop thread submits, so it is not multi-threaded.
// Any thread.
constexpr BackendCapabilities ioUringCapabilities(bool ftruncate_supported) noexcept {
  BackendCapabilities caps{};
  caps.file_read = caps.file_write = caps.file_read_streaming = caps.file_write_streaming = true;
  caps.file_open = caps.file_create = caps.file_close = caps.file_sync = true;
  caps.file_set_size = ftruncate_supported;
  caps.dir_create_dir = caps.dir_rename = caps.dir_rename_preserve = true;
  caps.dir_delete_file = caps.dir_delete_dir = true;
  caps.file_size = caps.file_stat = caps.dir_open = caps.dir_close = true;
  caps.process_wait = true;
  caps.native_wall_timers = true;
  return caps;  // the rest (pooled kinds, net_send_file) stays false
}

inline constexpr BackendCapabilities io_uring_capabilities_ftruncate = ioUringCapabilities(true);
inline constexpr BackendCapabilities io_uring_capabilities_no_ftruncate = ioUringCapabilities(false);

// The split of a ring whose kernel has FTRUNCATE or not
// (IoUring::fileSetSizeSupported), without building it per call. Any thread.
constexpr const BackendCapabilities& ioUringCapabilitiesOf(bool ftruncate_supported) noexcept {
  return ftruncate_supported ? io_uring_capabilities_ftruncate : io_uring_capabilities_no_ftruncate;
}

// RecvFlags -> MSG_PEEK | MSG_WAITALL | MSG_OOB | MSG_TRUNC. Any thread.
std::uint32_t recvFlagsToMsg(RecvFlags flags) noexcept;

// The kernel's statx record -> FileStatInfo (times in ns since the epoch,
// kind from the file-type bits). Any thread.
FileStatInfo statxToFileStat(const struct statx& stx) noexcept;

}  // namespace vorn::ev::backends
