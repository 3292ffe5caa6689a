// The loop core: waiting and waking, dispatch order and parking, re-arm,
// async handles, work without a pool, cancellation before add.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "ev/async.hpp"
#include "ev/work.hpp"
#include "loop_fixture.hpp"

using namespace vorn::ev;
using vorn::Error;
using vorn::ev::testing::LoopHolder;

namespace {

struct TestTimer : Timer {
  explicit TestTimer(Timeout t = Timeout::never()) { init(t); }
};
struct TestAsync : Async {
  TestAsync() { init(); }
};

// Runs `fn` on another thread after a short pause, joined at scope exit.
struct Later {
  std::thread thread;
  template <class Fn>
  explicit Later(Fn fn)
      : thread([fn] {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
          fn();
        }) {}
  ~Later() { thread.join(); }
};

constexpr auto hang_bound = std::chrono::seconds(5);

}  // namespace

TEST(Loop, WaitingTickOnAnEmptyLoopReturnsAtOnce) {
  LoopHolder loop;
  EXPECT_TRUE(loop->done());
  ASSERT_EQ(loop->tick(true), Error::none);
  EXPECT_FALSE(loop->last_wait.has_value());  // nothing polled at all
}

TEST(Loop, WakeFromAnotherThreadEndsABlockedTick) {
  LoopHolder loop;
  TestTimer forever;
  loop->add(&forever.c);
  auto start = std::chrono::steady_clock::now();
  {
    Later waker([&] { loop->wake(); });
    ASSERT_EQ(loop->tick(true), Error::none);
  }
  EXPECT_EQ(loop->last_wait, loop->max_wait);  // it meant to block
  EXPECT_LT(std::chrono::steady_clock::now() - start, hang_bound);

  // A wake before the tick: the pass does not block, and two wakes in a row
  // are absorbed by one eventfd read.
  loop->wake();
  loop->wake();
  ASSERT_EQ(loop->tick(true), Error::none);
  EXPECT_EQ(loop->last_wait, 0u);
  ASSERT_EQ(loop->tick(false), Error::none);
  loop->clearTimer(&forever);
}

TEST(Loop, ParkedRecordsComeOutInDispatchOrderAndNoCallbackRuns) {
  LoopHolder loop;
  int calls = 0;
  auto count = [](Loop*, Completion* c) { ++*static_cast<int*>(c->userdata); };
  TestTimer a(Timeout::after(0)), b(Timeout::after(0));
  TestAsync n;
  for (Completion* c : {&a.c, &b.c, &n.c}) {
    c->callback = count;
    c->userdata = &calls;
  }
  n.pending.store(1);
  loop->add(&n.c);  // notified before add: completes without a wake-up
  loop->add(&a.c);
  loop->add(&b.c);
  ASSERT_EQ(loop->tick(true), Error::none);
  EXPECT_EQ(calls, 0);
  // Records queued since the last pass first, then timers fired in this one.
  EXPECT_EQ(loop->nextDispatched(), &n.c);
  EXPECT_EQ(loop->nextDispatched(), &a.c);
  EXPECT_EQ(loop->nextDispatched(), &b.c);
  EXPECT_EQ(loop->nextDispatched(), nullptr);
  EXPECT_TRUE(loop->done());
}

TEST(Loop, RearmReAddsWhileTheBitStaysSet) {
  LoopHolder loop;
  struct Ctx {
    int calls = 0;
  } st;
  TestTimer t(Timeout::after(0));
  t.c.flags |= Flags::rearm;
  t.c.userdata = &st;
  t.c.callback = [](Loop*, Completion* c) {
    auto* s = static_cast<Ctx*>(c->userdata);
    if (++s->calls == 3) c->flags &= static_cast<std::uint8_t>(~Flags::rearm);
  };
  loop->add(&t.c);
  for (int i = 0; i < 10 && !loop->done(); ++i) ASSERT_EQ(loop->tick(true), Error::none);
  EXPECT_EQ(st.calls, 3);  // rearm records are called by the loop, never parked
  EXPECT_EQ(loop->nextDispatched(), nullptr);
  EXPECT_TRUE(loop->done());
}

