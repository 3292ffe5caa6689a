// Cancellation: records that never reach the kernel, cross-thread requests
// against waits and racing completions, and interrupting a pooled job that
// is blocked in a system call (with the resend list and its 1 ms waits).
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <thread>

#include "ev/thread_pool.hpp"
#include "loop_fixture.hpp"
#include "ops_fixture.hpp"
#include "os/syscall_cancel.hpp"

using namespace vorn::ev;
using vorn::Error;
using vorn::ev::testing::driveUntil;
using vorn::ev::testing::LoopHolder;
namespace sc = vorn::os::syscall_cancel;

namespace {

struct Recv : NetRecv {
  char buf[64];
  iovec iov{buf, sizeof buf};
  int calls = 0;
  explicit Recv(int fd) {
    init(fd, ReadBuf{std::span<iovec>(&iov, 1)}, RecvFlags{});
    c.userdata = this;
    c.callback = [](Loop*, Completion* done) { ++static_cast<Recv*>(done->userdata)->calls; };
  }
};

struct SocketPair {
  int fds[2];
  SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0); }
  ~SocketPair() {
    ::close(fds[0]);
    ::close(fds[1]);
  }
};

// Cancels through a loop of its own on a new thread (the way another
// thread must: cancel on the target loop declares the owning thread).
void cancelFromAnotherThread(Completion* c) {
  std::thread([c] {
    LoopHolder mine;
    mine->cancel(c);
  }).join();
}

}  // namespace

TEST(Cancel, ARecordWaitingForASubmissionEntryNeverReachesTheKernel) {
  LoopHolder loop;
  SocketPair pair;
  std::deque<Recv> recvs;
  for (int i = 0; i < 300; ++i) loop->add(&recvs.emplace_back(pair.fds[0]).c);
  EXPECT_FALSE(loop->backend.pending.empty());  // more operations than ring entries
  Recv& last = recvs.back();
  loop->cancel(&last.c);  // no entry for the cancel request either: it stays in pending
  ASSERT_TRUE(driveUntil(*loop, [&] { return last.calls == 1; }));
  EXPECT_EQ(last.c.err, Error::Canceled);
  // The kernel never saw it: one byte written now goes to a receive that did.
  ASSERT_EQ(::write(pair.fds[1], "x", 1), 1);
  ASSERT_TRUE(driveUntil(*loop, [&] {
    for (auto& r : recvs) {
      if (r.calls == 1 && r.c.err == Error::none) return true;
    }
    return false;
  }));
}

// Thousands of receives on an idle socket, all cancelled in one pass: far more
// cancel requests than ring entries. A full queue is submitted to make room,
// so none is kept back (nothing logged), and no tick waits while the
// cancellations are under way, even with the default 60 s wait.
TEST(Cancel, MassCancellationNeverWaitsOnUnsentRequests) {
  LoopHolder loop;
  SocketPair pair;
  std::deque<Recv> recvs;
  for (int i = 0; i < 2000; ++i) loop->add(&recvs.emplace_back(pair.fds[0]).c);
  ASSERT_TRUE(driveUntil(*loop, [&] { return loop->backend.pending.empty(); }));
  EXPECT_EQ(loop->state.inflight_io, 2000u);

  ::testing::internal::CaptureStderr();
  for (auto& r : recvs) loop->cancel(&r.c);
  EXPECT_TRUE(loop->backend.cancel_backlog.empty());
  // A hang bound only: a stalled wait would last the full 60 s.
  std::atomic<bool> finished{false}, rescued{false};
  std::thread watchdog([&] {
    for (int i = 0; i < 1000 && !finished.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!finished.load()) {
      rescued = true;
      loop->wake();
    }
  });
  while (loop->state.active != 0 && !rescued.load()) {
    ASSERT_EQ(loop->tick(true), Error::none);
    while (Completion* c = loop->nextDispatched()) c->call(&*loop);
  }
  finished = true;
  watchdog.join();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(rescued.load()) << "a tick waited with cancellations under way";
  for (auto& r : recvs) {
    EXPECT_EQ(r.calls, 1);
    EXPECT_EQ(r.c.err, Error::Canceled);
  }
}

TEST(Cancel, CrossThreadCancelEndsAWaitWithoutTimers) {
  LoopHolder loop;
  SocketPair pair;
  Recv recv(pair.fds[0]);
  loop->add(&recv.c);
  std::thread canceller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    LoopHolder mine;
    mine->cancel(&recv.c);
  });
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(loop->tick(true), Error::none);  // blocks until the request's wake-up
  EXPECT_EQ(loop->last_wait, loop->max_wait);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  canceller.join();
  ASSERT_TRUE(driveUntil(*loop, [&] { return recv.calls == 1; }));
  EXPECT_EQ(recv.c.err, Error::Canceled);
}

