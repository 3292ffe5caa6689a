// The core allocates nothing per operation: many cycles of timers, async
// handles and cancellations after init, with every allocation function of the
// process counted (the global operator new family is replaced here, and the
// loop's allocator counts its own calls).
#include <atomic>
#include <cstdlib>
#include <new>

#include <gtest/gtest.h>

#include "ev/async.hpp"
#include "ev/loop.hpp"

namespace {
std::atomic<long> new_calls{0};
}

// The replacements below pair operator new with malloc on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t n) {
  new_calls.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  new_calls.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(n == 0 ? 1 : n);
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

using namespace vorn::ev;
using vorn::Error;

TEST(NoAllocation, TimersAsyncsAndCancellationsAfterInit) {
  static std::atomic<long> allocator_calls{0};
  Allocator counting{nullptr,
                     [](void*, std::size_t n) noexcept -> void* {
                       allocator_calls.fetch_add(1);
                       return std::malloc(n);
                     },
                     [](void*, void* p, std::size_t) noexcept { std::free(p); }};
  static Loop loop;  // static: constructing it must not count either
  ASSERT_EQ(loop.init(Options{counting, nullptr, nullptr, 256, true}), Error::none);

  struct Timers {
    Timer t[64];
  };
  static Timers timers;
  static Async asyncs[16];

  long before_new = new_calls.load();
  long before_alloc = allocator_calls.load();
  for (int round = 0; round < 200; ++round) {
    for (int i = 0; i < 64; ++i) {
      timers.t[i].init(i % 4 == 0 ? Timeout::never() : Timeout::after(static_cast<std::uint64_t>(i % 3)));
      timers.t[i].clock = i % 8 == 1 ? Clock::real : Clock::awake;
      loop.add(&timers.t[i].c);
    }
    for (auto& a : asyncs) {
      a.init();
      a.pending.store(round % 2 == 0 ? 1 : 0);
      loop.add(&a.c);
    }
    for (int i = 0; i < 64; i += 4) loop.cancel(&timers.t[i].c);
    for (auto& a : asyncs) loop.cancel(&a.c);
    loop.wake();
    int guard = 0;
    while (!loop.done() && guard++ < 1000) {
      ASSERT_EQ(loop.tick(true), Error::none);
      while (loop.nextDispatched() != nullptr) {
      }
    }
    ASSERT_TRUE(loop.done());
  }
  EXPECT_EQ(new_calls.load() - before_new, 0);
  EXPECT_EQ(allocator_calls.load() - before_alloc, 0);
  loop.deinit();
}
