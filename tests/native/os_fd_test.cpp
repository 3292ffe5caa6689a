// The calls the module makes on descriptors outside the ring: a close that
// is never repeated, and the direct send of sendall.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include <gtest/gtest.h>

#include "os/fd.hpp"
#include "os/net.hpp"

using vorn::Error;
using namespace vorn::os;

// EINTR from close(2) cannot be provoked on demand (sockets and local files
// never report it); what is checked is that a number closed once is gone,
// and that closing it again is reported, not hidden.
TEST(CloseOnce, ReleasesTheNumberAndReportsASecondClose) {
  int p[2];
  ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
  EXPECT_EQ(closeOnce(p[0]), Error::none);
  EXPECT_EQ(::fcntl(p[0], F_GETFD), -1);
  EXPECT_EQ(closeOnce(p[0]), Error::FileDescriptorInvalid);
  closeOwned(p[1]);
  EXPECT_EQ(::fcntl(p[1], F_GETFD), -1);
}

TEST(SendNow, TakesWhatFitsThenWouldBlockThenBrokenPipeWithoutSignal) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  std::vector<char> chunk(1 << 16, 'x');
  std::size_t sent = 0, total = 0;
  int os_errno = -1;
  Error e;
  while ((e = sendNow(sv[0], chunk.data(), chunk.size(), &sent, &os_errno)) == Error::none) {
    ASSERT_GT(sent, 0u);
    EXPECT_EQ(os_errno, 0);
    total += sent;
  }
  EXPECT_EQ(e, Error::WouldBlock);
  EXPECT_EQ(sent, 0u);
  EXPECT_GT(total, 0u);
  ::close(sv[1]);
  // MSG_NOSIGNAL: the process would otherwise die of SIGPIPE here.
  EXPECT_EQ(sendNow(sv[0], chunk.data(), 1, &sent, &os_errno), Error::BrokenPipe);
  EXPECT_EQ(os_errno, EPIPE);
  ::close(sv[0]);
}
