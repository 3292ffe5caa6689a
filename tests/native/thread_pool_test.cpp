// Thread pool with real threads: growth, reserved threads, idle departure,
// cancellation with and without token, stop. Every wait is bounded; the
// checks look at counters and at which thread ran a job, never at elapsed time.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <thread>

#include <gtest/gtest.h>

#include "ev/queue.hpp"
#include "ev/thread_pool.hpp"
#include "os/syscall_cancel.hpp"

using namespace vorn;
using namespace vorn::ev;
using namespace std::chrono_literals;
namespace sc = vorn::os::syscall_cancel;

namespace {

constexpr std::uint64_t long_idle = 60'000'000'000;

template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 10s) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(200us);
  }
  return true;
}

// A job whose function may wait on a gate and may read a pipe through the
// interruptible sequence; it records where and how often it ran and completed.
struct Job {
  Work work;
  const std::atomic<bool>* gate = nullptr;
  int read_fd = -1;
  sc::SyscallResult read_result{};
  AtomicStack* handback = nullptr;
  sc::Token token;  // used when readFrom sets it up
  std::atomic<bool> started{false};
  std::atomic<int> ran{0};
  std::atomic<int> completed{0};
  std::thread::id ran_on;
  std::thread::id completed_on;

  explicit Job(bool reserve = false) {
    work.init(&Job::run, this);
    work.completion_fn = &Job::done;
    work.completion_context = this;
    work.reserve_thread = reserve;
  }

  // Makes the job read one byte from fd through its token.
  void readFrom(int fd) {
    read_fd = fd;
    work.cancel_token = &token;
  }

  static void run(Work* w) {
    auto* job = static_cast<Job*>(w->userdata);
    job->ran_on = std::this_thread::get_id();
    job->started = true;
    if (job->gate != nullptr) job->gate->wait(false);
    if (job->read_fd >= 0) {
      char byte;
      job->read_result = sc::interruptible([&] { return ::read(job->read_fd, &byte, 1); });
    }
    job->ran.fetch_add(1);
  }

  static void done(void* context, Work* w) {
    auto* job = static_cast<Job*>(context);
    job->completed_on = std::this_thread::get_id();
    AtomicStack* handback = job->handback;
    job->completed.fetch_add(1);
    // Like the loop's hand-back: reuses the header's links right away.
    if (handback != nullptr) handback->push(&w->c);
  }
};

class PoolTest : public ::testing::Test {
 protected:
  // Outlive the pool's deinit in TearDown, so that a failed check cannot
  // leave a worker on a freed job.
  std::deque<Job> jobs;
  ThreadPool pool;
  std::atomic<bool> gate{false};
  bool live = false;

  void start(std::size_t min, std::size_t max, std::uint64_t idle_ns, std::size_t threshold = 2) {
    ASSERT_EQ(pool.init(cAllocator(), ThreadPoolOptions{min, max, idle_ns, threshold}), Error::none);
    live = true;
  }
  Job& job(bool reserve = false) { return jobs.emplace_back(reserve); }
  Job& gated(bool reserve = false) {
    Job& j = jobs.emplace_back(reserve);
    j.gate = &gate;
    return j;
  }
  void open() {
    gate = true;
    gate.notify_all();
  }
  std::size_t running() const { return pool.running_threads.load(); }
  std::size_t idle() const { return pool.idle_threads.load(); }
  // Nothing may block a worker past the test, or deinit would wait forever.
  void TearDown() override {
    open();
    if (live) pool.deinit();
  }
};

