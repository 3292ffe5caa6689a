// Timers through a real loop: expiry, the wait a pass chooses, re-arm, clear,
// tie order, and the wall clocks' kernel timeouts.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "loop_fixture.hpp"
#include "os/time.hpp"

using namespace vorn::ev;
using vorn::Error;
using vorn::ev::testing::LoopHolder;

namespace {

constexpr std::uint64_t ms = 1'000'000;

// Records are not copyable (they hold atomics and are pointed into): built in place.
struct TestTimer : Timer {
  explicit TestTimer(Clock on = Clock::awake) {
    init(Timeout::never());
    clock = on;
  }
};

}  // namespace

TEST(Timers, ZeroDurationFiresInTheNextPassWithoutBlocking) {
  LoopHolder loop;
  TestTimer t;
  loop->setTimer(&t, Timeout::after(0));
  EXPECT_EQ(loop->state.active, 1u);
  ASSERT_EQ(loop->tick(true), Error::none);
  EXPECT_EQ(loop->last_wait, 0u);
  EXPECT_EQ(loop.drain(), std::vector<Completion*>{&t.c});
  EXPECT_TRUE(t.c.has_result);
  EXPECT_EQ(t.c.err, Error::none);
  EXPECT_EQ(t.deadline, 0u);
  EXPECT_TRUE(t.c.isState(State::dead));
  EXPECT_TRUE(loop->done());
}

