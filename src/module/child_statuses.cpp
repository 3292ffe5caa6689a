#include "module/child_statuses.hpp"

#include <sys/wait.h>

#include <cerrno>
#include <new>

namespace ombrel {

void ChildStatuses::keep(std::int32_t pid, long code) noexcept {
  try {
    by_pid[pid] = code;
  } catch (const std::bad_alloc&) {
    // Lost like any result nobody waits for.
  }
}

bool ChildStatuses::take(std::int32_t pid, long* code) noexcept {
  if (by_pid.empty()) return false;
  auto it = by_pid.find(pid);
  if (it == by_pid.end()) return false;
  long kept = it->second;
  by_pid.erase(it);
  // The reaped child's pid is free for reuse: while it names a child of this
  // process (running or exited), the kept status is that of an earlier one.
  siginfo_t si{};
  if (::waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOHANG | WNOWAIT) == 0 || errno != ECHILD) {
    return false;
  }
  *code = kept;
  return true;
}

}  // namespace ombrel
