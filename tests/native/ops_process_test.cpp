// Child waits on the ring: how the kernel's siginfo becomes an exit status.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ops_fixture.hpp"

using namespace vorn::ev;
using vorn::Error;
using vorn::ev::testing::OpsLoop;
using vorn::ev::testing::Rec;
using vorn::ev::testing::runUntil;

TEST(ProcessWaitOp, ExitCodeAndKillingSignal) {
  OpsLoop loop;
  pid_t exits = ::fork();
  ASSERT_GE(exits, 0);
  if (exits == 0) ::_exit(3);
  pid_t killed = ::fork();
  ASSERT_GE(killed, 0);
  if (killed == 0) {
    for (;;) ::pause();
  }

  Rec<ProcessWait> wait_exit(exits);
  Rec<ProcessWait> wait_kill(killed);
  loop->add(&wait_exit.c);
  loop->add(&wait_kill.c);
  ASSERT_EQ(::kill(killed, SIGKILL), 0);
  ASSERT_TRUE(runUntil(*loop, &wait_exit.c));
  ASSERT_TRUE(runUntil(*loop, &wait_kill.c));

  ASSERT_TRUE(wait_exit.getResult().has_value());
  EXPECT_EQ(wait_exit.getResult()->code, 3);
  EXPECT_FALSE(wait_exit.getResult()->signal.has_value());
  ASSERT_TRUE(wait_kill.getResult().has_value());
  EXPECT_EQ(wait_kill.getResult()->code, 0);
  EXPECT_EQ(wait_kill.getResult()->signal, std::optional<std::uint8_t>{SIGKILL});

  // Both were reaped by the ring's wait.
  EXPECT_EQ(::waitpid(exits, nullptr, WNOHANG), -1);
  EXPECT_EQ(::waitpid(killed, nullptr, WNOHANG), -1);
}

TEST(ProcessWaitOp, NotAChildAndCancelled) {
  OpsLoop loop;
  Rec<ProcessWait> stranger(1);  // init is never our child
  ASSERT_TRUE(loop.run(&stranger.c));
  EXPECT_EQ(stranger.getResult().error_or(Error::none), Error::ProcessNotFound);

  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    for (;;) ::pause();
  }
  Rec<ProcessWait> wait(child);
  loop->add(&wait.c);
  ASSERT_EQ(loop->tick(false), Error::none);
  loop->cancel(&wait.c);
  ASSERT_TRUE(runUntil(*loop, &wait.c));
  // A cancelled wait reports the cancellation, not a failure of the child.
  EXPECT_EQ(wait.getResult().error_or(Error::none), Error::Canceled);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
}
