// POSIX threads with explicit stack and guard sizes, and the CPU count of the
// calling thread. Any thread.
#pragma once

#include <pthread.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>

#include "os/error.hpp"

namespace vorn::os {

using ThreadEntry = void* (*)(void* arg);

// Starts a joinable thread running entry(arg) with the given stack and guard
// sizes; *out receives its handle on success. Errors: SystemResources (the
// attributes cannot be set up, or the system refuses another thread: EAGAIN),
// Unexpected (any other refusal).
Error spawnThread(pthread_t* out, ThreadEntry entry, void* arg, std::size_t stack_size,
                  std::size_t guard_size) noexcept;

// Number of CPUs in the calling thread's affinity mask (a 1024-bit set), at
// least 1. Error: Unexpected when the mask cannot be read.
Error cpuCount(std::size_t* out) noexcept;

// The calling thread's kernel id, read once per thread: owner checks run on
// every loop call, and gettid is a real system call. Zero-initialised, so no
// per-access initialisation guard, and initial-exec, so no __tls_get_addr
// call from this shared object (four bytes of the static TLS reserve).
inline pid_t currentThreadId() noexcept {
  [[gnu::tls_model("initial-exec")]] static thread_local pid_t tid = 0;
  if (tid == 0) [[unlikely]]
    tid = ::gettid();
  return tid;
}

}  // namespace vorn::os