TEST_F(PoolTest, GrowsOnlyPastTheScaleThreshold) {
  start(0, 4, long_idle);
  EXPECT_EQ(running(), 0u);  // init starts nothing

  Job& a = gated();
  pool.submit(&a.work);
  EXPECT_EQ(running(), 1u);  // the first job starts one worker
  ASSERT_TRUE(eventually([&] { return a.started.load(); }));

  Job& b = gated();
  pool.submit(&b.work);  // 1 queued < 1 worker x 2
  EXPECT_EQ(running(), 1u);
  Job& c = gated();
  pool.submit(&c.work);  // 2 queued: grow
  EXPECT_EQ(running(), 2u);
  ASSERT_TRUE(eventually([&] { return b.started.load(); }));
  EXPECT_NE(a.ran_on, b.ran_on);
  EXPECT_FALSE(c.started.load());

  open();
  for (Job& j : jobs) {
    ASSERT_TRUE(eventually([&] { return j.completed.load() == 1; }));
    EXPECT_EQ(j.ran.load(), 1);
    EXPECT_EQ(j.work.c.err, Error::none);
    EXPECT_TRUE(j.work.c.has_result);
    EXPECT_EQ(j.work.state.load(), Work::State::completed);
    EXPECT_NE(j.ran_on, std::this_thread::get_id());
    EXPECT_EQ(j.completed_on, j.ran_on);
  }
  // Both stay for the long idle time-out, waiting for work.
  ASSERT_TRUE(eventually([&] { return idle() == 2; }));
  EXPECT_EQ(running(), 2u);
}

TEST_F(PoolTest, ReservedJobGetsItsOwnThreadBeyondMax) {
  start(0, 1, long_idle);
  Job& a = gated();
  pool.submit(&a.work);
  ASSERT_TRUE(eventually([&] { return a.started.load(); }));
  Job& b = gated();
  pool.submit(&b.work);  // queued: the only worker is busy and max is 1
  EXPECT_EQ(running(), 1u);

  // The reserved job runs now, ahead of b, on a thread started for it.
  Job& r = job(true);
  pool.submit(&r.work);
  EXPECT_EQ(running(), 2u);
  ASSERT_TRUE(eventually([&] { return r.completed.load() == 1; }));
  EXPECT_NE(r.ran_on, a.ran_on);
  EXPECT_EQ(a.completed.load(), 0);

  open();
  ASSERT_TRUE(eventually([&] { return a.completed.load() == 1 && b.completed.load() == 1; }));
  EXPECT_EQ(pool.reserved_running.load(), 0u);
}

TEST_F(PoolTest, IdleTimeoutZeroLeavesAndNeverStrandsAJob) {
  start(0, 1, 0);
  // Each job is submitted while the previous worker may be on its way out;
  // a job handed to a leaving worker would never complete.
  for (int i = 0; i < 2000; ++i) {
    Job& j = job();
    pool.submit(&j.work);
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (j.completed.load() == 0 && std::chrono::steady_clock::now() < deadline) {
    }
    ASSERT_EQ(j.completed.load(), 1) << "job " << i << " stranded";
  }
  ASSERT_TRUE(eventually([&] { return running() == 0; }));
  EXPECT_EQ(idle(), 0u);
  ASSERT_TRUE(eventually([&] {
    MutexLock lock(pool.workers_mutex);
    return pool.workers_len == 0;
  }));
}

