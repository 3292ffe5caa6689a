// A real loop for tests: private group, no pool, 256-entry ring.
#pragma once

#include <gtest/gtest.h>

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

}  // namespace vorn::ev::testing
