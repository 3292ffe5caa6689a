// A minimal io_uring for the benchmark programs: raw system calls and the
// kernel's UAPI header, one thread, no library. Standalone on purpose: the
// load generator and the native echo server must not share code with the
// loop they measure.
#pragma once

#include <linux/io_uring.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

[[noreturn]] inline void die(const char* what, int err) {
  std::fprintf(stderr, "%s: %s\n", what, std::strerror(err));
  std::exit(2);
}

inline std::uint64_t nowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::uint64_t(ts.tv_sec) * 1'000'000'000u + std::uint64_t(ts.tv_nsec);
}

// Pins the calling thread to one CPU; a negative cpu leaves it free.
inline void pinTo(int cpu) {
  if (cpu < 0) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  if (sched_setaffinity(0, sizeof set, &set) != 0) die("sched_setaffinity", errno);
}

class Ring {
 public:
  // Sets the ring up with the fastest single-thread flags the kernel takes,
  // falling back to none.
  explicit Ring(unsigned entries) {
    const unsigned tries[] = {
        IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN | IORING_SETUP_SUBMIT_ALL,
        IORING_SETUP_COOP_TASKRUN | IORING_SETUP_SUBMIT_ALL,
        0,
    };
    int err = 0;
    for (unsigned flags : tries) {
      io_uring_params p{};
      p.flags = flags;
      p.cq_entries = entries * 4;
      p.flags |= IORING_SETUP_CQSIZE;
      fd_ = int(syscall(__NR_io_uring_setup, entries, &p));
      if (fd_ >= 0) {
        map(p);
        return;
      }
      err = errno;
      if (err != EINVAL) break;
    }
    die("io_uring_setup", err);
  }

  Ring(const Ring&) = delete;
  Ring& operator=(const Ring&) = delete;
  ~Ring() { ::close(fd_); }

  int fd() const { return fd_; }

  // A zeroed submission entry; submits what is queued when the queue is full.
  io_uring_sqe* sqe() {
    if (tail_ - std::atomic_ref<unsigned>(*sqHead()).load(std::memory_order_acquire) == sqEntries_) submit(0, nullptr);
    io_uring_sqe* e = &sqes_[tail_ & sqMask_];
    std::memset(e, 0, sizeof *e);
    ++tail_;
    return e;
  }

  // Submits the queued entries and waits for at least wait_nr completions,
  // at most timeout_ns when given (0: no limit). EINTR and ETIME are not errors.
  void submit(unsigned wait_nr, const std::uint64_t* timeout_ns) {
    std::atomic_ref<unsigned>(*sqTail()).store(tail_, std::memory_order_release);
    unsigned pending = tail_ - submitted_;
    unsigned flags = IORING_ENTER_GETEVENTS;
    io_uring_getevents_arg arg{};
    __kernel_timespec ts{};
    void* argp = nullptr;
    std::size_t argsz = 0;
    if (timeout_ns != nullptr) {
      ts.tv_sec = std::int64_t(*timeout_ns / 1'000'000'000u);
      ts.tv_nsec = std::int64_t(*timeout_ns % 1'000'000'000u);
      arg.ts = std::uint64_t(reinterpret_cast<std::uintptr_t>(&ts));
      arg.sigmask_sz = _NSIG / 8;
      flags |= IORING_ENTER_EXT_ARG;
      argp = &arg;
      argsz = sizeof arg;
    }
    long r = syscall(__NR_io_uring_enter, fd_, pending, wait_nr, flags, argp, argsz);
    if (r < 0) {
      if (errno == EINTR || errno == ETIME || errno == EBUSY || errno == EAGAIN) return;
      die("io_uring_enter", errno);
    }
    submitted_ += unsigned(r);
  }

  // Calls f(cqe) for each completion ready now; returns how many.
  template <class F>
  unsigned reap(F&& f) {
    unsigned head = *cqHead();
    unsigned tail = std::atomic_ref<unsigned>(*cqTail()).load(std::memory_order_acquire);
    unsigned n = 0;
    while (head != tail) {
      f(cqes_[head & cqMask_]);
      ++head;
      ++n;
    }
    std::atomic_ref<unsigned>(*cqHead()).store(head, std::memory_order_release);
    return n;
  }

 private:
  void map(const io_uring_params& p) {
    sqEntries_ = p.sq_entries;
    std::size_t sqSize = p.sq_off.array + p.sq_entries * sizeof(unsigned);
    std::size_t cqSize = p.cq_off.cqes + p.cq_entries * sizeof(io_uring_cqe);
    if (p.features & IORING_FEAT_SINGLE_MMAP) sqSize = cqSize = sqSize > cqSize ? sqSize : cqSize;
    sq_ = static_cast<char*>(
        mmap(nullptr, sqSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd_, IORING_OFF_SQ_RING));
    if (sq_ == MAP_FAILED) die("mmap sq", errno);
    cq_ = sq_;
    if (!(p.features & IORING_FEAT_SINGLE_MMAP)) {
      cq_ = static_cast<char*>(
          mmap(nullptr, cqSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd_, IORING_OFF_CQ_RING));
      if (cq_ == MAP_FAILED) die("mmap cq", errno);
    }
    sqes_ = static_cast<io_uring_sqe*>(mmap(nullptr, p.sq_entries * sizeof(io_uring_sqe), PROT_READ | PROT_WRITE,
                                            MAP_SHARED | MAP_POPULATE, fd_, IORING_OFF_SQES));
    if (sqes_ == MAP_FAILED) die("mmap sqes", errno);
    sqOff_ = p.sq_off;
    cqes_ = reinterpret_cast<io_uring_cqe*>(cq_ + p.cq_off.cqes);
    cqOff_ = p.cq_off;
    sqMask_ = *reinterpret_cast<unsigned*>(sq_ + p.sq_off.ring_mask);
    cqMask_ = *reinterpret_cast<unsigned*>(cq_ + p.cq_off.ring_mask);
    // Entry i of the indirection array always names sqe i.
    auto* array = reinterpret_cast<unsigned*>(sq_ + p.sq_off.array);
    for (unsigned i = 0; i < p.sq_entries; ++i) array[i] = i;
    tail_ = submitted_ = *sqTail();
  }

  unsigned* sqHead() { return reinterpret_cast<unsigned*>(sq_ + sqOff_.head); }
  unsigned* sqTail() { return reinterpret_cast<unsigned*>(sq_ + sqOff_.tail); }
  unsigned* cqHead() { return reinterpret_cast<unsigned*>(cq_ + cqOff_.head); }
  unsigned* cqTail() { return reinterpret_cast<unsigned*>(cq_ + cqOff_.tail); }

  int fd_ = -1;
  char* sq_ = nullptr;
  char* cq_ = nullptr;
  io_uring_sqe* sqes_ = nullptr;
  io_uring_cqe* cqes_ = nullptr;
  io_sqring_offsets sqOff_{};
  io_cqring_offsets cqOff_{};
  unsigned sqMask_ = 0, cqMask_ = 0, sqEntries_ = 0;
  unsigned tail_ = 0;       // local submission tail
  unsigned submitted_ = 0;  // entries the kernel has taken
};

}  // namespace bench
