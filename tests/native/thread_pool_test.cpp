// Thread pool with real threads. Every wait is bounded; checks look at the
// counters and at which thread ran a job, never at elapsed time.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <thread>

#include <gtest/gtest.h>

#include "ev/queue.hpp"
#include "ev/thread_pool.hpp"
#include "eventually.hpp"

using namespace vorn;
using namespace vorn::ev;
using namespace std::chrono_literals;
namespace sc = vorn::os::syscall_cancel;
using TokenState = sc::Token::State;
using vorn::testing::eventually;

namespace {

constexpr std::uint64_t long_idle = 60'000'000'000;

// A job that may wait on a gate, then may read one byte from a pipe through
// its token; it records where and how often it ran and completed.
struct Job {
  Work work;
  const std::atomic<bool>* gate = nullptr;
  int read_fd = -1;
  sc::Token token;
  sc::SyscallResult read_result{};
  AtomicStack* handback = nullptr;
  std::atomic<bool> started{false};
  std::atomic<int> ran{0}, completed{0};
  std::thread::id ran_on, completed_on;

  explicit Job(bool reserve) {
    work.init(&Job::run, this);
    work.completion_fn = &Job::done;
    work.completion_context = this;
    work.reserve_thread = reserve;
  }
  void readFrom(int fd) {
    read_fd = fd;
    work.cancel_token = &token;
  }
  static void run(Work* w) {
    auto* job = static_cast<Job*>(w->userdata);
    job->ran_on = std::this_thread::get_id();
    job->started = true;
    if (job->gate != nullptr) job->gate->wait(false);
    char byte;
    if (job->read_fd >= 0) job->read_result = sc::interruptible([&] { return ::read(job->read_fd, &byte, 1); });
    job->ran.fetch_add(1);
  }
  static void done(void* context, Work* w) {
    auto* job = static_cast<Job*>(context);
    job->completed_on = std::this_thread::get_id();
    AtomicStack* handback = job->handback;
    job->completed.fetch_add(1);
    // Like the loop's hand-back: reuses the header's links at once.
    if (handback != nullptr) handback->push(&w->c);
  }
};

class PoolTest : public ::testing::Test {
 public:
  std::deque<Job> jobs;  // outlives the deinit in TearDown, even after a failed check
  ThreadPool pool;
  std::atomic<bool> gate{false};
  bool live = false;

