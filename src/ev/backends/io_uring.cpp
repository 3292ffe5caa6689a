#include "ev/backends/io_uring.hpp"

#include <poll.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "ev/loop.hpp"
#include "os/assert.hpp"
#include "os/eventfd.hpp"
#include "os/log.hpp"
#include "os/thread.hpp"
#include "os/uring.hpp"

namespace vorn::ev::backends {

namespace {

// COOP_TASKRUN | SINGLE_ISSUER | DEFER_TASKRUN: completions are processed
// only when the one submitting thread enters the ring, without interrupts.
constexpr std::uint32_t setup_flags =
    IORING_SETUP_COOP_TASKRUN | IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN;
static_assert(setup_flags == 0x3100);

constexpr std::uint32_t probe_ops = 256;
constexpr std::uint8_t ftruncate_opcode = 55;
static_assert(IORING_OP_FTRUNCATE == ftruncate_opcode);

// Per wall clock: the special kind and the kernel timeout flags.
constexpr SpecialKind wall_kind[2] = {SpecialKind::wall_boot, SpecialKind::wall_real};
constexpr std::uint32_t wall_flags[2] = {IORING_TIMEOUT_ABS | IORING_TIMEOUT_BOOTTIME,
                                         IORING_TIMEOUT_ABS | IORING_TIMEOUT_REALTIME};
static_assert(wall_flags[0] == 5 && wall_flags[1] == 9);

void unmapRing(Ring& ring) noexcept {
  if (ring.sqes_ptr != nullptr) ::munmap(ring.sqes_ptr, ring.sqes_size);
  if (ring.ring_ptr != nullptr) ::munmap(ring.ring_ptr, ring.ring_size);
  ring.sqes_ptr = nullptr;
  ring.ring_ptr = nullptr;
}

template <class T>
T* at(void* base, std::uint32_t offset) noexcept {
  return reinterpret_cast<T*>(static_cast<char*>(base) + offset);
}

// Creates and maps a ring; attached to `wq_fd`'s kernel worker pool unless -1.
// On failure *failed names the system call that failed.
Error setupRing(Ring& ring, std::uint16_t entries, int wq_fd, const char** failed) noexcept {
  io_uring_params p;
  std::memset(&p, 0, sizeof p);
  // Created disabled: a single-issuer ring belongs to the thread that enables
  // it, and that is the thread that first waits in it (poll), which need not
  // be the one that created the loop.
  p.flags = setup_flags | IORING_SETUP_R_DISABLED;
  p.sq_thread_idle = 1000;
  if (wq_fd != -1) {
    p.flags |= IORING_SETUP_ATTACH_WQ;
    p.wq_fd = static_cast<std::uint32_t>(wq_fd);
  }
  std::memset(&ring, 0, sizeof ring);
  ring.fd = -1;
  int fd;
  *failed = "io_uring_setup";
  if (Error e = os::uringSetup(entries, &p, &fd); e != Error::none) return e;
  ring.fd = fd;
  ring.setup_flags = p.flags;
  ring.features = p.features;
  if ((p.features & IORING_FEAT_SINGLE_MMAP) == 0) {
    ::close(fd);
    ring.fd = -1;
    return Error::OperationNotSupported;
  }

  std::size_t sq_size = p.sq_off.array + p.sq_entries * sizeof(std::uint32_t);
  std::size_t cq_size = p.cq_off.cqes + p.cq_entries * sizeof(io_uring_cqe);
  ring.ring_size = std::max(sq_size, cq_size);
  *failed = "mmap";
  void* ptr =
      ::mmap(nullptr, ring.ring_size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, IORING_OFF_SQ_RING);
  if (ptr == MAP_FAILED) {
    ::close(fd);
    ring.fd = -1;
    return Error::SystemResources;
  }
  ring.ring_ptr = ptr;
  ring.sqes_size = p.sq_entries * sizeof(io_uring_sqe);
  void* sqes = ::mmap(nullptr, ring.sqes_size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd, IORING_OFF_SQES);
  if (sqes == MAP_FAILED) {
    unmapRing(ring);
    ::close(fd);
    ring.fd = -1;
    return Error::SystemResources;
  }
  ring.sqes_ptr = sqes;
  ring.sqes = static_cast<io_uring_sqe*>(sqes);

  ring.sq_khead = at<std::atomic<std::uint32_t>>(ptr, p.sq_off.head);
  ring.sq_ktail = at<std::atomic<std::uint32_t>>(ptr, p.sq_off.tail);
  ring.sq_kflags = at<std::atomic<std::uint32_t>>(ptr, p.sq_off.flags);
  ring.sq_array = at<std::uint32_t>(ptr, p.sq_off.array);
  ring.sq_mask = *at<std::uint32_t>(ptr, p.sq_off.ring_mask);
  ring.sq_entries = *at<std::uint32_t>(ptr, p.sq_off.ring_entries);
  ring.cq_khead = at<std::atomic<std::uint32_t>>(ptr, p.cq_off.head);
  ring.cq_ktail = at<std::atomic<std::uint32_t>>(ptr, p.cq_off.tail);
  ring.cq_koverflow = at<std::atomic<std::uint32_t>>(ptr, p.cq_off.overflow);
  ring.cqes = at<io_uring_cqe>(ptr, p.cq_off.cqes);
  ring.cq_mask = *at<std::uint32_t>(ptr, p.cq_off.ring_mask);
  ring.cq_entries = *at<std::uint32_t>(ptr, p.cq_off.ring_entries);
  // The local tail starts where the kernel's is (0 on a new ring).
  ring.sqe_head = ring.sqe_tail = ring.sq_ktail->load(std::memory_order_relaxed);
  *failed = nullptr;
  return Error::none;
}

void closeRing(Ring& ring) noexcept {
  unmapRing(ring);
  if (ring.fd >= 0) ::close(ring.fd);
  ring.fd = -1;
}

// Asks the kernel whether the ring can truncate files itself; the answer is
// stored once per group. A failed probe counts as "not supported"; false
// when the io_uring_register call itself failed (errno says why).
bool probeAndStoreFtruncate(SharedState& shared, int fd) noexcept {
  // io_uring_probe (16 bytes) followed by 256 io_uring_probe_op (8 bytes each).
  alignas(io_uring_probe) unsigned char buf[sizeof(io_uring_probe) + probe_ops * sizeof(io_uring_probe_op)];
  static_assert(sizeof buf == 2064);
  std::memset(buf, 0, sizeof buf);
  auto* probe = reinterpret_cast<io_uring_probe*>(buf);
  std::uint8_t support = SharedState::ftruncate_unsupported;
  bool registered = os::uringRegister(fd, IORING_REGISTER_PROBE, probe, probe_ops) == Error::none;
  if (registered && probe->last_op >= ftruncate_opcode && probe->ops_len >= ftruncate_opcode + 1 &&
      (probe->ops[ftruncate_opcode].flags & IO_URING_OP_SUPPORTED) != 0) {
    support = SharedState::ftruncate_supported;
  }
  shared.ftruncate_support.store(support, std::memory_order_relaxed);  // a fact, not a publication
  return registered;
}

// Whether this process may use the ring: seccomp filters that let
// io_uring_setup through may still deny io_uring_enter or io_uring_register,
// and the loop's first run would fail. One call of each, with no effect: an
// enter that submits nothing and waits for nothing, and the probe above. A
// ring not yet enabled answers the enter with EBADFD, which shows the call was
// let through; one enabled by another thread answers InvalidThread, which is
// the caller's to judge. On failure *failed names the call; errno is the
// number it failed with.
Error checkRing(Ring& ring, SharedState& shared, const char** failed) noexcept {
  Error e = os::uringEnterFlush(ring.fd, IORING_ENTER_GETEVENTS);
  if (e != Error::none && e != Error::FileDescriptorInBadState) {
    *failed = "io_uring_enter";
    return e;
  }
  if (!probeAndStoreFtruncate(shared, ring.fd)) {
    *failed = "io_uring_register";
    return Error::Unexpected;
  }
  return Error::none;
}

// A ring kept by a closed loop for the next loop of the process: setting a
// ring up and mapping it, then unmapping and closing it, is most of what a
// short-lived loop costs (test suites and command-line tools make one per
// test or per call). One slot, process-wide.
struct ParkedRing {
  Ring ring;
  int waker_eventfd;
  std::uint32_t wall_generation[2];  // carried on: a stale expiry must not match a new timeout
  pid_t submitter_tid;               // 0: never enabled, any thread may take it
  bool enabled;
  bool waker_needs_rearm;
  // The files behind the two descriptors. A program may close every
  // descriptor it does not know of (daemons do) and reuse the numbers: a
  // parked descriptor whose file changed is no longer ours to use or close.
  // The mapping holds the ring's file, so its inode stays unique while parked.
  FileId ring_id;
  FileId waker_id;
};

enum : int { parked_empty, parked_busy, parked_full };
// Touched only by the thread that moved parked_state from empty or full to
// busy, until it moves it on.
ParkedRing parked;
std::atomic<int> parked_state{parked_empty};

bool fileIdentity(int fd, FileId* id) noexcept {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  *id = FileId{st.st_dev, st.st_ino};
  return true;
}

bool sameFile(int fd, FileId id) noexcept {
  FileId now;
  return fileIdentity(fd, &now) && now.dev == id.dev && now.ino == id.ino;
}

// Drops a parked ring: unmaps it, and closes the descriptors that are still
// its own (`checked`: known to be, else each is looked at).
void closeParked(ParkedRing& p, bool checked) noexcept {
  if (!checked && !sameFile(p.ring.fd, p.ring_id)) p.ring.fd = -1;
  if (!checked && !sameFile(p.waker_eventfd, p.waker_id)) p.waker_eventfd = -1;
  closeRing(p.ring);
  if (p.waker_eventfd >= 0) ::close(p.waker_eventfd);
  p.waker_eventfd = -1;
}

// In a forked child the parked ring is the parent's (its one submitter is a
// parent thread): the child's copies of its descriptors and mappings go
// before the child's own code runs, which could reuse the numbers. A slot
// caught busy by the fork belongs to a thread the child does not have; its
// copies are left alone.
void dropParkedInChild() noexcept {
  if (parked_state.load(std::memory_order_relaxed) == parked_full) closeParked(parked, true);
  parked_state.store(parked_empty, std::memory_order_relaxed);
}

// Takes the parked ring if there is one; false otherwise. Any thread.
bool takeParked(ParkedRing* out) noexcept {
  int expected = parked_full;
  // acquire: the parking thread filled the slot before its release store.
  if (!parked_state.compare_exchange_strong(expected, parked_busy, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
    return false;
  }
  *out = parked;
  // release: this copy is done before the next parker writes the slot.
  parked_state.store(parked_empty, std::memory_order_release);
  return true;
}

// Parks a ring; false when the slot is taken (the caller closes its ring).
bool parkRing(const ParkedRing& r) noexcept {
  static const bool child_handler = ::pthread_atfork(nullptr, nullptr, dropParkedInChild) == 0;
  if (!child_handler) return false;
  int expected = parked_empty;
  // acquire: the last taker's copy is done before this write.
  if (!parked_state.compare_exchange_strong(expected, parked_busy, std::memory_order_acquire,
                                            std::memory_order_relaxed)) {
    return false;
  }
  parked = r;
  parked_state.store(parked_full, std::memory_order_release);  // release: the slot is filled before a taker reads it
  return true;
}

// Moves the parked ring into `io` if this thread can use it; false when there
// is none. A ring enabled by another thread cannot be entered from this one:
// it is dropped, so that this thread's ring can be parked in its place.
bool adoptParked(IoUring& io, std::uint16_t queue_size) noexcept {
  ParkedRing p;
  if (!takeParked(&p)) return false;
  if (!sameFile(p.ring.fd, p.ring_id) || !sameFile(p.waker_eventfd, p.waker_id)) {
    closeParked(p, false);
    return false;
  }
  if (p.ring.sq_entries != queue_size || (p.enabled && p.submitter_tid != os::currentThreadId())) {
    closeParked(p, true);
    return false;
  }
  io.ring = p.ring;
  io.waker_eventfd = p.waker_eventfd;
  io.wall_generation[0] = p.wall_generation[0];
  io.wall_generation[1] = p.wall_generation[1];
  io.submitter_tid = p.submitter_tid;
  io.enabled = p.enabled;
  io.waker_needs_rearm = p.waker_needs_rearm;
  io.ring_id = p.ring_id;
  io.waker_id = p.waker_id;
  return true;
}

// Closes an adopted ring and its waker, and forgets their state.
void dropAdopted(IoUring& io) noexcept {
  closeRing(io.ring);
  ::close(io.waker_eventfd);
  io.waker_eventfd = -1;
  io.submitter_tid = 0;
  io.enabled = false;
  io.waker_needs_rearm = true;
}

}  // namespace

Error IoUring::init(Loop* loop, std::uint16_t queue_size, bool reuse) noexcept {
  allocator = loop->allocator;
  shared_state = &loop->loop_group->shared;
  pending = Queue{};
  cancel_backlog = Queue{};
  waker_eventfd = -1;
  ring.fd = -1;
  failed_call = nullptr;
  ring_id = waker_id = FileId{0, 0};
  submitter_tid = 0;
  enabled = false;
  submitted = false;
  waker_needs_rearm = true;
  wall_generation[0] = wall_generation[1] = 0;
  if (queue_size == 0 || (queue_size & (queue_size - 1)) != 0) return Error::Unexpected;

  // acquire: pairs with the winner's compare-and-swap, so the probe result
  // stored before it is visible.
  int master = shared_state->master_fd.load(std::memory_order_acquire);
  bool is_master = false;
  bool reused = false;
  if (master == -1) {
    if (reuse && adoptParked(*this, queue_size)) {
      reused = true;
      // Checked again: a filter may have come since the ring was made.
      Error e = checkRing(ring, *shared_state, &failed_call);
      if (e != Error::none) {
        dropAdopted(*this);
        reused = false;
        // InvalidThread: the ring's submitter has ended and this thread got
        // its id; a new ring serves. Anything else is a denial.
        if (e != Error::InvalidThread) return e;
        failed_call = nullptr;
      }
    }
    if (!reused) {
      if (Error e = setupRing(ring, queue_size, -1, &failed_call); e != Error::none) return e;
      if (Error e = checkRing(ring, *shared_state, &failed_call); e != Error::none) {
        closeRing(ring);
        return e;
      }
    }
    int expected = -1;
    if (shared_state->master_fd.compare_exchange_strong(expected, ring.fd, std::memory_order_acq_rel)) {
      is_master = true;
    } else {
      // Another loop of the group won the race: attach to its ring instead.
      if (reused) {
        dropAdopted(*this);
        reused = false;
      } else {
        closeRing(ring);
      }
      master = expected;
    }
  }
  if (!is_master) {
    if (Error e = setupRing(ring, queue_size, master, &failed_call); e != Error::none) return e;
  }

  int efd = reused ? waker_eventfd : os::eventfdCreate();
  if (efd < 0) {
    failed_call = "eventfd";
    if (is_master) {
      // Give the master slot back: leaving our closed fd there would hand a
      // dead (or reused) descriptor to the next loop of the group.
      int self = ring.fd;
      shared_state->master_fd.compare_exchange_strong(self, -1, std::memory_order_acq_rel);
    }
    closeRing(ring);
    return efd == -EMFILE   ? Error::ProcessFdQuotaExceeded
           : efd == -ENFILE ? Error::SystemFdQuotaExceeded
           : efd == -ENOMEM ? Error::SystemResources
                            : Error::Unexpected;
  }
  waker_eventfd = efd;
  // Read while both are surely ours (an adopted ring brings its own): at
  // close the numbers may name other files, closed and reused behind the loop.
  if (!reused && (!fileIdentity(ring.fd, &ring_id) || !fileIdentity(waker_eventfd, &waker_id))) {
    ring_id = waker_id = FileId{0, 0};
  }
  shared_state->refcount.fetch_add(1, std::memory_order_relaxed);  // ordering comes from master_fd

  wall_armed[0] = wall_armed[1] = std::nullopt;
  wall_ts[0] = wall_ts[1] = __kernel_timespec{0, 0};
  // A reused ring keeps its waker's poll (or the need to re-arm it).
  if (!reused) armWaker();
  return Error::none;
}

void IoUring::deinit(bool park) noexcept {
  // Parked only when nothing of the closed loop can come back through the
  // ring: no operation (the caller's word), nothing deferred, no wall-clock
  // timeout, and every prepared entry taken by the kernel (a ring never
  // enabled holds at most its waker's poll). What may still arrive is the
  // backend's own: the waker's poll, results of cancel requests.
  if (park && ring.fd == shared_state->master_fd.load(std::memory_order_acquire) &&
      shared_state->refcount.load(std::memory_order_relaxed) == 1 && pending.empty() && cancel_backlog.empty() &&
      !wall_armed[0].has_value() && !wall_armed[1].has_value() &&
      (!enabled || (ring.sqe_head == ring.sqe_tail && ring.sq_khead->load(std::memory_order_acquire) ==
                                                          ring.sq_ktail->load(std::memory_order_relaxed)))) {
    // A kernel that gives every ring the one shared anonymous inode leaves no
    // way to recognise ours later: such a ring is not parked. Nor is one whose
    // numbers name other files now (the program closed ours behind the loop).
    bool recognisable = ring_id.ino != 0 && (ring_id.dev != waker_id.dev || ring_id.ino != waker_id.ino) &&
                        sameFile(ring.fd, ring_id) && sameFile(waker_eventfd, waker_id);
    ParkedRing p{ring,          waker_eventfd, {wall_generation[0], wall_generation[1]},
                 submitter_tid, enabled,       waker_needs_rearm,
                 ring_id,       waker_id};
    if (recognisable && parkRing(p)) {
      // The slot owns the ring and the waker now; the group lets go of them.
      ring.fd = -1;
      ring.ring_ptr = ring.sqes_ptr = nullptr;
      waker_eventfd = -1;
      shared_state->master_fd.store(-1, std::memory_order_release);
      shared_state->refcount.fetch_sub(1, std::memory_order_acq_rel);
      return;
    }
  }
  // A number the program closed behind the loop and reused names its file
  // now, which is not ours to close (identities unknown: closed as ever).
  const int own_fd = ring.fd;
  const bool ring_ours = ring_id.ino == 0 || sameFile(ring.fd, ring_id);
  if (waker_eventfd >= 0 && (waker_id.ino == 0 || sameFile(waker_eventfd, waker_id))) ::close(waker_eventfd);
  waker_eventfd = -1;
  int master = shared_state->master_fd.load(std::memory_order_acquire);
  if (ring.fd == master || !ring_ours) {
    unmapRing(ring);  // the group's other rings are attached to this fd: it stays open
  } else {
    closeRing(ring);
  }
  ring.fd = -1;
  if (shared_state->refcount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    int fd = shared_state->master_fd.exchange(-1, std::memory_order_acq_rel);
    if (fd != -1 && (fd != own_fd || ring_ours)) ::close(fd);
  }
}

bool IoUring::rebind(std::size_t inflight) noexcept {
  // Operations whose entries never reached the kernel (a loop given a parked
  // ring, then run on another thread) move with the loop.
  if (submitted && (inflight != 0 || !pending.empty() || !cancel_backlog.empty())) return false;
  if (shared_state->refcount.load(std::memory_order_acquire) != 1 ||
      shared_state->master_fd.load(std::memory_order_acquire) != ring.fd) {
    return false;
  }
  Ring fresh;
  const char* failed;
  if (setupRing(fresh, static_cast<std::uint16_t>(ring.sq_entries), -1, &failed) != Error::none) return false;
  // Prepared entries go over in order, but for the waker's poll and the
  // wall-clock timeouts, which are made afresh for the new ring.
  for (std::uint32_t i = ring.sqe_head; i != ring.sqe_tail; ++i) {
    const io_uring_sqe& sqe = ring.sqes[i & ring.sq_mask];
    if (udIsSpecial(sqe.user_data) && udKind(sqe.user_data) != SpecialKind::cancel) continue;
    fresh.sqes[fresh.sqe_tail & fresh.sq_mask] = sqe;
    ++fresh.sqe_tail;
  }
  // Only backend entries live in the old ring's kernel side (the waker's
  // poll, wall-clock timeouts, finished cancel requests): they go with it.
  closeRing(ring);
  ring = fresh;
  if (!fileIdentity(ring.fd, &ring_id)) ring_id = FileId{0, 0};
  shared_state->master_fd.store(ring.fd, std::memory_order_release);
  wall_armed[0] = wall_armed[1] = std::nullopt;  // the next timer check arms them again
  enabled = false;
  submitted = false;
  submitter_tid = 0;
  waker_needs_rearm = true;
  armWaker();
  return true;
}

namespace {

// Publishes the prepared entries; returns how many the kernel has not consumed.
std::uint32_t flushSubmissions(Ring& ring) noexcept {
  std::uint32_t tail = ring.sq_ktail->load(std::memory_order_relaxed);  // only this thread writes it
  while (ring.sqe_head != ring.sqe_tail) {
    ring.sq_array[tail & ring.sq_mask] = ring.sqe_head & ring.sq_mask;
    ++tail;
    ++ring.sqe_head;
  }
  // release: the kernel must see the filled entries once it sees the tail.
  ring.sq_ktail->store(tail, std::memory_order_release);
  return tail - ring.sq_khead->load(std::memory_order_acquire);
}

}  // namespace

io_uring_sqe* IoUring::getSqe() noexcept {
  // acquire: the kernel has finished reading the entries before its head.
  std::uint32_t head = ring.sq_khead->load(std::memory_order_acquire);
  if (ring.sqe_tail - head >= ring.sq_entries) {
    // Full: hand what is queued to the kernel now. Deferring instead would
    // leave the new entry (a cancel request, say) waiting for a poll that may
    // block for as long as nothing else completes.
    if (!submitQueued()) return nullptr;
    head = ring.sq_khead->load(std::memory_order_acquire);
    if (ring.sqe_tail - head >= ring.sq_entries) return nullptr;
  }
  io_uring_sqe* sqe = &ring.sqes[ring.sqe_tail & ring.sq_mask];
  ++ring.sqe_tail;
  std::memset(sqe, 0, sizeof *sqe);
  return sqe;
}

bool IoUring::submitQueued() noexcept {
  // A ring not yet enabled takes no submissions: its first poll binds it.
  // Nor does a parked one before this loop's first poll, which may still
  // move the loop to another thread.
  if (!enabled || !submitted) return false;
  std::uint32_t to_submit = flushSubmissions(ring);
  if (to_submit == 0) return false;
  std::uint32_t taken;
  Error e;
  do {
    e = os::uringEnterSubmit(ring.fd, to_submit, &taken);
  } while (e == Error::SignalInterrupt);
  // Any other failure (the kernel is short of memory or its completion
  // queue is overcommitted) leaves the entries queued for the next poll.
  return e == Error::none && taken > 0;
}

io_uring_sqe* IoUring::getSqeOrDefer(Completion* c) noexcept {
  io_uring_sqe* sqe = getSqe();
  if (sqe == nullptr) pending.push(c);
  return sqe;
}

bool IoUring::armWaker() noexcept {
  io_uring_sqe* sqe = getSqe();
  if (sqe == nullptr) return false;
  sqe->opcode = IORING_OP_POLL_ADD;
  sqe->fd = waker_eventfd;
  sqe->poll32_events = POLLIN;
  sqe->len = IORING_POLL_ADD_MULTI;
  sqe->user_data = waker_ud;
  waker_needs_rearm = false;
  return true;
}

void IoUring::wake() noexcept {
  int err = os::eventfdWrite(waker_eventfd, 1);
  // EAGAIN: the counter is saturated, so a wake-up is pending anyway.
  if (err != 0 && err != EAGAIN) log::fatalErrno("eventfd_write: write failed: ", err);
}

namespace {

// Copies up to harvest_max ready completion entries and frees their slots.
std::size_t harvest(Ring& ring, Cqe* out) noexcept {
  std::uint32_t head = ring.cq_khead->load(std::memory_order_relaxed);  // only this thread writes it
  // acquire: the entries before the kernel's tail are fully written.
  std::uint32_t tail = ring.cq_ktail->load(std::memory_order_acquire);
  std::size_t n = std::min<std::size_t>(tail - head, harvest_max);
  for (std::size_t i = 0; i < n; ++i) {
    const io_uring_cqe& cqe = ring.cqes[(head + i) & ring.cq_mask];
    out[i] = Cqe{cqe.user_data, cqe.res, cqe.flags};
  }
  // release: the kernel may reuse the slots only after they were copied.
  ring.cq_khead->store(head + static_cast<std::uint32_t>(n), std::memory_order_release);
  return n;
}

}  // namespace

std::expected<bool, Error> IoUring::poll(LoopState& state, std::uint64_t timeout_ns) noexcept {
  if (!enabled) {
    if (Error e = os::uringRegister(ring.fd, IORING_REGISTER_ENABLE_RINGS, nullptr, 0); e != Error::none) {
      return std::unexpected(e);
    }
    enabled = true;
    submitter_tid = os::currentThreadId();
  }
  submitted = true;
  // No wait may start without an armed waker: it could never be woken.
  if (waker_needs_rearm && !armWaker()) timeout_ns = 0;
  // Deferred work goes out before the wait: operations that found the queue
  // full (those cancelled meanwhile finish here, without the kernel) and
  // cancel requests that found no entry.
  if (!pending.empty()) drainPending(state);
  retryCancels();
  // Never wait on work that has not reached the kernel, nor with finished
  // records that nobody has dispatched yet.
  if (!pending.empty() || !cancel_backlog.empty() || !state.completions.empty()) timeout_ns = 0;
  std::uint32_t to_submit = flushSubmissions(ring);

  __kernel_timespec ts{};
  io_uring_getevents_arg arg{};
  if (timeout_ns != UINT64_MAX) {
    ts.tv_sec = static_cast<std::int64_t>(timeout_ns / 1'000'000'000);
    ts.tv_nsec = static_cast<std::int64_t>(timeout_ns % 1'000'000'000);
    arg.ts = reinterpret_cast<std::uint64_t>(&ts);
  }
  Error err = os::uringEnterWait(ring.fd, to_submit, 1, IORING_ENTER_GETEVENTS, &arg);
  // A signal ended the wait: not an error; the caller checks for signals and
  // timers, and pending work goes out with the next poll.
  if (err == Error::SignalInterrupt) return true;
  if (err != Error::none) return std::unexpected(err);

  std::size_t n = harvest(ring, cqe_buf);
  if (n == 0 && (ring.sq_kflags->load(std::memory_order_relaxed) & IORING_SQ_CQ_OVERFLOW) != 0) {
    if (Error e = os::uringEnterFlush(ring.fd, IORING_ENTER_GETEVENTS); e != Error::none) return std::unexpected(e);
    n = harvest(ring, cqe_buf);
  }
  if (n == 0) {
    drainPending(state);
    return true;
  }

  bool recheck = false;
  for (std::size_t i = 0; i < n; ++i) {
    const Cqe& cqe = cqe_buf[i];
    if (udIsSpecial(cqe.user_data)) {
      switch (udKind(cqe.user_data)) {
        case SpecialKind::wall_boot:
        case SpecialKind::wall_real: {
          int index = udKind(cqe.user_data) == SpecialKind::wall_boot ? 0 : 1;
          // Only the expiry of the currently armed generation counts; a
          // removed (-ECANCELED) or replaced timeout is ignored.
          if (cqe.res == -ETIME && udGeneration(cqe.user_data) == wall_generation[index] &&
              wall_armed[index].has_value()) {
            wall_armed[index] = std::nullopt;
            recheck = true;
          }
          break;
        }
        case SpecialKind::waker: {
          std::uint64_t value;
          int e = os::eventfdRead(waker_eventfd, &value);
          if (e != 0 && e != EAGAIN) log::fatalErrno("eventfd_read: read failed: ", e);
          if ((cqe.flags & IORING_CQE_F_MORE) == 0) waker_needs_rearm = true;
          break;
        }
        case SpecialKind::cancel: break;  // results of cancel requests and timeout removals
      }
      continue;
    }
    auto* c = reinterpret_cast<Completion*>(cqe.user_data);
    if (c->isState(State::completed) || c->isState(State::dead)) continue;  // stale entry
    cancel_backlog.remove(c);  // its result is here: no cancel request needed any more
    if (cqe.res == -EINTR) {
      pending.push(c);  // keeps its state and counters; submitted again below
      continue;
    }
    storeResult(c, cqe.res);
    markCompletedFromBackend(state, c);
  }
  drainPending(state);
  return recheck;
}

void IoUring::drainPending(LoopState& state) noexcept {
  Queue q = pending.detach();
  while (Completion* c = q.pop()) {
    // acquire: a cross-thread cancel request published the bit.
    if ((c->cancel_state.load(std::memory_order_acquire) & CancelState::requested) != 0) {
      storeResult(c, -ECANCELED);
      markCompletedFromBackend(state, c);
    } else {
      submit(state, c);  // may land in `pending` again
    }
  }
}

bool IoUring::syncWallTimer(int index, std::optional<std::uint64_t> desired) noexcept {
  if (!wall_armed[index].has_value() && !desired.has_value()) return true;
  if (wall_armed[index].has_value() && desired == wall_armed[index]) return true;
  SpecialKind kind = wall_kind[index];
  if (wall_armed[index].has_value()) {
    io_uring_sqe* sqe = getSqe();
    if (sqe == nullptr) return false;
    sqe->opcode = IORING_OP_TIMEOUT_REMOVE;
    sqe->fd = -1;
    sqe->addr = specialUd(kind, wall_generation[index]);
    sqe->user_data = cancel_ud;
  }
  if (desired.has_value()) {
    io_uring_sqe* sqe = getSqe();
    if (sqe == nullptr) {
      wall_armed[index] = std::nullopt;
      return false;
    }
    ++wall_generation[index];
    wall_ts[index] = __kernel_timespec{static_cast<std::int64_t>(*desired / 1'000'000'000),
                                       static_cast<std::int64_t>(*desired % 1'000'000'000)};
    sqe->opcode = IORING_OP_TIMEOUT;
    sqe->fd = -1;
    sqe->addr = reinterpret_cast<std::uint64_t>(&wall_ts[index]);
    sqe->len = 1;
    sqe->off = 0;
    sqe->timeout_flags = wall_flags[index];
    sqe->user_data = specialUd(kind, wall_generation[index]);
  }
  wall_armed[index] = desired;
  return true;
}

}  // namespace vorn::ev::backends
