// A real loop for tests: private group, no pool, 256-entry ring.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "ev/loop.hpp"

namespace vorn::ev::testing {

struct LoopHolder {
  std::unique_ptr<Loop> loop = std::make_unique<Loop>();

  explicit LoopHolder(bool do_not_call_callbacks = true, ThreadPool* pool = nullptr) {
    Options o{cAllocator(), pool, nullptr, 256, do_not_call_callbacks};
    Error e = loop->init(o);
    EXPECT_EQ(e, Error::none) << errorName(e);
  }
  ~LoopHolder() { loop->deinit(); }

  Loop* operator->() { return loop.get(); }
  Loop& operator*() { return *loop; }

  // Everything parked on `dispatched`, in order.
  std::vector<Completion*> drain() {
    std::vector<Completion*> out;
    while (Completion* c = loop->nextDispatched()) out.push_back(c);
    return out;
  }
};

// Ticks (waits capped at 100 ms) and calls every parked record's callback,
// as the Python module does, until pred() holds or 10 s have passed.
template <class Pred>
bool driveUntil(Loop& loop, Pred pred) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::uint64_t saved = loop.max_wait;
  loop.max_wait = 100'000'000;
  bool ok = true;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline || loop.tick(true) != Error::none) {
      ok = false;
      break;
    }
    while (Completion* c = loop.nextDispatched()) c->call(&loop);
  }
  loop.max_wait = saved;
  return ok;
}

}  // namespace vorn::ev::testing