  void start(std::size_t min, std::size_t max, std::uint64_t idle_ns, std::size_t threshold = 2) {
    ASSERT_EQ(pool.init(cAllocator(), ThreadPoolOptions{min, max, idle_ns, threshold}), Error::none);
    live = true;
  }
  Job& job(bool reserve = false) { return jobs.emplace_back(reserve); }
  Job& gated() {
    Job& j = job();
    j.gate = &gate;
    return j;
  }
  // Submits a gated job and waits until a worker runs it.
  Job& busy() {
    Job& j = gated();
    pool.submit(&j.work);
    EXPECT_TRUE(eventually([&] { return j.started.load(); }));
    return j;
  }
  void open() {
    gate = true;
    gate.notify_all();
  }
  std::size_t running() const { return pool.running_threads.load(); }
  std::size_t idle() const { return pool.idle_threads.load(); }
  std::size_t listed() {
    MutexLock lock(pool.workers_mutex);
    return pool.workers_len;
  }
  void TearDown() override {
    open();
    if (live) pool.deinit();
  }
};

TEST_F(PoolTest, GrowsOnlyPastTheScaleThreshold) {
  start(0, 4, long_idle);
  EXPECT_EQ(running(), 0u);
  Job& a = busy();  // the first job starts one worker
  EXPECT_EQ(running(), 1u);
  Job& b = gated();
  pool.submit(&b.work);  // 1 queued < 1 worker x 2
  EXPECT_EQ(running(), 1u);
  Job& c = gated();
  pool.submit(&c.work);  // 2 queued: grow
  EXPECT_EQ(running(), 2u);
  ASSERT_TRUE(eventually([&] { return b.started.load(); }));
  EXPECT_NE(a.ran_on, b.ran_on);

  open();
  for (Job& j : jobs) {
    ASSERT_TRUE(eventually([&] { return j.completed.load() == 1; }));
    EXPECT_EQ(j.ran.load(), 1);
    EXPECT_EQ(j.work.c.err, Error::none);
    EXPECT_TRUE(j.work.c.has_result);
    EXPECT_EQ(j.work.state.load(), Work::State::completed);
    EXPECT_EQ(j.completed_on, j.ran_on);
  }
  ASSERT_TRUE(eventually([&] { return idle() == 2; }));  // both wait out the long time-out
  EXPECT_EQ(running(), 2u);
}

TEST_F(PoolTest, ReservedJobGetsItsOwnThreadBeyondMax) {
  start(0, 1, long_idle);
  Job& a = busy();
  Job& b = gated();
  pool.submit(&b.work);  // waits: max is 1
  // The reserved job runs now, ahead of b, on a thread started for it.
  Job& r = job(true);
  pool.submit(&r.work);
  EXPECT_EQ(running(), 2u);
  ASSERT_TRUE(eventually([&] { return r.completed.load() == 1; }));
  EXPECT_NE(r.ran_on, a.ran_on);
  open();
  ASSERT_TRUE(eventually([&] { return b.completed.load() == 1; }));
  EXPECT_EQ(pool.reserved_running.load(), 0u);
}

// Submits each job after the previous one completed, while that job's worker
// may be on its way out: a job left to a leaving worker would never complete.
// The growing delays sweep the submit across that exit.
void submitEachAfterTheLast(PoolTest& t, std::chrono::nanoseconds spread) {
  for (int i = 0; i < 4000; ++i) {
    auto until = std::chrono::steady_clock::now() + (i % 97) * spread;
    while (std::chrono::steady_clock::now() < until) {
    }
    Job& j = t.job();
    t.pool.submit(&j.work);
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (j.completed.load() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    ASSERT_EQ(j.completed.load(), 1) << "job " << i << " stranded";
  }
  ASSERT_TRUE(eventually([&] { return t.running() == 0 && t.idle() == 0 && t.listed() == 0; }));
}

TEST_F(PoolTest, IdleTimeoutZeroLeavesWithoutStrandingAJob) {
  start(0, 1, 0);
  submitEachAfterTheLast(*this, 10ns);
}

TEST_F(PoolTest, ShortIdleTimeoutLeavesWithoutStrandingAJob) {
  start(0, 1, 2'000);  // the time-out races the next submit's wake-up
  submitEachAfterTheLast(*this, 1us);
}

// Three workers go idle together with min_threads 1: exactly one stays.
void minThreadsStay(PoolTest& t, std::uint64_t idle_ns) {
  t.start(1, 3, idle_ns, 0);  // threshold 0: each submit grows while no worker is idle
  for (int i = 0; i < 3; ++i) t.pool.submit(&t.gated().work);
  EXPECT_EQ(t.running(), 3u);
  ASSERT_TRUE(eventually([&] {
    for (Job& j : t.jobs) {
      if (!j.started) return false;
    }
    return true;
  }));
  t.open();
  ASSERT_TRUE(eventually([&] { return t.running() == 1 && t.idle() == 1 && t.listed() == 1; }));
  if (idle_ns == 0) {
    // It sleeps without a time-out instead of leaving its wait over and
    // over. (With a time-out it may finish one timed wait first.)
    for (int i = 0; i < 20; ++i) {
      for (int k = 0; k < 1000; ++k) ASSERT_EQ(t.idle(), 1u);
      std::this_thread::sleep_for(1ms);
    }
  }
  Job& d = t.job();
  t.pool.submit(&d.work);
  ASSERT_TRUE(eventually([&] { return d.completed.load() == 1; }));
  EXPECT_TRUE(d.ran_on == t.jobs[0].ran_on || d.ran_on == t.jobs[1].ran_on || d.ran_on == t.jobs[2].ran_on);
}

TEST_F(PoolTest, MinThreadsStayWhenSurplusLeavesAtOnce) { minThreadsStay(*this, 0); }

// All three time out together and stop counting before any reaches its exit
// check: one of them has to take its place back.
TEST_F(PoolTest, MinThreadsStayWhenAllTimeOutTogether) { minThreadsStay(*this, 1'000'000); }

TEST_F(PoolTest, CancelWithoutToken) {
  start(0, 1, long_idle);
  Job& a = busy();
  Job& b = gated();
  pool.submit(&b.work);

  pool.cancel(&b.work);  // queued: completed at once, here, with Canceled
  EXPECT_EQ(b.completed.load(), 1);
  EXPECT_EQ(b.completed_on, std::this_thread::get_id());
  EXPECT_EQ(b.work.c.err, Error::Canceled);
  EXPECT_TRUE(b.work.c.has_result);
  EXPECT_EQ(pool.queue_size, 0u);
  pool.cancel(&b.work);
  EXPECT_EQ(b.completed.load(), 1);

  pool.cancel(&a.work);  // running: no effect
  open();
  ASSERT_TRUE(eventually([&] { return a.completed.load() == 1; }));
  EXPECT_EQ(a.work.c.err, Error::none);
  EXPECT_EQ(b.ran.load(), 0);
}

TEST_F(PoolTest, CancelRacingWorkersCompletesEachJobOnce) {
  start(0, 2, long_idle, 1);
  AtomicStack handback;
  for (int i = 0; i < 3000; ++i) {
    Job& j = job();
    j.handback = &handback;
    pool.submit(&j.work);
    if (i % 2 == 0) pool.cancel(&j.work);
  }
  int handed_back = 0;
  ASSERT_TRUE(eventually([&] {
    for (SimpleStack s{handback.popAll()}; s.pop() != nullptr;) ++handed_back;
    return handed_back >= 3000;
  }));
  for (Job& j : jobs) {
    EXPECT_EQ(j.completed.load(), 1);
    EXPECT_EQ(j.ran.load(), j.work.c.err == Error::Canceled ? 0 : 1);
  }
  EXPECT_EQ(handed_back, 3000);
  EXPECT_EQ(pool.queue_size, 0u);
}

TEST_F(PoolTest, StopDropsQueuedJobsAndWaitsForRunningOnes) {
  start(0, 1, long_idle);
  Job& a = busy();
  Job& b = job();
  pool.submit(&b.work);
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    pool.stop();
    stopped = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(stopped.load());  // a still runs
  open();
  stopper.join();
  EXPECT_EQ(a.completed.load(), 1);
  EXPECT_EQ(running(), 0u);
  EXPECT_EQ(listed(), 0u);

  Job& late = job();
  pool.submit(&late.work);  // dropped
  pool.deinit();
  live = false;
  for (Job* j : {&b, &late}) EXPECT_EQ(j->ran.load() + j->completed.load(), 0);
}

TEST_F(PoolTest, MaxThreadsZeroRunsInline) {
  start(0, 0, long_idle);
  Job& a = job();
  pool.submit(&a.work);
  EXPECT_EQ(a.completed.load(), 1);
  EXPECT_EQ(a.ran_on, std::this_thread::get_id());
  EXPECT_EQ(a.completed_on, std::this_thread::get_id());
  EXPECT_EQ(running(), 0u);

  Job& b = job();
  pool.cancel(&b.work);  // before submit
  pool.submit(&b.work);
  EXPECT_EQ(b.ran.load(), 0);
  EXPECT_EQ(b.completed.load(), 1);
  EXPECT_EQ(b.work.c.err, Error::Canceled);
}

class TokenPoolTest : public PoolTest {
 public:
  int fds[2] = {-1, -1};
  void SetUp() override { ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0); }
  void TearDown() override {
    static_cast<void>(::write(fds[1], "x", 1));  // frees a read a failed check left blocked
    PoolTest::TearDown();
    ::close(fds[0]);
    ::close(fds[1]);
  }
};

TEST_F(TokenPoolTest, CancelInterruptsABlockedCall) {
  start(0, 2, long_idle);
  Job& j = job();
  j.readFrom(fds[0]);
  pool.submit(&j.work);
  ASSERT_TRUE(eventually([&] { return j.token.state.load() == TokenState::blocked; }));
  pool.cancel(&j.work);
  // A signal that lands just before the read starts is lost: repeat it, as
  // the loop does, while the token waits for it.
  ASSERT_TRUE(eventually([&] {
    pool.interrupt(&j.token);
    return j.token.state.load() != TokenState::blocked_canceling;
  }));
  ASSERT_TRUE(eventually([&] { return j.completed.load() == 1; }));
  EXPECT_TRUE(j.read_result.canceled);
  EXPECT_EQ(j.token.state.load(), TokenState::canceled);
  EXPECT_EQ(j.token.handle.load(), pthread_t{0});
  EXPECT_EQ(j.work.c.err, Error::none);  // the job ran; only its call was cancelled
}

TEST_F(TokenPoolTest, CancelWhileQueuedRefusesTheCall) {
  start(0, 1, long_idle);
  busy();
  Job& t = job();
  t.readFrom(fds[0]);
  pool.submit(&t.work);
  pool.cancel(&t.work);  // through the token only: the job stays queued
  EXPECT_EQ(t.token.state.load(), TokenState::canceled);
  EXPECT_EQ(t.completed.load(), 0);
  ASSERT_EQ(::write(fds[1], "x", 1), 1);
  open();
  ASSERT_TRUE(eventually([&] { return t.completed.load() == 1; }));
  EXPECT_TRUE(t.read_result.canceled);
  char byte;  // never read by the job
  ASSERT_EQ(::fcntl(fds[0], F_SETFL, O_NONBLOCK), 0);
  EXPECT_EQ(::read(fds[0], &byte, 1), 1);
}

}  // namespace