TEST(Loop, ARecordAddedFromACallbackIsDispatchedInTheNextPass) {
  LoopHolder loop(false);  // the loop calls callbacks itself
  struct Ctx {
    Loop* loop;
    TestAsync inner;
    int inner_calls = 0;
  } st;
  st.loop = &*loop;
  st.inner.c.userdata = &st;
  st.inner.c.callback = [](Loop*, Completion* c) { ++static_cast<Ctx*>(c->userdata)->inner_calls; };
  TestTimer outer(Timeout::after(0));
  outer.c.userdata = &st;
  outer.c.callback = [](Loop* l, Completion* c) {
    auto* s = static_cast<Ctx*>(c->userdata);
    l->cancel(&s->inner.c);  // cancelled before add: completes synchronously
    l->add(&s->inner.c);
  };
  loop->add(&outer.c);
  ASSERT_EQ(loop->tick(true), Error::none);
  EXPECT_EQ(st.inner_calls, 0);
  EXPECT_TRUE(st.inner.c.isState(State::completed));
  ASSERT_EQ(loop->tick(true), Error::none);
  EXPECT_EQ(loop->last_wait, 0u);  // something was queued: no blocking
  EXPECT_EQ(st.inner_calls, 1);
  EXPECT_EQ(st.inner.c.err, Error::Canceled);
}

TEST(Loop, AsyncHandles) {
  LoopHolder loop;
  TestAsync quiet, notified;
  loop->add(&quiet.c);
  loop->add(&notified.c);
  ASSERT_EQ(loop->tick(false), Error::none);
  EXPECT_EQ(loop->nextDispatched(), nullptr);

  {
    Later notifier([&] {
      notified.pending.store(1);
      loop->requestWake(Wake::wake_async);
    });
    while (notified.c.isState(State::running)) ASSERT_EQ(loop->tick(true), Error::none);
  }
  EXPECT_EQ(loop->nextDispatched(), &notified.c);
  EXPECT_EQ(loop->nextDispatched(), nullptr);
  EXPECT_TRUE(quiet.c.isState(State::running));  // un-notified: stays queued
  EXPECT_FALSE(loop->done());

  loop->cancel(&quiet.c);
  ASSERT_EQ(loop->tick(false), Error::none);
  EXPECT_EQ(loop->nextDispatched(), &quiet.c);
  EXPECT_EQ(quiet.c.err, Error::Canceled);
  EXPECT_TRUE(loop->done());
}

TEST(Loop, WorkWithoutAPoolAndCancelBeforeAdd) {
  LoopHolder loop;
  Work w;
  w.init([](Work*) { FAIL() << "must not run"; }, nullptr);
  loop->add(&w.c);
  ASSERT_EQ(loop->tick(false), Error::none);
  EXPECT_EQ(loop->nextDispatched(), &w.c);
  EXPECT_EQ(w.c.err, Error::NoThreadPool);
  EXPECT_EQ(w.state.load(), Work::State::completed);

  TestTimer t(Timeout::after(0));
  loop->cancel(&t.c);
  EXPECT_EQ(t.c.cancel_state.load(), CancelState::requested);
  loop->add(&t.c);
  EXPECT_TRUE(loop->state.timers[0].isEmpty());  // never armed
  ASSERT_EQ(loop->tick(false), Error::none);
  EXPECT_EQ(loop->nextDispatched(), &t.c);
  EXPECT_EQ(t.c.err, Error::Canceled);

  // Re-adding the dead record clears its outcome and cancel bits first.
  t.timeout = Timeout::after(0);
  loop->add(&t.c);
  EXPECT_EQ(t.c.err, Error::none);
  EXPECT_FALSE(t.c.has_result);
  ASSERT_EQ(loop->tick(true), Error::none);
  EXPECT_EQ(loop->nextDispatched(), &t.c);
  EXPECT_EQ(t.c.err, Error::none);
  EXPECT_TRUE(t.c.has_result);
}