TEST(Cancel, ACrossThreadRequestRacingAHarvestedCompletionDispatchesOnce) {
  LoopHolder loop;
  SocketPair pair;
  Recv recv(pair.fds[0]);
  loop->add(&recv.c);
  ASSERT_EQ(loop->tick(false), Error::none);  // the receive is in the kernel now
  ASSERT_EQ(::write(pair.fds[1], "hello", 5), 5);
  cancelFromAnotherThread(&recv.c);
  // One pass harvests the completion (dispatch held back: a cancel is in
  // progress) and then serves the request, which dispatches it once.
  ASSERT_TRUE(driveUntil(*loop, [&] { return recv.calls > 0; }));
  ASSERT_TRUE(driveUntil(*loop, [&] { return loop->state.active == 0; }));
  EXPECT_EQ(recv.calls, 1);
  auto r = recv.getResult();
  if (r.has_value()) {
    EXPECT_EQ(*r, 5u);  // the operation's own result won
  } else {
    EXPECT_EQ(r.error(), Error::Canceled);  // the kernel took the cancel first
  }
}

TEST(Cancel, CancelledTimerNoLongerShortensTheWait) {
  LoopHolder loop;
  Timer keep, near;
  keep.init(Timeout::never());
  near.init(Timeout::never());
  loop->add(&keep.c);
  loop->setTimer(&near, Timeout::after(5'000'000));
  loop->cancel(&near.c);
  ASSERT_EQ(loop->tick(true), Error::none);
  EXPECT_EQ(loop->nextDispatched(), &near.c);
  EXPECT_EQ(near.c.err, Error::Canceled);
  // Only the never-firing timer is left: the wait is the loop's cap, not
  // the cancelled timer's 5 ms.
  loop->max_wait = 200'000'000;
  ASSERT_EQ(loop->tick(true), Error::none);
  EXPECT_EQ(loop->last_wait, 200'000'000u);
  loop->clearTimer(&keep);
}

namespace {

// A job whose "system call" ignores interruptions until released, so its
// token stays blocked_canceling and the loop must keep signalling.
struct StubbornJob : Work {
  sc::Token token;
  std::atomic<bool> release{false};
  std::atomic<int> interrupts{0};
  int calls = 0;

  StubbornJob() {
    init(
        [](Work* w) {
          auto* job = static_cast<StubbornJob*>(w);
          sc::SyscallResult r = sc::interruptible([job]() -> long {
            for (;;) {
              timespec ts{0, 200'000};
              if (::nanosleep(&ts, nullptr) != 0) ++job->interrupts;
              if (job->release.load() && job->interrupts.load() > 0) {
                errno = EINTR;
                return -1;
              }
            }
          });
          if (r.canceled) job->c.setError(Error::Canceled);
        },
        nullptr);
    cancel_token = &token;
    c.userdata = this;
    c.callback = [](Loop*, Completion* done) { ++static_cast<StubbornJob*>(done->userdata)->calls; };
  }
};

}  // namespace

TEST(Cancel, BlockedPooledJobIsSignalledUntilItLeavesTheCall) {
  ThreadPool pool;
  ThreadPoolOptions options{0, 2, 60'000'000'000, 2};
  ASSERT_EQ(pool.init(cAllocator(), options), Error::none);
  {
    LoopHolder loop(true, &pool);
    Timer far;
    far.init(Timeout::never());
    loop->setTimer(&far, Timeout::after(300'000'000));  // the timer-driven wait
    StubbornJob job;
    loop->add(&job.c);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (job.token.state.load() != sc::Token::State::blocked && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(job.token.state.load(), sc::Token::State::blocked);

    loop->cancel(&job.c);
    EXPECT_EQ(job.token.state.load(), sc::Token::State::blocked_canceling);
    EXPECT_EQ(loop->state.cancel_resend, &job);
    for (int i = 0; i < 20; ++i) {
      ASSERT_EQ(loop->tick(true), Error::none);
      ASSERT_TRUE(loop->last_wait.has_value());
      EXPECT_LE(*loop->last_wait, resend_interval_ns);
    }
    EXPECT_GE(job.interrupts.load(), 2);  // signalled again and again
    job.release = true;
    ASSERT_TRUE(driveUntil(*loop, [&] { return job.calls == 1; }));
    EXPECT_EQ(job.c.err, Error::Canceled);
    EXPECT_EQ(loop->state.cancel_resend, nullptr);
    // Back to the timer-driven wait (a pass or two may still have work queued).
    for (int i = 0; i < 3 && loop->last_wait.value_or(0) <= resend_interval_ns; ++i) {
      ASSERT_EQ(loop->tick(true), Error::none);
    }
    EXPECT_GT(loop->last_wait.value_or(0), resend_interval_ns);
    loop->clearTimer(&far);
  }
  pool.stop();
  pool.deinit();
}
