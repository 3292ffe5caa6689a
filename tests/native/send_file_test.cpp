// Socket sendfile through the loop's read-and-send pipeline: layouts, counts,
// partial sends, end of file, errors and cancellation, with real files and
// real sockets.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ev/send_file.hpp"
#include "loop_fixture.hpp"
#include "ops_fixture.hpp"

using namespace vorn::ev;
using vorn::Error;
using vorn::ev::testing::driveUntil;
using vorn::ev::testing::LoopHolder;
using vorn::ev::testing::TempDir;

namespace {

struct TestSendFile : NetSendFile {
  int calls = 0;
  TestSendFile(int sock, int file, std::uint64_t off, std::size_t count, std::span<std::uint8_t> b0,
               std::span<std::uint8_t> b1) {
    init(sock, file, off, count, b0, b1);
    c.userdata = this;
    c.callback = [](Loop*, Completion* done) { ++static_cast<TestSendFile*>(done->userdata)->calls; };
  }
};

std::vector<std::uint8_t> pattern(std::size_t n, unsigned seed) {
  std::vector<std::uint8_t> v(n);
  std::mt19937 rng(seed);
  for (auto& b : v) b = static_cast<std::uint8_t>(rng());
  return v;
}

int writeFile(TempDir& dir, const std::vector<std::uint8_t>& data) {
  std::string path = dir.path + "/data";
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  EXPECT_GE(fd, 0);
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    EXPECT_GT(n, 0);
    done += static_cast<std::size_t>(n);
  }
  return fd;
}

// A non-blocking stream pair with small socket buffers, so sends are partial.
struct Pair {
  int fds[2];
  explicit Pair(int buf = 0) {
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    if (buf > 0) {
      for (int fd : fds) {
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buf, sizeof buf);
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buf, sizeof buf);
      }
    }
    ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
  }
  ~Pair() {
    for (int fd : fds) {
      if (fd >= 0) ::close(fd);
    }
  }
};

// Reads everything from fd on a thread until end of stream.
struct Reader {
  std::vector<std::uint8_t> got;
  std::atomic<std::size_t> count{0};
  std::thread thread;
  explicit Reader(int fd, bool slow = false)
      : thread([this, fd, slow] {
          std::uint8_t buf[4096];
          for (;;) {
            ssize_t n = ::read(fd, buf, slow ? 512 : sizeof buf);
            if (n <= 0) return;
            got.insert(got.end(), buf, buf + n);
            count += static_cast<std::size_t>(n);
            if (slow) std::this_thread::sleep_for(std::chrono::microseconds(200));
          }
        }) {}
  void join() { thread.join(); }
};

}  // namespace

TEST(SendfileLayout, Strategies) {
  EXPECT_EQ(chooseSendfileStrategy(131072, 131072), SendfileStrategy::both);
  EXPECT_EQ(chooseSendfileStrategy(131072, 0), SendfileStrategy::split);
  EXPECT_EQ(chooseSendfileStrategy(4096, 0), SendfileStrategy::single);
  EXPECT_EQ(chooseSendfileStrategy(65536, 32767), SendfileStrategy::split);
  EXPECT_EQ(chooseSendfileStrategy(65536, 32768), SendfileStrategy::both);
  EXPECT_EQ(chooseSendfileStrategy(4096, 100), SendfileStrategy::both);

  std::vector<std::uint8_t> a(131072), b(131072), small(4096);
  Fallback fb{};
  sendfileLayout(fb, {std::span(a), std::span(b)});
  EXPECT_EQ(fb.bufs[0].data(), a.data());
  EXPECT_EQ(fb.bufs[1].data(), b.data());
  sendfileLayout(fb, {std::span<std::uint8_t>(), std::span(a)});  // the larger one is split
  EXPECT_EQ(fb.bufs[0].data(), a.data());
  EXPECT_EQ(fb.bufs[0].size(), 65536u);
  EXPECT_EQ(fb.bufs[1].data(), a.data() + 65536);
  EXPECT_EQ(fb.bufs[1].size(), 65536u);
  sendfileLayout(fb, {std::span(small), std::span<std::uint8_t>()});
  EXPECT_EQ(fb.bufs[0].size(), 4096u);
  EXPECT_TRUE(fb.bufs[1].empty());
}

TEST(Sendfile, CountsAndEndOfFile) {
  TempDir dir;
  auto data = pattern(10000, 1);
  int file = writeFile(dir, data);
  std::vector<std::uint8_t> b0(4096), b1(4096);
  struct Case {
    std::uint64_t offset;
    std::size_t count;
    std::size_t expect;
  } cases[] = {
      {0, 0, 0},              // nothing to do: completes at once
      {0, 1000, 1000},        // fewer bytes than a buffer
      {100, 5000, 5000},      // over both buffers
      {500, SIZE_MAX, 9500},  // to the end of the file
      {9000, 50000, 1000},    // file shorter than asked
      {20000, 10, 0},         // offset beyond the end
  };
  for (const Case& k : cases) {
    LoopHolder loop;
    Pair pair;
    Reader reader(pair.fds[1]);
    TestSendFile sf(pair.fds[0], file, k.offset, k.count, b0, b1);
    loop->add(&sf.c);
    ASSERT_TRUE(driveUntil(*loop, [&] { return sf.calls > 0; }));
    ::shutdown(pair.fds[0], SHUT_WR);
    reader.join();
    ASSERT_TRUE(sf.getResult().has_value()) << vorn::errorName(sf.c.err);
    EXPECT_EQ(*sf.getResult(), k.expect);
    EXPECT_EQ(sf.calls, 1);
    ASSERT_EQ(reader.got.size(), k.expect);
    if (k.expect > 0) {
      EXPECT_TRUE(
          std::equal(reader.got.begin(), reader.got.end(), data.begin() + static_cast<std::ptrdiff_t>(k.offset)));
    }
  }
  ::close(file);
}