TEST_F(PoolTest, MinThreadsWaitWithoutTimingOut) {
  start(1, 2, 0);
  Job& first = job();
  pool.submit(&first.work);
  ASSERT_TRUE(eventually([&] { return first.completed.load() == 1 && idle() == 1; }));
  // The kept worker sleeps: it neither leaves nor keeps leaving its wait.
  for (int i = 0; i < 20; ++i) {
    for (int k = 0; k < 1000; ++k) ASSERT_EQ(idle(), 1u);
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(running(), 1u);
  // The idle worker takes the next job; no second one is started.
  Job& second = job();
  pool.submit(&second.work);
  ASSERT_TRUE(eventually([&] { return second.completed.load() == 1; }));
  EXPECT_EQ(second.ran_on, first.ran_on);
  EXPECT_EQ(running(), 1u);
}

TEST_F(PoolTest, CancelWithoutToken) {
  start(0, 1, long_idle);
  Job& a = gated();
  pool.submit(&a.work);
  ASSERT_TRUE(eventually([&] { return a.started.load(); }));
  Job& b = gated();
  pool.submit(&b.work);

  // Queued: completed at once, on this thread, with Canceled.
  pool.cancel(&b.work);
  EXPECT_EQ(b.completed.load(), 1);
  EXPECT_EQ(b.completed_on, std::this_thread::get_id());
  EXPECT_EQ(b.work.c.err, Error::Canceled);
  EXPECT_TRUE(b.work.c.has_result);
  EXPECT_EQ(b.work.state.load(), Work::State::canceled);
  EXPECT_EQ(pool.queue_size, 0u);
  pool.cancel(&b.work);  // a second cancel changes nothing
  EXPECT_EQ(b.completed.load(), 1);

  // Running: no effect, it completes normally.
  pool.cancel(&a.work);
  open();
  ASSERT_TRUE(eventually([&] { return a.completed.load() == 1; }));
  EXPECT_EQ(a.ran.load(), 1);
  EXPECT_EQ(a.work.c.err, Error::none);
  EXPECT_EQ(b.ran.load(), 0);
}

TEST_F(PoolTest, CancelRacingWorkersCompletesEachJobOnce) {
  start(0, 2, long_idle, 1);
  AtomicStack handback;
  constexpr int n = 3000;
  for (int i = 0; i < n; ++i) {
    Job& j = job();
    j.handback = &handback;
    pool.submit(&j.work);
    if (i % 2 == 0) pool.cancel(&j.work);
  }
  ASSERT_TRUE(eventually([&] {
    for (Job& j : jobs) {
      if (j.completed.load() == 0) return false;
    }
    return true;
  }));
  int canceled = 0;
  for (Job& j : jobs) {
    EXPECT_EQ(j.completed.load(), 1);
    EXPECT_TRUE(j.work.c.has_result);
    if (j.work.c.err == Error::Canceled) {
      ++canceled;
      EXPECT_EQ(j.ran.load(), 0);
    } else {
      EXPECT_EQ(j.ran.load(), 1);
    }
  }
  EXPECT_LE(canceled, n / 2);
  int handed_back = 0;
  for (SimpleStack s{handback.popAll()}; s.pop() != nullptr;) ++handed_back;
  EXPECT_EQ(handed_back, n);
  EXPECT_EQ(pool.queue_size, 0u);
}

TEST_F(PoolTest, StopDropsQueuedJobsAndWaitsForRunningOnes) {
  start(0, 1, long_idle);
  Job& a = gated();
  pool.submit(&a.work);
  ASSERT_TRUE(eventually([&] { return a.started.load(); }));
  Job& b = job();
  Job& c = job();
  pool.submit(&b.work);
  pool.submit(&c.work);

  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    pool.stop();
    stopped = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(stopped.load());  // a is still running
  open();
  stopper.join();
  EXPECT_EQ(a.completed.load(), 1);
  EXPECT_EQ(b.ran.load(), 0);
  EXPECT_EQ(b.completed.load(), 0);
  EXPECT_EQ(c.ran.load(), 0);
  EXPECT_EQ(running(), 0u);
  EXPECT_EQ(pool.workers_len, 0u);

  Job& late = job();
  pool.submit(&late.work);  // dropped
  pool.stop();              // idempotent
  pool.deinit();
  live = false;
  EXPECT_EQ(late.ran.load(), 0);
  EXPECT_EQ(late.completed.load(), 0);
  EXPECT_EQ(b.completed.load(), 0);
  EXPECT_EQ(c.completed.load(), 0);
}

TEST_F(PoolTest, MaxThreadsZeroRunsInline) {
  start(0, 0, long_idle);
  Job& a = job();
  pool.submit(&a.work);
  EXPECT_EQ(a.ran.load(), 1);
  EXPECT_EQ(a.completed.load(), 1);
  EXPECT_EQ(a.ran_on, std::this_thread::get_id());
  EXPECT_EQ(a.completed_on, std::this_thread::get_id());
  EXPECT_EQ(a.work.state.load(), Work::State::completed);
  EXPECT_EQ(running(), 0u);

  Job& b = job();
  pool.cancel(&b.work);  // before it was submitted
  pool.submit(&b.work);
  EXPECT_EQ(b.ran.load(), 0);
  EXPECT_EQ(b.completed.load(), 1);
  EXPECT_EQ(b.work.c.err, Error::Canceled);
}

class TokenPoolTest : public PoolTest {
 protected:
  int fds[2] = {-1, -1};
  void SetUp() override { ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0); }
  void TearDown() override {
    // Unblocks a read that a failed test left waiting.
    if (fds[1] >= 0) static_cast<void>(::write(fds[1], "x", 1));
    PoolTest::TearDown();
    ::close(fds[0]);
    ::close(fds[1]);
  }
  // Repeats the interrupt while the token waits for it, as the loop does.
  bool resendUntilDone(sc::Token& token) {
    return eventually([&] {
      pool.interrupt(&token);
      return token.state.load() != sc::Token::State::blocked_canceling;
    });
  }
};

