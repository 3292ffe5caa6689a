// Exit statuses reaped by child waits that were cancelled, kept for the next
// wait on the same pid instead of being lost (the child is gone from the
// kernel once reaped). A kept status is handed out only while the pid names
// no child of this process, since a new child may reuse it.
//
// One per runtime; its loop's thread, interpreter lock held.
#pragma once

#include <cstdint>
#include <unordered_map>

namespace ombrel {

struct ChildStatuses {
  std::unordered_map<std::int32_t, long> by_pid;

  // Keeps the status reaped for pid (lost when memory runs out: the next
  // wait then fails with ProcessNotFound instead of hanging).
  void keep(std::int32_t pid, long code) noexcept;
  // Hands out (and forgets) the status kept for pid while no child of this
  // process holds the pid.
  bool take(std::int32_t pid, long* code) noexcept;
  void clear() noexcept { by_pid.clear(); }
};

}  // namespace ombrel
