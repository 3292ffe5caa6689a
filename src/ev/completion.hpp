// The header of every operation record, and the operation kinds.
//
// Every asynchronous operation is a caller-owned, standard-layout record that
// embeds a Completion (named `c`, at the start of almost every record). The
// caller fills the record, hands it to Loop::add and later receives exactly one
// callback; owner code recovers the record from the header with containerOf.
//
// Life cycle: new -> running (add, or the backend's submit) -> completed
// (markCompleted) -> dead (finishCompletion). A dead record belongs to its
// owner again: it may be freed or added again (add resets it first). The only
// other transition is clearTimer on a running timer, back to new.
//
// Thread rules: every field but cancel_state and cancel_next belongs to the
// loop's owning thread while the record is in the loop. cancel_state may be
// changed from any thread (compare-and-swap loops only); cancel_next is
// written by the thread that pushes the record on a loop's cancel stack.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "os/error.hpp"

namespace vorn::ev {

struct Loop;
struct Completion;

using Callback = void (*)(Loop* loop, Completion* c);

// Operation kinds; the values are part of the record layout (60 kinds).
enum class Op : std::uint8_t {
  group,
  timer,
  async,
  work,
  net_open,
  net_bind,
  net_listen,
  net_connect,
  net_accept,
  net_recv,
  net_send,
  net_recvfrom,
  net_sendto,
  net_recvmsg,
  net_sendmsg,
  net_poll,
  net_shutdown,
  net_close,
  net_send_file,
  file_open,
  file_create,
  file_close,
  file_read,
  file_write,
  file_read_streaming,
  file_write_streaming,
  file_sync,
  file_set_size,
  file_set_permissions,
  file_set_owner,
  file_set_timestamps,
  dir_create_dir,
  dir_rename,
  dir_rename_preserve,
  dir_delete_file,
  dir_delete_dir,
  file_size,
  file_stat,
  dir_open,
  dir_close,
  dir_set_permissions,
  dir_set_owner,
  dir_set_file_permissions,
  dir_set_file_owner,
  dir_set_file_timestamps,
  dir_sym_link,
  dir_read_link,
  dir_hard_link,
  dir_access,
  dir_read,
  dir_real_path,
  dir_real_path_file,
  file_real_path,
  file_hard_link,
  pipe_poll,
  pipe_create,
  pipe_close,
  device_io_control,
  mach_port,
  process_wait,
};
inline constexpr int op_count = 60;
static_assert(static_cast<int>(Op::process_wait) == op_count - 1);

// Only the low two bits are meaningful.
enum class State : std::uint8_t { new_ = 0, running = 1, completed = 2, dead = 3 };

struct Flags {
  enum : std::uint8_t {
    // Completing never calls the callback from inside the completing code:
    // the record is queued and dispatched by the tick. Set by init.
    deferred = 1,
    // After the callback returns, add the record again if the bit is still set.
    rearm = 2,
  };
};

struct CancelState {
  enum : std::uint8_t {
    requested = 1,    // someone asked for cancellation
    in_progress = 2,  // the canceller has not finished; it dispatches the record
    finished = 4,     // the result is final (set by markCompleted)
  };
};

// Membership of a Group. The loop only adds members from the group's head
// and runs owner_callback after a member's own callback; nothing else of
// the group protocol is used.
struct GroupLink {
  GroupLink* next;
  GroupLink* prev;
  void* owner;
  Callback owner_callback;
  std::uintptr_t userdata;
};

struct Completion {
  void* userdata;
  Callback callback;
  Loop* loop;               // set by add; null while never added
  Completion* cancel_next;  // link on a loop's cross-thread cancel stack
  GroupLink group;
  Completion* prev;  // links of whichever single queue or stack holds it
  Completion* next;
  Error err;
  Op op;
  State state;
  std::uint8_t flags;
  std::atomic<std::uint8_t> cancel_state;
  bool has_result;
  // The kernel's error number behind `err` when `err` was mapped from one; 0
  // when the operation succeeded or failed without a number (a code the
  // program chose itself). It takes the byte of tail padding: user-visible
  // Linux numbers are below 256, a larger (kernel-internal) one is kept as 0.
  std::uint8_t os_errno;

  // Everything zero/null, op = kind, state new, flags = deferred.
  void init(Op kind) noexcept;
  // Used by add on a dead record: clears the outcome and the cancel bits and
  // the group link; keeps userdata, callback, op, flags and the inputs.
  void reset() noexcept;
  void call(Loop* l) noexcept {
    if (callback != nullptr) callback(l, this);
  }
  void setError(Error e) noexcept {
    err = e;
    has_result = true;
  }
  // setError with the number the code was mapped from (see os_errno).
  void setOsError(Error e, int errnum) noexcept {
    setError(e);
    os_errno = errnum > 0 && errnum < 256 ? static_cast<std::uint8_t>(errnum) : 0;
  }
  int osErrno() const noexcept { return os_errno; }
  bool isState(State s) const noexcept {
    return (static_cast<std::uint8_t>(state) & 3) == static_cast<std::uint8_t>(s);
  }
  // Atomically ORs bits into cancel_state; returns the previous bits.
  std::uint8_t cancelFetchOr(std::uint8_t bits) noexcept;
  // Atomically clears bits of cancel_state; returns the previous bits.
  std::uint8_t cancelFetchAnd(std::uint8_t keep) noexcept;
};

static_assert(std::is_standard_layout_v<Completion>);
// os_errno lives in what was padding: the header did not grow.
static_assert(offsetof(Completion, os_errno) + sizeof(std::uint8_t) == sizeof(Completion));

// Recovers the record that embeds an inner object (a Completion, or a record
// embedded in a bigger one) at `offset`: containerOf<Outer>(c, offsetof(Outer, member)).
template <class Outer, class Inner>
Outer* containerOf(Inner* inner, std::size_t offset) noexcept {
  static_assert(std::is_standard_layout_v<Outer>, "containerOf needs a standard-layout record");
  return reinterpret_cast<Outer*>(reinterpret_cast<char*>(inner) - offset);
}

// The common case: the record's header is its field `c`.
template <class Record>
Record* containerOf(Completion* c) noexcept {
  return containerOf<Record>(c, offsetof(Record, c));
}

}  // namespace vorn::ev
