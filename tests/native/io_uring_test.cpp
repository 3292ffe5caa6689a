// The ring backend on its own: waits, wake-ups, the waker's re-arm when the
// submission queue is full, and loops sharing one group.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "ev/backends/io_uring.hpp"
#include "loop_fixture.hpp"

using namespace vorn::ev;
using vorn::Error;
using vorn::ev::testing::LoopHolder;

TEST(IoUring, PollWithZeroTimeoutReturnsTrueAtOnce) {
  LoopHolder loop;
  auto r = loop->backend.poll(loop->state, 0);
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(*r);  // nothing harvested: timers may be due
  EXPECT_FALSE(loop->backend.waker_needs_rearm);
  EXPECT_EQ(loop->backend.ring.setup_flags & 0x3100u, 0x3100u);
  EXPECT_NE(loop->backend.shared_state->ftruncate_support.load(), 0);  // probed at init
}

TEST(IoUring, WakeEndsAnUnlimitedWaitAndIsDrained) {
  LoopHolder loop;
  std::thread waker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    loop->backend.wake();
    loop->backend.wake();  // absorbed by the same read
  });
  auto r = loop->backend.poll(loop->state, UINT64_MAX);
  waker.join();
  ASSERT_TRUE(r.has_value());
  EXPECT_FALSE(*r);  // an entry (the waker's) was harvested
  // Drained: a further zero wait finds nothing (possibly the second write's
  // entry if the first read raced it, which is drained too).
  for (int i = 0; i < 2; ++i) ASSERT_TRUE(loop->backend.poll(loop->state, 0).has_value());
  std::uint64_t value;
  EXPECT_EQ(::read(loop->backend.waker_eventfd, &value, sizeof value), -1);
  EXPECT_EQ(errno, EAGAIN);
}

// A queue full of entries that never complete, with the waker's poll ended:
// the poll makes room by submitting them, arms the waker and can then be
// woken from another thread out of an unlimited wait.
TEST(IoUring, AFullQueueMakesRoomForTheWaker) {
  LoopHolder loop;
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  int filled = 0;
  while (io_uring_sqe* sqe = loop->backend.getSqe()) {  // the ring is not enabled yet: it stays full
    sqe->opcode = IORING_OP_POLL_ADD;
    sqe->fd = fds[0];
    sqe->poll32_events = POLLIN;
    sqe->user_data = backends::cancel_ud;
    ++filled;
  }
  EXPECT_GT(filled, 0);
  loop->backend.waker_needs_rearm = true;
  std::thread waker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    loop->backend.wake();
  });
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(loop->backend.poll(loop->state, UINT64_MAX).has_value());
  waker.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));  // a hang bound
  EXPECT_FALSE(loop->backend.waker_needs_rearm);
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST(IoUring, LoopsOfOneGroupShareTheMastersWorkers) {
  LoopGroup group;
  Loop a, b;
  Options o{cAllocator(), nullptr, &group, 256, true};
  ASSERT_EQ(a.init(o), Error::none);
  ASSERT_EQ(b.init(o), Error::none);
  int master = group.shared.master_fd.load();
  EXPECT_EQ(a.backend.ring.fd, master);
  EXPECT_NE(b.backend.ring.fd, master);
  EXPECT_NE(b.backend.ring.setup_flags & IORING_SETUP_ATTACH_WQ, 0u);
  EXPECT_EQ(group.shared.refcount.load(), 2u);

  a.deinit();  // the master goes first: its fd stays open for b
  EXPECT_NE(::fcntl(master, F_GETFD), -1);
  EXPECT_EQ(group.shared.master_fd.load(), master);
  b.wake();
  ASSERT_EQ(b.tick(false), Error::none);
  b.deinit();
  EXPECT_EQ(group.shared.master_fd.load(), -1);
  EXPECT_EQ(group.shared.refcount.load(), 0u);
  EXPECT_EQ(::fcntl(master, F_GETFD), -1);
}

TEST(IoUring, SpecialUserData) {
  using namespace backends;
  EXPECT_EQ(waker_ud, 1u);
  EXPECT_EQ(cancel_ud, 3u);
  EXPECT_EQ(specialUd(SpecialKind::wall_boot, 2), 5u + 8 * 2);
  EXPECT_EQ(specialUd(SpecialKind::wall_real, 7), 7u + 8 * 7);
  std::uint64_t ud = specialUd(SpecialKind::wall_real, 0xffffffffu);
  EXPECT_TRUE(udIsSpecial(ud));
  EXPECT_EQ(udKind(ud), SpecialKind::wall_real);
  EXPECT_EQ(udGeneration(ud), 0xffffffffu);
}
