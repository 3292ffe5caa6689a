// Helpers for the operation tests: a loop driven until one record is
// dispatched (bounded in time), a scratch folder, an allocator that counts
// and can fail, and records built in place.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "ev/ops.hpp"
#include "loop_fixture.hpp"

namespace vorn::ev::testing {

// Records hold atomics and are pointed into: built in place, never copied.
template <class Record>
struct Rec : Record {
  template <class... Args>
  explicit Rec(Args&&... args) {
    this->init(static_cast<Args&&>(args)...);
  }
};

// Ticks (waiting, each wait capped at 100 ms) until `c` has been dispatched
// or 10 s have passed. Parked records are popped and dropped: with nobody
// calling them, a dispatched record simply reads `dead`, so a record
// dispatched during an earlier call is found at once.
inline bool runUntil(Loop& loop, Completion* c) {
  loop.max_wait = 100'000'000;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!c->isState(State::dead)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (loop.tick(true) != Error::none) return false;
    while (loop.nextDispatched() != nullptr) {
    }
  }
  return true;
}

// Adds `c`, then runs until it is dispatched.
inline bool addAndRun(Loop& loop, Completion* c) {
  loop.add(c);
  return runUntil(loop, c);
}

// A loop with a chosen allocator and pool (LoopHolder has the C allocator).
struct OpsLoop {
  std::unique_ptr<Loop> loop = std::make_unique<Loop>();

  explicit OpsLoop(Allocator alloc = cAllocator(), ThreadPool* pool = nullptr) {
    Options o{alloc, pool, nullptr, 256, true};
    Error e = loop->init(o);
    EXPECT_EQ(e, Error::none) << errorName(e);
  }
  ~OpsLoop() { loop->deinit(); }
  Loop* operator->() { return loop.get(); }
  Loop& operator*() { return *loop; }
  // Adds c and runs until it is dispatched.
  bool run(Completion* c) { return addAndRun(*loop, c); }
};

// A fresh folder under $TMPDIR (or /tmp), removed with its content at the end.
struct TempDir {
  std::string path;
  int fd = -1;

  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/ombrel-ops-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp failed";
      return;
    }
    path = buf.data();
    fd = ::open(path.c_str(), O_DIRECTORY | O_RDONLY | O_CLOEXEC);
  }
  ~TempDir() {
    if (fd >= 0) ::close(fd);
    if (path.empty()) return;
    ::nftw(
        path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
  }
  std::string operator/(const std::string& name) const { return path + "/" + name; }

  bool exists(const std::string& name) const {
    struct stat st;
    return ::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  }
  void write(const std::string& name, const std::string& data) const {
    int f = ::openat(fd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(f, 0);
    ASSERT_EQ(::write(f, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    ::close(f);
  }
};

// Counts allocations and frees; the allocation numbered fail_at (1-based)
// and every later one fail when fail_at is set.
struct CountingAllocator {
  int allocs = 0;
  int frees = 0;
  int fail_at = 0;
  std::size_t live_bytes = 0;

  Allocator handle() {
    return Allocator{
        this,
        [](void* ctx, std::size_t size) noexcept -> void* {
          auto* self = static_cast<CountingAllocator*>(ctx);
          if (self->fail_at != 0 && self->allocs + 1 >= self->fail_at) return nullptr;
          ++self->allocs;
          self->live_bytes += size;
          return std::malloc(size);
        },
        [](void* ctx, void* p, std::size_t size) noexcept {
          auto* self = static_cast<CountingAllocator*>(ctx);
          ++self->frees;
          self->live_bytes -= size;
          std::free(p);
        },
    };
  }
};

inline iovec iov(void* p, std::size_t n) { return iovec{p, n}; }
inline iovec iov(const void* p, std::size_t n) { return iovec{const_cast<void*>(p), n}; }

}  // namespace vorn::ev::testing
