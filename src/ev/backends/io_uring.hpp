// The io_uring backend: the ring, its waker eventfd, the kernel timeouts of
// the two wall clocks, and poll, the one place where the loop thread submits
// prepared entries, waits and turns harvested completion entries back into
// finished operations.
//
// Thread rules: the record belongs to its loop's owning thread (the ring is
// single-issuer with deferred task running, so only that thread may submit
// or reap; the owner is the thread that polls first). wake() is the one entry used from other threads: it touches
// only waker_eventfd. SharedState fields are atomics because loops of one
// group may run on different threads.
//
// User data of submission entries: an operation's entry carries its
// Completion's address (8-aligned, bit 0 clear). Entries the backend makes for
// itself are special: bit 0 set, bits 1-2 the SpecialKind, bits 3-63 a
// generation (compared as u32).
#pragma once

#include <linux/io_uring.h>
#include <linux/time_types.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>

#include "ev/allocator.hpp"
#include "ev/completion.hpp"
#include "ev/queue.hpp"
#include "os/error.hpp"

namespace vorn::ev {
struct Loop;
struct LoopState;
}  // namespace vorn::ev

namespace vorn::ev::backends {

// State shared by all loops of one LoopGroup: the group's master ring (whose
// kernel worker pool the other rings attach to) and the FTRUNCATE probe.
struct SharedState {
  enum : std::uint8_t { ftruncate_unknown = 0, ftruncate_supported = 1, ftruncate_unsupported = 2 };

  std::atomic<std::size_t> refcount{0};  // live backends using this state
  std::atomic<int> master_fd{-1};        // claimed by compare-and-swap from -1
  std::atomic<std::uint8_t> ftruncate_support{ftruncate_unknown};
};

enum class SpecialKind : std::uint8_t { waker = 0, cancel = 1, wall_boot = 2, wall_real = 3 };

constexpr std::uint64_t specialUd(SpecialKind kind, std::uint32_t generation) noexcept {
  return 1u | (static_cast<std::uint64_t>(kind) << 1) | (static_cast<std::uint64_t>(generation) << 3);
}
constexpr bool udIsSpecial(std::uint64_t ud) noexcept { return (ud & 1) != 0; }
constexpr SpecialKind udKind(std::uint64_t ud) noexcept { return static_cast<SpecialKind>((ud >> 1) & 3); }
constexpr std::uint32_t udGeneration(std::uint64_t ud) noexcept { return static_cast<std::uint32_t>(ud >> 3); }

inline constexpr std::uint64_t waker_ud = specialUd(SpecialKind::waker, 0);    // 1
inline constexpr std::uint64_t cancel_ud = specialUd(SpecialKind::cancel, 0);  // 3

// The mapped ring. sqe_head/sqe_tail count entries prepared locally but not
// yet published to the kernel (poll publishes them).
struct Ring {
  int fd;
  std::uint32_t setup_flags;
  std::uint32_t features;
  // Submission queue; the k* words are shared with the kernel.
  std::atomic<std::uint32_t>* sq_khead;
  std::atomic<std::uint32_t>* sq_ktail;
  std::atomic<std::uint32_t>* sq_kflags;
  std::uint32_t* sq_array;
  io_uring_sqe* sqes;
  std::uint32_t sq_mask;
  std::uint32_t sq_entries;
  std::uint32_t sqe_head;
  std::uint32_t sqe_tail;
  // Completion queue.
  std::atomic<std::uint32_t>* cq_khead;
  std::atomic<std::uint32_t>* cq_ktail;
  std::atomic<std::uint32_t>* cq_koverflow;
  io_uring_cqe* cqes;
  std::uint32_t cq_mask;
  std::uint32_t cq_entries;
  // Mappings (one for both queues thanks to the single-mapping feature).
  void* ring_ptr;
  std::size_t ring_size;
  void* sqes_ptr;
  std::size_t sqes_size;
};

// Which file a descriptor names (its device and inode), to recognise it later.
struct FileId {
  dev_t dev;
  ino_t ino;
};

// One harvested completion entry.
struct Cqe {
  std::uint64_t user_data;
  std::int32_t res;
  std::uint32_t flags;
};

inline constexpr std::size_t harvest_max = 256;

struct IoUring {
  Allocator allocator;  // path copies of path operations
  Ring ring;
  // Operations that found the submission queue full (and the kernel refused
  // to take what was queued), or whose entry came back with -EINTR;
  // resubmitted by drainPending before and after every wait, and no poll
  // waits while any remain.
  Queue pending;
  // Operations in the kernel whose cancel request found no free submission
  // entry even after submitting what was queued; sent by the next poll,
  // which does not wait while any remain. A record leaves it when its own result
  // arrives (while in the kernel its queue links are otherwise unused).
  Queue cancel_backlog;
  // Per wall clock (0 boot, 1 real): deadline of the armed kernel timeout.
  std::optional<std::uint64_t> wall_armed[2];
  // The kernel reads the armed deadlines through pointers: they live here.
  __kernel_timespec wall_ts[2];
  Cqe cqe_buf[harvest_max];
  SharedState* shared_state;
  int waker_eventfd;
  // Generation of the most recently armed timeout per wall clock; a stale
  // expiry carries an older generation and is ignored.
  std::uint32_t wall_generation[2];
  bool waker_needs_rearm;  // no multishot poll on the waker is armed
  // The ring was created disabled and is enabled by the first poll, which
  // makes the polling thread its one submitter.
  bool enabled;
  // The thread that enabled the ring (0 while disabled): the only one that
  // may enter it, whichever thread owns the loop afterwards.
  pid_t submitter_tid;
  // An entry of this loop may have reached the kernel (set by every poll and
  // submit); until then rebind can take the prepared entries along.
  bool submitted;
  // The system call that failed init ("io_uring_setup", "io_uring_enter",
  // ...), for the owner's diagnosis; null when init succeeded.
  const char* failed_call;
  // The files of ring.fd and waker_eventfd, once a park has looked them up
  // (carried with the parked ring); {0, 0}: not yet.
  FileId ring_id;
  FileId waker_id;

