// A blocking job for the thread pool (operation kind `work`); also the head
// of every delegated file operation.
//
// Life cycle of `state` (compare-and-swap only, so exactly one side wins):
//   pending (queued) -> running (a worker took it) -> completed
//   pending -> canceled (ThreadPool::cancel; completed with Canceled by
//   whoever finds it)
// Thread rules: the loop writes completion_fn/completion_context before
// submitting and reads cancel_token and the resend links on its own thread;
// after ThreadPool::submit the pool and its worker own the record until
// completion_fn hands it back.
#pragma once

#include <atomic>
#include <cstdint>

#include "ev/completion.hpp"
#include "os/syscall_cancel.hpp"

namespace vorn::ev {

struct Work;
using WorkFn = void (*)(Work* work);
using WorkCompletionFn = void (*)(void* context, Work* work);

struct Work {
  enum class State : std::uint8_t { pending = 0, running = 1, completed = 2, canceled = 3 };

  Completion c;
  WorkFn func;                     // the job; runs on a worker
  void* userdata;                  // the job's own context
  WorkCompletionFn completion_fn;  // on the worker after the job ran or was cancelled
  void* completion_context;
  os::syscall_cancel::Token* cancel_token;  // set when the job's calls can be interrupted
  Work* resend_next;                        // the loop's resend list
  Completion* resend_key;                   // null when not on the resend list
  std::atomic<State> state;
  bool reserve_thread;  // needs a thread of its own at once

  // A fresh job: header initialised with kind `work`, state pending.
  void init(WorkFn fn, void* user) noexcept {
    c.init(Op::work);
    func = fn;
    userdata = user;
    completion_fn = nullptr;
    completion_context = nullptr;
    cancel_token = nullptr;
    resend_next = nullptr;
    resend_key = nullptr;
    state.store(State::pending, std::memory_order_relaxed);  // not yet shared
    reserve_thread = false;
  }
};

// Completion context of a job that carries out a delegated file operation on
// behalf of the record `linked`.
struct LinkedWorkContext {
  Loop* loop;
  Completion* linked;
};

}  // namespace vorn::ev