TEST(Sendfile, PartialSendsKeepFileOrderForEveryLayout) {
  TempDir dir;
  auto data = pattern(1024 * 1024 + 123, 2);
  int file = writeFile(dir, data);
  std::vector<std::uint8_t> big0(131072), big1(131072), small(4096);
  std::span<std::uint8_t> layouts[][2] = {
      {big0, big1},                        // both
      {big0, std::span<std::uint8_t>()},   // split
      {small, std::span<std::uint8_t>()},  // single
  };
  for (auto& bufs : layouts) {
    LoopHolder loop;
    Pair pair(4096);  // tiny socket buffers force partial sends
    Reader reader(pair.fds[1], true);
    TestSendFile sf(pair.fds[0], file, 0, SIZE_MAX, bufs[0], bufs[1]);
    loop->add(&sf.c);
    ASSERT_TRUE(driveUntil(*loop, [&] { return sf.calls > 0; }));
    ::shutdown(pair.fds[0], SHUT_WR);
    reader.join();
    ASSERT_TRUE(sf.getResult().has_value()) << vorn::errorName(sf.c.err);
    EXPECT_EQ(*sf.getResult(), data.size());
    EXPECT_TRUE(reader.got == data);
  }
  ::close(file);
}

TEST(Sendfile, LargeFileArrivesIntact) {
  TempDir dir;
  auto data = pattern(32 * 1024 * 1024, 3);
  int file = writeFile(dir, data);
  std::vector<std::uint8_t> b0(131072), b1(131072);
  LoopHolder loop;
  Pair pair;
  Reader reader(pair.fds[1]);
  TestSendFile sf(pair.fds[0], file, 0, SIZE_MAX, b0, b1);
  loop->add(&sf.c);
  ASSERT_TRUE(driveUntil(*loop, [&] { return sf.calls > 0; }));
  ::shutdown(pair.fds[0], SHUT_WR);
  reader.join();
  ASSERT_TRUE(sf.getResult().has_value());
  EXPECT_EQ(*sf.getResult(), data.size());
  EXPECT_TRUE(reader.got == data);
  ::close(file);
}

TEST(Sendfile, CancelMidTransferWaitsForBothChildren) {
  TempDir dir;
  auto data = pattern(8 * 1024 * 1024, 4);
  int file = writeFile(dir, data);
  std::vector<std::uint8_t> b0(131072), b1(131072);
  LoopHolder loop;
  Pair pair(4096);
  TestSendFile sf(pair.fds[0], file, 0, SIZE_MAX, b0, b1);
  loop->add(&sf.c);
  // Nobody reads: the send stalls on the full socket buffer while a read
  // may still be in flight.
  ASSERT_TRUE(driveUntil(*loop, [&] { return sf.internal.total > 0 && sf.internal.sending.has_value(); }));
  loop->cancel(&sf.c);
  EXPECT_EQ(sf.calls, 0);
  ASSERT_TRUE(driveUntil(*loop, [&] { return sf.calls > 0; }));
  EXPECT_EQ(sf.c.err, Error::Canceled);
  EXPECT_FALSE(sf.internal.reading.has_value());
  EXPECT_FALSE(sf.internal.sending.has_value());
  EXPECT_TRUE(sf.internal.read.c.isState(State::dead));
  EXPECT_TRUE(sf.internal.send.c.isState(State::dead));
  EXPECT_TRUE(loop->done() || loop->state.active == 0);
  ::close(file);
}

TEST(Sendfile, PeerResetEndsWithTheSendError) {
  TempDir dir;
  auto data = pattern(8 * 1024 * 1024, 5);
  int file = writeFile(dir, data);
  std::vector<std::uint8_t> b0(131072), b1(131072);

  int lst = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(lst, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(lst, 1), 0);
  ASSERT_EQ(::getsockname(lst, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  int cli = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  ::connect(cli, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  int srv = ::accept4(lst, nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(srv, 0);

  LoopHolder loop;
  TestSendFile sf(cli, file, 0, SIZE_MAX, b0, b1);
  loop->add(&sf.c);
  ASSERT_TRUE(driveUntil(*loop, [&] { return sf.internal.total > 0; }));
  linger lg{1, 0};
  ::setsockopt(srv, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  ::close(srv);  // reset
  ASSERT_TRUE(driveUntil(*loop, [&] { return sf.calls > 0; }));
  EXPECT_TRUE(sf.c.err == Error::ConnectionResetByPeer || sf.c.err == Error::BrokenPipe) << vorn::errorName(sf.c.err);
  EXPECT_EQ(sf.c.osErrno(), sf.c.err == Error::BrokenPipe ? EPIPE : ECONNRESET);  // the inner send's number
  ::close(cli);
  ::close(lst);
  ::close(file);
}