  // Creates the ring (master of the group, or attached to the group's master),
  // the waker and its poll request. A master ring is checked before init
  // returns: io_uring_enter and io_uring_register must be allowed (seccomp
  // filters may deny them after letting io_uring_setup through), so a loop
  // that is made can run. With `reuse`, the ring parked by deinit(true), if
  // any, is taken instead of making one (see deinit). Loop thread. Leaves
  // nothing open on failure.
  Error init(Loop* loop, std::uint16_t queue_size, bool reuse = false) noexcept;
  // Closes what init opened. With `park` (the caller has nothing in the
  // kernel), a ring alone in its group with no backend entry pending is
  // kept, with its waker, for the next init with `reuse` in this process
  // instead: one ring at most, dropped in a forked child. Loop thread.
  void deinit(bool park = false) noexcept;
  // Submits everything prepared, waits at most timeout_ns (0: do not wait;
  // UINT64_MAX: without limit) and completes what it harvests. The value asks
  // the loop to check its timers again. Loop thread.
  std::expected<bool, Error> poll(LoopState& state, std::uint64_t timeout_ns) noexcept;
  // Makes a blocked or the next poll return. Any thread.
  void wake() noexcept;
  // Makes the kernel timeout of wall clock `index` match `desired`; false only
  // when no submission entry was free. Loop thread.
  bool syncWallTimer(int index, std::optional<std::uint64_t> desired) noexcept;
  bool fileSetSizeSupported() const noexcept {
    return shared_state->ftruncate_support.load(std::memory_order_relaxed) == SharedState::ftruncate_supported;
  }

  // A zeroed free submission entry. A full queue is first handed to the
  // kernel (submitQueued); null only when that makes no room. Loop thread.
  io_uring_sqe* getSqe() noexcept;
  // Publishes the prepared entries and submits them without waiting; true
  // when the kernel took at least one. Loop thread.
  bool submitQueued() noexcept;
  // getSqe, or null after appending c to `pending`. Loop thread.
  io_uring_sqe* getSqeOrDefer(Completion* c) noexcept;

  // Operation translation (submission entries and results). Loop thread.
  void submit(LoopState& state, Completion* c) noexcept;
  void storeResult(Completion* c, std::int32_t result) noexcept;
  void cancel(Completion* target) noexcept;
  // Cancels target and waits until the kernel has let go of it (its file
  // reference dropped), then completes it with what the kernel reported:
  // Canceled, or the result it got first. An operation that never reached
  // the kernel is completed as Canceled without reaching it. True when
  // target is completed on return; false when it could not be waited for
  // (the caller then cancels it as usual). Never from inside poll. Loop
  // thread.
  bool cancelSync(LoopState& state, Completion* target) noexcept;

  // Replaces the ring with a fresh one that the next poll binds to its
  // thread, so a loop can move to another thread. Only possible while no
  // operation is in the kernel or waiting for an entry (or none has reached
  // the kernel yet: the prepared entries move along), and only for a ring
  // that is alone in its group; false otherwise (or when setup fails, in
  // which case the old ring stays). Loop thread (the new one).
  bool rebind(std::size_t inflight) noexcept;

  // Internal steps, exposed for tests.
  bool armWaker() noexcept;
  void retryCancels() noexcept;
  void drainPending(LoopState& state) noexcept;
};

}  // namespace vorn::ev::backends