TEST(Timers, FiveDueAtOnceAreDispatchedInOnePassInDeadlineOrder) {
  LoopHolder loop;
  TestTimer t[5];
  std::uint64_t now = loop->state.now[0];
  // Armed in a scrambled order; deadlines all in the past.
  int order[5] = {3, 0, 4, 1, 2};
  for (int i : order) {
    loop->setTimer(&t[i], Timeout::at(now - 100 + static_cast<std::uint64_t>(i)));
  }
  ASSERT_EQ(loop->tick(true), Error::none);
  auto got = loop.drain();
  ASSERT_EQ(got.size(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(got[static_cast<std::size_t>(i)], &t[i].c) << i;
}

TEST(Timers, EqualDeadlinesFireInArmingOrder) {
  LoopHolder loop;
  std::vector<TestTimer> t(9);
  for (auto& timer : t) {
    loop->setTimer(&timer, Timeout::at(1));
  }
  ASSERT_EQ(loop->tick(false), Error::none);
  auto got = loop.drain();
  ASSERT_EQ(got.size(), t.size());
  for (std::size_t i = 0; i < t.size(); ++i) EXPECT_EQ(got[i], &t[i].c) << i;
}

TEST(Timers, ReArmMovesARunningTimerAndClearReturnsItToNew) {
  LoopHolder loop;
  TestTimer t;
  loop->setTimer(&t, Timeout::after(10 * ms));
  std::uint64_t first = t.deadline;
  loop->setTimer(&t, Timeout::after(60'000 * ms));
  EXPECT_GT(t.deadline, first);
  EXPECT_EQ(loop->state.active, 1u);  // re-arming does not count twice
  ASSERT_EQ(loop->tick(false), Error::none);
  EXPECT_TRUE(loop.drain().empty());

  // A second timer due at once and the re-armed one far away: the wait is
  // zero now, and follows the far one once the near one is gone.
  TestTimer near;
  loop->setTimer(&near, Timeout::after(0));
  ASSERT_EQ(loop->tick(true), Error::none);
  EXPECT_EQ(loop.drain(), std::vector<Completion*>{&near.c});

  loop->clearTimer(&t);
  EXPECT_TRUE(t.c.isState(State::new_));
  EXPECT_EQ(t.deadline, 0u);
  EXPECT_FALSE(t.c.has_result);
  EXPECT_EQ(loop->state.active, 0u);
  EXPECT_TRUE(loop->done());
  ASSERT_EQ(loop->tick(true), Error::none);  // must not block: nothing is left
  EXPECT_FALSE(loop->last_wait.has_value());
  EXPECT_TRUE(loop.drain().empty());
}

TEST(Timers, TheWaitFollowsTheEarliestAwakeDeadline) {
  LoopHolder loop;
  TestTimer far, near;
  loop->setTimer(&far, Timeout::after(50'000 * ms));
  loop->setTimer(&near, Timeout::after(30 * ms));
  ASSERT_EQ(loop->tick(true), Error::none);
  ASSERT_TRUE(loop->last_wait.has_value());
  EXPECT_LE(*loop->last_wait, 30 * ms);
  EXPECT_GT(*loop->last_wait, 0u);
  // The near timer ended that wait: it fired at the end of the pass (the
  // recheck) or fires in the next one; either way it is dispatched next.
  for (int i = 0; i < 100 && near.c.isState(State::running); ++i) ASSERT_EQ(loop->tick(true), Error::none);
  ASSERT_EQ(loop->tick(true), Error::none);
  EXPECT_EQ(loop.drain(), std::vector<Completion*>{&near.c});
  EXPECT_TRUE(far.c.isState(State::running));
  loop->clearTimer(&far);
}

TEST(Timers, NoneNeverFiresAndKeepsTheLoopAlive) {
  LoopHolder loop;
  TestTimer t;
  loop->setTimer(&t, Timeout::never());
  EXPECT_EQ(t.deadline, UINT64_MAX);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(loop->tick(false), Error::none);
  EXPECT_TRUE(loop.drain().empty());
  EXPECT_FALSE(loop->done());
  EXPECT_EQ(loop->state.active, 1u);
  loop->cancel(&t.c);
  ASSERT_EQ(loop->tick(false), Error::none);
  EXPECT_EQ(loop.drain(), std::vector<Completion*>{&t.c});
  EXPECT_EQ(t.c.err, Error::Canceled);
  EXPECT_TRUE(loop->done());
}

TEST(Timers, DurationSaturatesInsteadOfWrapping) {
  LoopHolder loop;
  TestTimer t;
  loop->setTimer(&t, Timeout::after(UINT64_MAX - 5));
  EXPECT_EQ(t.deadline, UINT64_MAX);
  ASSERT_EQ(loop->tick(false), Error::none);
  EXPECT_TRUE(loop.drain().empty());
  loop->clearTimer(&t);
}

TEST(Timers, AddUsesTheStoredTimeoutAndADeadlineOfNowIsDue) {
  LoopHolder loop;
  Timer t;
  t.init(Timeout::after(0));
  loop->add(&t.c);
  TestTimer exact;
  loop->setTimer(&exact, Timeout::at(loop->state.now[0]));
  ASSERT_EQ(loop->tick(true), Error::none);
  auto got = loop.drain();
  EXPECT_EQ(got.size(), 2u);
}

TEST(WallTimers, PastRealDeadlineFiresAtOnce) {
  LoopHolder loop;
  TestTimer t(Clock::real);
  loop->setTimer(&t, Timeout::at(vorn::os::clockNow(CLOCK_REALTIME) - 1000 * ms));
  ASSERT_EQ(loop->tick(true), Error::none);
  EXPECT_EQ(loop.drain(), std::vector<Completion*>{&t.c});
  EXPECT_FALSE(loop->backend.wall_armed[1].has_value());
}

TEST(WallTimers, FutureRealDeadlineFiresThroughTheKernelTimeout) {
  LoopHolder loop;
  TestTimer t(Clock::real);
  std::uint64_t deadline = vorn::os::clockNow(CLOCK_REALTIME) + 150 * ms;
  loop->setTimer(&t, Timeout::at(deadline));
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(loop->tick(true), Error::none);
  // The loop did not shorten its own wait for the wall deadline: the kernel's
  // absolute timeout ended it.
  EXPECT_EQ(loop->last_wait, loop->max_wait);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_GE(vorn::os::clockNow(CLOCK_REALTIME), deadline);
  EXPECT_TRUE(t.c.isState(State::completed));  // fired by the end-of-pass recheck
  ASSERT_EQ(loop->tick(true), Error::none);
  EXPECT_EQ(loop.drain(), std::vector<Completion*>{&t.c});
}

TEST(WallTimers, BootClockTimeoutIsArmedAndRemoved) {
  LoopHolder loop;
  TestTimer t(Clock::boot);
  loop->setTimer(&t, Timeout::after(60'000 * ms));
  ASSERT_EQ(loop->tick(false), Error::none);
  EXPECT_EQ(loop->backend.wall_armed[0], t.deadline);
  EXPECT_EQ(loop->backend.wall_generation[0], 1u);
  loop->clearTimer(&t);
  TestTimer other;
  loop->setTimer(&other, Timeout::after(0));
  ASSERT_EQ(loop->tick(true), Error::none);
  EXPECT_FALSE(loop->backend.wall_armed[0].has_value());
}

TEST(WallTimers, AReplacedTimeoutsStaleExpiryIsIgnored) {
  LoopHolder loop;
  TestTimer a(Clock::real);
  loop->setTimer(&a, Timeout::at(vorn::os::clockNow(CLOCK_REALTIME) + 20 * ms));
  TestTimer kick;
  loop->setTimer(&kick, Timeout::after(0));
  ASSERT_EQ(loop->tick(true), Error::none);  // arms generation 1 and publishes it
  ASSERT_EQ(loop->backend.wall_generation[1], 1u);
  loop.drain();
  std::this_thread::sleep_for(std::chrono::milliseconds(60));  // generation 1 expires in the kernel

  loop->clearTimer(&a);
  TestTimer b(Clock::real);
  std::uint64_t later = vorn::os::clockNow(CLOCK_REALTIME) + 60'000 * ms;
  loop->setTimer(&b, Timeout::at(later));
  ASSERT_EQ(loop->tick(true), Error::none);  // harvests the stale expiry
  EXPECT_EQ(loop->backend.wall_generation[1], 2u);
  EXPECT_EQ(loop->backend.wall_armed[1], later);
  EXPECT_TRUE(b.c.isState(State::running));
  EXPECT_TRUE(loop.drain().empty());
  loop->clearTimer(&b);
}

TEST(TimersDeathTest, CpuClocksAreRejected) {
  EXPECT_DEATH(
      {
        LoopHolder loop;
        TestTimer t(Clock::cpu_thread);
        loop->setTimer(&t, Timeout::after(0));
      },
      "timers cannot use CPU-time clocks");
}