TEST_F(TokenPoolTest, CancelInterruptsABlockedCall) {
  start(0, 2, long_idle);
  Job& j = job();
  j.readFrom(fds[0]);
  sc::Token& token = j.token;
  pool.submit(&j.work);
  ASSERT_TRUE(eventually([&] { return token.state.load() == sc::Token::State::blocked; }));
  EXPECT_NE(token.handle.load(), pthread_t{0});

  pool.cancel(&j.work);
  ASSERT_TRUE(resendUntilDone(token));
  ASSERT_TRUE(eventually([&] { return j.completed.load() == 1; }));
  EXPECT_TRUE(j.read_result.canceled);
  EXPECT_EQ(token.state.load(), sc::Token::State::canceled);
  EXPECT_EQ(token.handle.load(), pthread_t{0});
  // The job itself ran to its end; only its call was cancelled.
  EXPECT_EQ(j.work.c.err, Error::none);
  EXPECT_EQ(j.work.state.load(), Work::State::completed);
}

TEST_F(TokenPoolTest, CancelWhileQueuedRefusesTheCall) {
  start(0, 1, long_idle);
  Job& a = gated();
  pool.submit(&a.work);
  ASSERT_TRUE(eventually([&] { return a.started.load(); }));
  Job& t = job();
  t.readFrom(fds[0]);
  pool.submit(&t.work);

  pool.cancel(&t.work);  // through the token only: stays queued
  EXPECT_EQ(t.token.state.load(), sc::Token::State::canceled);
  EXPECT_EQ(t.completed.load(), 0);
  ASSERT_EQ(::write(fds[1], "x", 1), 1);
  open();
  ASSERT_TRUE(eventually([&] { return t.completed.load() == 1; }));
  EXPECT_TRUE(t.read_result.canceled);
  // The read was never made: the byte is still there.
  char byte;
  ASSERT_EQ(::fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
  EXPECT_EQ(::read(fds[0], &byte, 1), 1);
}

TEST(ThreadPoolOptions, DefaultsFollowTheAffinityMask) {
  ThreadPoolOptions o{};
  ASSERT_EQ(threadPoolDefaultOptions(&o), Error::none);
  cpu_set_t set;
  ASSERT_EQ(::sched_getaffinity(0, sizeof(set), &set), 0);
  EXPECT_EQ(o.max_threads, 2u * static_cast<std::size_t>(CPU_COUNT(&set)));
  EXPECT_EQ(o.min_threads, 0u);
  EXPECT_EQ(o.idle_timeout_ns, 60'000'000'000u);
  EXPECT_EQ(o.scale_threshold, 2u);
}

}  // namespace