TEST(Loop, CancelTwiceAndCancelAfterFinishing) {
  LoopHolder loop;
  TestTimer t;
  loop->add(&t.c);
  loop->cancel(&t.c);
  loop->cancel(&t.c);  // does nothing
  ASSERT_EQ(loop->tick(false), Error::none);
  EXPECT_EQ(loop.drain(), std::vector<Completion*>{&t.c});
  EXPECT_TRUE(loop->state.timers[0].isEmpty());

  // Finished but not yet dispatched: the normal result stands.
  TestTimer due(Timeout::after(0));
  loop->add(&due.c);
  loop->checkTimers();
  ASSERT_TRUE(due.c.isState(State::completed));
  loop->cancel(&due.c);
  ASSERT_EQ(loop->tick(false), Error::none);
  EXPECT_EQ(loop.drain(), std::vector<Completion*>{&due.c});
  EXPECT_EQ(due.c.err, Error::none);
}

TEST(Loop, CrossThreadCancelIsServedByANonWaitingTick) {
  LoopHolder loop;
  TestTimer t;
  loop->add(&t.c);
  // A foreign thread cancels through its own loop.
  std::thread([&] {
    LoopHolder mine;
    mine->cancel(&t.c);
  }).join();
  EXPECT_EQ(t.c.cancel_state.load(), CancelState::requested | CancelState::in_progress);
  // Nothing is in flight in the backend: no kernel wait, but the request is served.
  ASSERT_EQ(loop->tick(false), Error::none);
  EXPECT_FALSE(loop->last_wait.has_value());
  EXPECT_EQ(loop.drain(), std::vector<Completion*>{&t.c});
  EXPECT_EQ(t.c.err, Error::Canceled);
}

TEST(Loop, CrossThreadCancelEndsABlockedWait) {
  LoopHolder loop;
  TestTimer t;
  loop->add(&t.c);
  auto start = std::chrono::steady_clock::now();
  {
    Later canceller([&] {
      LoopHolder mine;
      mine->cancel(&t.c);
    });
    while (loop.drain().empty()) ASSERT_EQ(loop->tick(true), Error::none);
  }
  EXPECT_EQ(t.c.err, Error::Canceled);
  EXPECT_LT(std::chrono::steady_clock::now() - start, hang_bound);
}

TEST(Loop, HandedBackWorkIsDispatchedMostRecentFirst) {
  LoopHolder loop;
  Work w[3];
  for (auto& work : w) {
    work.init(nullptr, nullptr);
    // What the pool does: running, then handed back from a worker thread.
    work.c.loop = &*loop;
    work.c.state = State::running;
    ++loop->state.active;
  }
  std::thread([&] {
    for (auto& work : w) loopWorkComplete(&*loop, &work);
  }).join();
  ASSERT_EQ(loop->tick(true), Error::none);
  EXPECT_EQ(loop->last_wait, 0u);
  EXPECT_EQ(loop.drain(), (std::vector<Completion*>{&w[2].c, &w[1].c, &w[0].c}));
}

TEST(Queue, RemoveOfANonMemberDoesNothing) {
  Queue q;
  TestAsync a, b, outsider;
  q.push(&a.c);
  q.push(&b.c);
  q.remove(&outsider.c);
  q.remove(&a.c);
  EXPECT_EQ(q.head, &b.c);
  EXPECT_EQ(q.tail, &b.c);
  EXPECT_EQ(a.c.next, nullptr);
  q.remove(&b.c);
  EXPECT_TRUE(q.empty());
  EXPECT_EQ(q.tail, nullptr);
}
