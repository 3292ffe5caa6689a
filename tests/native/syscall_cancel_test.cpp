// Interruptible calls: the token's refusal and late-cancel rules, the SIGURG
// handler's counted installation, and a blocked read that a stray signal
// restarts. (Cancelling a blocked call is covered through the pool.)
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "eventually.hpp"
#include "os/syscall_cancel.hpp"

using namespace std::chrono_literals;
namespace sc = vorn::os::syscall_cancel;
using State = sc::Token::State;
using vorn::testing::eventually;

namespace {

struct sigaction currentAction() {
  struct sigaction a{};
  ::sigaction(SIGURG, nullptr, &a);
  return a;
}

extern "C" void otherHandler(int) {}

TEST(InterruptHandler, CountedInstallRestoresThePreviousAction) {
  struct sigaction mine{};
  mine.sa_handler = otherHandler;
  sigemptyset(&mine.sa_mask);
  mine.sa_flags = SA_RESTART;
  ASSERT_EQ(::sigaction(SIGURG, &mine, nullptr), 0);

  sc::installHandler();
  sc::installHandler();  // a second pool
  struct sigaction ours = currentAction();
  EXPECT_NE(ours.sa_handler, otherHandler);
  EXPECT_NE(ours.sa_handler, SIG_DFL);
  EXPECT_EQ(ours.sa_flags & SA_RESTART, 0);  // blocked calls must see EINTR

  sc::uninstallHandler();  // one user left: still ours
  EXPECT_EQ(currentAction().sa_handler, ours.sa_handler);
  sc::uninstallHandler();
  struct sigaction back = currentAction();
  EXPECT_EQ(back.sa_handler, otherHandler);
  EXPECT_NE(back.sa_flags & SA_RESTART, 0);

  struct sigaction dfl{};
  dfl.sa_handler = SIG_DFL;
  ::sigaction(SIGURG, &dfl, nullptr);
}

TEST(Syscall, TokenRules) {
  sc::Token token;
  sc::setCurrentToken(&token);
  int calls = 0;

  // Cancelled before the call: it is never made.
  token.state = State::canceled;
  auto r = sc::interruptible([&] { return ++calls, 0; });
  EXPECT_TRUE(r.canceled);
  EXPECT_EQ(calls, 0);

  // A failing call reports its errno and leaves the token idle for the next.
  token.state = State::idle;
  r = sc::interruptible([&] { return ::close(-1); });
  EXPECT_FALSE(r.canceled);
  EXPECT_EQ(r.errnum, EBADF);
  EXPECT_EQ(token.state.load(), State::idle);

  // A cancellation that arrives after the call returned leaves its outcome,
  // and the token ends cancelled.
  r = sc::interruptible([&] {
    EXPECT_EQ(token.state.load(), State::blocked);
    EXPECT_TRUE(sc::requestCancel(&token));
    return 5;
  });
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.value, 5);
  EXPECT_EQ(token.state.load(), State::canceled);
  EXPECT_FALSE(sc::requestCancel(&token));  // left alone once cancelled

  // Without a token an EINTR simply restarts the call.
  sc::setCurrentToken(nullptr);
  calls = 0;
  r = sc::interruptible([&] {
    if (++calls == 1) {
      errno = EINTR;
      return -1;
    }
    return 7;
  });
  EXPECT_EQ(r.value, 7);
  EXPECT_EQ(calls, 2);
}

TEST(BlockedRead, StraySignalRestartsTheCall) {
  sc::installHandler();
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  sc::Token token;
  std::atomic<int> calls{0};
  sc::SyscallResult result{};
  std::thread reader([&] {
    token.handle.store(::pthread_self());  // as the pool does around a job
    sc::setCurrentToken(&token);
    char byte;
    result = sc::interruptible([&] { return calls.fetch_add(1), ::read(fds[0], &byte, 1); });
    sc::setCurrentToken(nullptr);
  });
  // Not a cancellation: the token stays blocked, so the read is made again.
  EXPECT_TRUE(eventually([&] { return token.state.load() == State::blocked; }));
  EXPECT_TRUE(eventually([&] {
    ::pthread_kill(token.handle.load(), SIGURG);
    return calls.load() >= 2;
  }));
  EXPECT_EQ(token.state.load(), State::blocked);
  EXPECT_EQ(::write(fds[1], "z", 1), 1);
  reader.join();
  EXPECT_TRUE(result.ok());
  EXPECT_EQ(result.value, 1);
  EXPECT_EQ(token.state.load(), State::idle);
  ::close(fds[0]);
  ::close(fds[1]);
  sc::uninstallHandler();
}

}  // namespace
