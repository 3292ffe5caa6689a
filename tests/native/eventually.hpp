// Polls a condition another thread makes true; a hang bound, not a timing check.
#pragma once

#include <chrono>
#include <thread>

namespace vorn::testing {

// True once pred() holds; false if it still does not after 10 s.
template <class Pred>
bool eventually(Pred pred) {
  using namespace std::chrono_literals;
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(200us);
  }
  return true;
}

}  // namespace vorn::testing
