// Group: a record whose members are added with it. Adding an empty group
// (remaining == 0) completes it at once; otherwise every member, linked from
// `head` through the members' group links, is added.
#pragma once

#include <atomic>
#include <cstddef>

#include "ev/completion.hpp"

namespace vorn::ev {

struct Group {
  Completion c;
  GroupLink* head;
  std::atomic<std::size_t> remaining;
  std::atomic<bool> race;

  void init() noexcept {
    c.init(Op::group);
    head = nullptr;
    remaining.store(0, std::memory_order_relaxed);
    race.store(false, std::memory_order_relaxed);
  }
};

// The record whose group link is `link`.
inline Completion* groupMember(GroupLink* link) noexcept {
  return containerOf<Completion>(link, offsetof(Completion, group));
}

}  // namespace vorn::ev
