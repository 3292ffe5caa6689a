// Child process wait (process_wait), on the ring.
//
// See ops_common.hpp for the conventions every record follows.
#pragma once

#include <signal.h>

#include <cstdint>
#include <optional>
#include <type_traits>

#include "ev/ops_common.hpp"

namespace vorn::ev {

// The kernel writes the child's siginfo here.
struct ProcessWaitData {
  siginfo_t siginfo;
};
static_assert(sizeof(siginfo_t) == 128);

// Waits for the child `handle` (a pid) to end and reaps it.
struct ProcessWait {
  // code: the exit status when the child exited (else 0); signal: the
  // signal that killed it (else null).
  struct ExitStatus {
    std::uint8_t code;
    std::optional<std::uint8_t> signal;
  };

  Completion c;
  ProcessWaitData internal;
  std::int32_t handle;
  ExitStatus result_private_do_not_touch;

  void init(std::int32_t pid) noexcept {
    c.init(Op::process_wait);
    internal = {};
    handle = pid;
    result_private_do_not_touch = {};
  }
  OpResult<ExitStatus> getResult() const noexcept { return detail::resultOf(c, result_private_do_not_touch); }
};

static_assert(std::is_standard_layout_v<ProcessWait>);

}  // namespace vorn::ev
