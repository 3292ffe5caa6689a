// Debug checks. VORN_ASSERT states an invariant or a thread rule; it is
// compiled in when VORN_CHECKS is set (development and test builds) and costs
// nothing otherwise. A failed check ends the process through log::fatal.
#pragma once

#if defined(VORN_CHECKS) && VORN_CHECKS
#include "os/log.hpp"
#define VORN_ASSERT(cond)                                                            \
  ((cond) ? static_cast<void>(0)                                                     \
          : ::vorn::log::fatal("assertion failed: " #cond " at " __FILE__ ":" VORN_STR(__LINE__)))
#define VORN_STR(x) VORN_STR_(x)
#define VORN_STR_(x) #x
#else
#define VORN_ASSERT(cond) static_cast<void>(0)
#endif
