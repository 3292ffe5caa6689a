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

// RecvFlags -> MSG_PEEK | MSG_WAITALL | MSG_OOB | MSG_TRUNC. Any thread.
std::uint32_t recvFlagsToMsg(RecvFlags flags) noexcept;

// The kernel's statx record -> FileStatInfo (times in ns since the epoch,
// kind from the file-type bits). Any thread.
FileStatInfo statxToFileStat(const struct statx& stx) noexcept;

}  // namespace vorn::ev::backends
