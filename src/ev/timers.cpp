// Timers and the clock cache of the loop.
#include <ctime>

#include "ev/loop.hpp"
#include "ev/timer.hpp"
#include "os/assert.hpp"
#include "os/log.hpp"
#include "os/time.hpp"

namespace vorn::ev {

namespace {

constexpr clockid_t slot_clock[clock_slots] = {CLOCK_MONOTONIC, CLOCK_BOOTTIME, CLOCK_REALTIME};
constexpr Clock slot_kind[clock_slots] = {Clock::awake, Clock::boot, Clock::real};

}  // namespace

int clockIndex(Clock clock) noexcept {
  switch (clock) {
    case Clock::awake: return 0;
    case Clock::boot: return 1;
    case Clock::real: return 2;
    case Clock::cpu_process:
    case Clock::cpu_thread: break;
  }
  log::fatal("timers cannot use CPU-time clocks");
}

void Timer::init(Timeout t) noexcept {
  c.init(Op::timer);
  timeout = t;
  deadline = 0;
  heap = HeapNode{};
  clock = Clock::awake;
}

void LoopState::updateNow() noexcept {
  ++tick;
  now[0] = os::clockNow(CLOCK_MONOTONIC);
  now_tick[0] = tick;
}

std::uint64_t LoopState::nowFor(Clock clock) noexcept {
  int slot = clockIndex(clock);
  if (now_tick[slot] != tick) {
    now[slot] = os::clockNow(slot_clock[slot]);
    now_tick[slot] = tick;
  }
  return now[slot];
}

void LoopState::setTimer(Timer* t) noexcept {
  int slot = clockIndex(t->clock);
  if (t->c.isState(State::running)) {
    timers[slot].remove(t);
  } else {
    ++active;
  }
  switch (t->timeout.tag) {
    case Timeout::Tag::none: t->deadline = UINT64_MAX; break;
    case Timeout::Tag::duration: {
      std::uint64_t base = nowFor(t->clock);
      t->deadline = t->timeout.ns > UINT64_MAX - base ? UINT64_MAX : base + t->timeout.ns;
      break;
    }
    case Timeout::Tag::deadline: t->deadline = t->timeout.ns; break;
  }
  t->c.state = State::running;
  timers[slot].insert(t);
}

void LoopState::clearTimer(Timer* t) noexcept {
  int slot = clockIndex(t->clock);
  if (t->c.isState(State::running)) timers[slot].remove(t);
  t->deadline = 0;
}

void Loop::setTimer(Timer* t, Timeout timeout) noexcept {
  VORN_ASSERT(onOwnerThread());
  MutexLock lock(state.timer_mutex);
  // A relative timeout armed from a callback counts from now, not from the
  // start of the pass.
  state.updateNow();
  t->c.loop = this;
  t->timeout = timeout;
  state.setTimer(t);
}

void Loop::clearTimer(Timer* t) noexcept {
  VORN_ASSERT(onOwnerThread());
  MutexLock lock(state.timer_mutex);
  if (t->c.isState(State::running)) {
    state.clearTimer(t);
    t->c.state = State::new_;
    t->c.has_result = false;
    t->c.err = Error::none;
    --state.active;
  } else {
    state.clearTimer(t);
  }
}

TimerCheckResult Loop::checkTimers() noexcept {
  TimerCheckResult result{std::nullopt, false};
  std::optional<std::uint64_t> wall_target[2];
  std::uint64_t wall_fallback[2] = {0, 0};
  constexpr std::size_t batch_max = 4;

  state.updateNow();
  for (int slot = 0; slot < clock_slots; ++slot) {
    if (state.timers[slot].isEmpty()) continue;
    Heap& heap = state.timers[slot];
    for (;;) {
      // Expired timers leave the heap in small batches so that a long run of
      // due timers does not hold other threads off the mutex; they are
      // completed with the mutex released.
      Timer* batch[batch_max];
      std::size_t n = 0;
      state.timer_mutex.lock();
      while (Timer* root = heap.peek()) {
        std::uint64_t now = state.nowFor(slot_kind[slot]);
        if (root->deadline > now) {
          std::uint64_t wait = root->deadline - now;
          if (slot == 0) {
            if (!result.next_timeout || wait < *result.next_timeout) result.next_timeout = wait;
          } else {
            wall_target[slot - 1] = root->deadline;
            wall_fallback[slot - 1] = std::min(wait, wall_clock_cap);
          }
          break;
        }
        root->c.has_result = true;
        state.clearTimer(root);
        batch[n++] = root;
        if (n == batch_max) break;
      }
      state.timer_mutex.unlock();
      for (std::size_t i = 0; i < n; ++i) state.markCompleted(&batch[i]->c);
      if (n > 0) result.fired = true;
      if (n < batch_max) break;
    }
  }

  // Wall-clock deadlines ride on absolute kernel timeouts; when one cannot be
  // armed for lack of a submission entry, the loop polls for it instead.
  for (int i = 0; i < 2; ++i) {
    if (!backend.syncWallTimer(i, wall_target[i])) {
      if (!result.next_timeout || wall_fallback[i] < *result.next_timeout) result.next_timeout = wall_fallback[i];
    }
  }
  return result;
}

}  // namespace vorn::ev
