// Socket operations through a real loop and real loopback sockets: the
// immediate kinds, the message kinds' headers and write-backs, flag
// translation, and the result families that deviate from the plain errno.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "ops_fixture.hpp"

using namespace vorn::ev;
using vorn::Error;
using vorn::ev::testing::LoopHolder;
using vorn::ev::testing::Rec;
using vorn::ev::testing::runUntil;

namespace {

sockaddr_in loopback(std::uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

bool run(LoopHolder& loop, Completion* c) {
  loop->add(c);
  return runUntil(*loop, c);
}

struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  operator int() const { return fd; }
};

// A TCP listener on an ephemeral loopback port, made with the ring's
// immediate kinds.
struct Listener {
  Fd fd;
  sockaddr_in addr = loopback(0);

  explicit Listener(LoopHolder& loop) {
    Rec<NetOpen> open(Domain::ipv4, Type::stream, Protocol::tcp, OpenFlags{.nonblocking = false, .cloexec = true});
    EXPECT_TRUE(run(loop, &open.c));
    auto s = open.getResult();
    EXPECT_TRUE(s.has_value());
    fd.fd = s.value_or(-1);
    socklen_t len = sizeof addr;
    Rec<NetBind> bind(fd.fd, reinterpret_cast<sockaddr*>(&addr), &len);
    EXPECT_TRUE(run(loop, &bind.c));
    EXPECT_TRUE(bind.getResult().has_value());
    Rec<NetListen> listen(fd.fd, 8u);
    EXPECT_TRUE(run(loop, &listen.c));
    EXPECT_TRUE(listen.getResult().has_value());
  }
};

}  // namespace

TEST(NetImmediate, OpenBindListenCompleteInsideAddAndDispatchOnTheNextTick) {
  LoopHolder loop;
  Rec<NetOpen> open(Domain::ipv4, Type::stream, Protocol::tcp, OpenFlags{.nonblocking = true, .cloexec = true});
  loop->add(&open.c);
  // Finished before add returned; nothing reached the ring.
  EXPECT_TRUE(open.c.isState(State::completed));
  EXPECT_EQ(loop->state.inflight_io, 0u);
  ASSERT_EQ(loop->tick(false), Error::none);
  EXPECT_EQ(loop.drain(), std::vector<Completion*>{&open.c});
  ASSERT_TRUE(open.getResult().has_value());
  Fd s(*open.getResult());
  EXPECT_NE(::fcntl(s, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_NE(::fcntl(s, F_GETFD) & FD_CLOEXEC, 0);

  // A port 0 bind learns its port through the address it was given.
  sockaddr_in addr = loopback(0);
  socklen_t len = sizeof addr;
  Rec<NetBind> bind(s.fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ASSERT_TRUE(run(loop, &bind.c));
  ASSERT_TRUE(bind.getResult().has_value());
  EXPECT_NE(addr.sin_port, 0);
  EXPECT_EQ(len, sizeof addr);

  // The same address again: taken.
  Rec<NetOpen> open2(Domain::ipv4, Type::stream, Protocol::tcp, OpenFlags{});
  ASSERT_TRUE(run(loop, &open2.c));
  Fd s2(open2.getResult().value_or(-1));
  socklen_t len2 = sizeof addr;
  Rec<NetBind> bind2(s2.fd, reinterpret_cast<sockaddr*>(&addr), &len2);
  ASSERT_TRUE(run(loop, &bind2.c));
  EXPECT_EQ(bind2.getResult().error_or(Error::none), Error::AddressInUse);
  EXPECT_EQ(bind2.c.osErrno(), EADDRINUSE);  // an immediate call keeps its number
}

TEST(NetImmediate, ErrorsFollowTheirOwnTables) {
  LoopHolder loop;
  Rec<NetOpen> open(static_cast<Domain>(12345), Type::stream, Protocol::ip, OpenFlags{});
  ASSERT_TRUE(run(loop, &open.c));
  EXPECT_EQ(open.getResult().error_or(Error::none), Error::AddressFamilyUnsupported);

  int p[2];
  ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
  Fd r(p[0]), w(p[1]);
  Rec<NetListen> listen(r.fd, 1u);
  ASSERT_TRUE(run(loop, &listen.c));
  EXPECT_EQ(listen.getResult().error_or(Error::none), Error::FileDescriptorNotASocket);

  sockaddr_in addr = loopback(0);
  socklen_t len = sizeof addr;
  Rec<NetBind> bind(r.fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ASSERT_TRUE(run(loop, &bind.c));
  EXPECT_EQ(bind.getResult().error_or(Error::none), Error::FileDescriptorNotASocket);
}

TEST(NetImmediate, PipeCreateGivesANonBlockingCloseOnExecPair) {
  LoopHolder loop;
  Rec<PipeCreate> pipe;
  ASSERT_TRUE(run(loop, &pipe.c));
  ASSERT_TRUE(pipe.getResult().has_value());
  auto [rfd, wfd] = *pipe.getResult();
  Fd r(rfd), w(wfd);
  for (int fd : {rfd, wfd}) {
    EXPECT_NE(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
  }
  ASSERT_EQ(::write(w, "x", 1), 1);
  char c = 0;
  EXPECT_EQ(::read(r, &c, 1), 1);
  EXPECT_EQ(c, 'x');
}

TEST(NetStream, ConnectAcceptSendRecvOverLoopback) {
  LoopHolder loop;
  Listener l(loop);

  sockaddr_in peer{};
  socklen_t peer_len = sizeof peer;
  Rec<NetAccept> accept(l.fd.fd, reinterpret_cast<sockaddr*>(&peer), &peer_len,
                        OpenFlags{.nonblocking = true, .cloexec = true});
  loop->add(&accept.c);

  Fd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  Rec<NetConnect> connect(client.fd, reinterpret_cast<const sockaddr*>(&l.addr), socklen_t{sizeof l.addr});
  loop->add(&connect.c);
  ASSERT_TRUE(runUntil(*loop, &connect.c));
  ASSERT_TRUE(connect.getResult().has_value()) << errorName(connect.getResult().error());
  ASSERT_TRUE(runUntil(*loop, &accept.c));
  ASSERT_TRUE(accept.getResult().has_value());
  Fd server(*accept.getResult());
  EXPECT_EQ(peer_len, sizeof peer);
  EXPECT_EQ(peer.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  // The accepted socket carries the flags the caller asked for.
  EXPECT_NE(::fcntl(server, F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_NE(::fcntl(server, F_GETFL) & O_NONBLOCK, 0);

  // Two iovecs out, two iovecs in.
  const char a[] = "hello ", b[] = "world";
  iovec out[2] = {{const_cast<char*>(a), 6}, {const_cast<char*>(b), 5}};
  Rec<NetSend> send(client.fd, WriteBuf{out}, SendFlags{.no_signal = true, .unused = 0});
  ASSERT_TRUE(run(loop, &send.c));
  EXPECT_EQ(send.getResult().value_or(0), 11u);

  // A peek leaves the bytes in the socket.
  char in1[4] = {}, in2[16] = {};
  iovec peek_iov[1] = {{in1, sizeof in1}};
  Rec<NetRecv> peek(server.fd, ReadBuf{peek_iov},
                    RecvFlags{.peek = true, .waitall = false, .oob = false, .trunc = false});
  ASSERT_TRUE(run(loop, &peek.c));
  EXPECT_EQ(peek.getResult().value_or(0), 4u);
  iovec in[2] = {{in1, sizeof in1}, {in2, sizeof in2}};
  Rec<NetRecv> recv(server.fd, ReadBuf{in}, RecvFlags{});
  ASSERT_TRUE(run(loop, &recv.c));
  ASSERT_EQ(recv.getResult().value_or(0), 11u);
  EXPECT_EQ(std::string(in1, 4) + std::string(in2, 7), "hello world");

  // Half-close: the peer reads end of stream.
  Rec<NetShutdown> shut(client.fd, ShutdownHow::send);
  ASSERT_TRUE(run(loop, &shut.c));
  EXPECT_TRUE(shut.getResult().has_value());
  Rec<NetRecv> eof(server.fd, ReadBuf{in}, RecvFlags{});
  ASSERT_TRUE(run(loop, &eof.c));
  EXPECT_EQ(eof.getResult().value_or(99), 0u);
}

TEST(NetStream, FailuresMapThroughTheirFamilies) {
  LoopHolder loop;
  // A port nobody listens on: bind one, then close it.
  sockaddr_in addr = loopback(0);
  {
    Fd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  }
  Fd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  Rec<NetConnect> connect(client.fd, reinterpret_cast<const sockaddr*>(&addr), socklen_t{sizeof addr});
  ASSERT_TRUE(run(loop, &connect.c));
  EXPECT_EQ(connect.getResult().error_or(Error::none), Error::ConnectionRefused);

  // ENOTCONN is SocketUnconnected for a shutdown (not SocketNotConnected).
  Fd lone(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  Rec<NetShutdown> shut(lone.fd, ShutdownHow::both);
  ASSERT_TRUE(run(loop, &shut.c));
  EXPECT_EQ(shut.getResult().error_or(Error::none), Error::SocketUnconnected);

  // Accept on a socket that does not listen.
  Rec<NetAccept> accept(lone.fd, nullptr, nullptr, OpenFlags{});
  ASSERT_TRUE(run(loop, &accept.c));
  EXPECT_EQ(accept.getResult().error_or(Error::none), Error::SocketNotListening);

  // Sending into a closed pair without MSG_NOSIGNAL would kill the test;
  // with it the error is BrokenPipe.
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  Fd a(sv[0]);
  ::close(sv[1]);
  char x = 'x';
  iovec v[1] = {{&x, 1}};
  Rec<NetSend> send(a.fd, WriteBuf{v}, SendFlags{.no_signal = true, .unused = 0});
  ASSERT_TRUE(run(loop, &send.c));
  EXPECT_EQ(send.getResult().error_or(Error::none), Error::BrokenPipe);
  // The kernel's own number rides along for callers that report it.
  EXPECT_EQ(send.osErrno(), EPIPE);
  char byte;
  iovec in[1] = {{&byte, 1}};
  Fd unconnected(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  Rec<NetRecv> recv(unconnected.fd, ReadBuf{in}, RecvFlags{});
  ASSERT_TRUE(run(loop, &recv.c));
  EXPECT_EQ(recv.getResult().error_or(Error::none), Error::SocketNotConnected);
  EXPECT_EQ(recv.osErrno(), ENOTCONN);
}

TEST(NetClose, ReportsSuccessEvenOnABadDescriptor) {
  LoopHolder loop;
  Rec<NetClose> close_bad(-1);
  ASSERT_TRUE(run(loop, &close_bad.c));
  EXPECT_TRUE(close_bad.getResult().has_value());

  int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  Rec<NetClose> close_ok(fd);
  ASSERT_TRUE(run(loop, &close_ok.c));
  EXPECT_TRUE(close_ok.getResult().has_value());
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);  // really closed
}

TEST(NetDatagram, RecvFromWritesTheAddressLengthBackOnlyWhenGiven) {
  LoopHolder loop;
  Fd rx(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)), tx(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in rx_addr = loopback(0);
  socklen_t len = sizeof rx_addr;
  ASSERT_EQ(::bind(rx, reinterpret_cast<sockaddr*>(&rx_addr), len), 0);
  ASSERT_EQ(::getsockname(rx, reinterpret_cast<sockaddr*>(&rx_addr), &len), 0);

  // sendto through the ring.
  const char msg[] = "ping";
  iovec out[1] = {{const_cast<char*>(msg), 4}};
  Rec<NetSendTo> sendto(tx.fd, WriteBuf{out}, reinterpret_cast<const sockaddr*>(&rx_addr), socklen_t{sizeof rx_addr},
                        SendFlags{});
  ASSERT_TRUE(run(loop, &sendto.c));
  EXPECT_EQ(sendto.getResult().value_or(0), 4u);
  ASSERT_TRUE(run(loop, &sendto.c));  // a second datagram, same record re-added

  // Without addr_len the header's namelen is 0: the address buffer is not
  // written and there is no length to write back.
  sockaddr_in from;
  std::memset(&from, 0xab, sizeof from);
  char buf[16];
  iovec in[1] = {{buf, sizeof buf}};
  Rec<NetRecvFrom> r1(rx.fd, ReadBuf{in}, reinterpret_cast<sockaddr*>(&from), nullptr, RecvFlags{});
  ASSERT_TRUE(run(loop, &r1.c));
  EXPECT_EQ(r1.getResult().value_or(0), 4u);
  unsigned char untouched[sizeof from];
  std::memset(untouched, 0xab, sizeof untouched);
  EXPECT_EQ(std::memcmp(&from, untouched, sizeof from), 0);

  // With addr_len: the sender's address and its length come back.
  socklen_t from_len = sizeof from;
  Rec<NetRecvFrom> r2(rx.fd, ReadBuf{in}, reinterpret_cast<sockaddr*>(&from), &from_len, RecvFlags{});
  ASSERT_TRUE(run(loop, &r2.c));
  EXPECT_EQ(r2.getResult().value_or(0), 4u);
  EXPECT_EQ(from_len, sizeof(sockaddr_in));
  EXPECT_EQ(from.sin_family, AF_INET);
  sockaddr_in tx_addr;
  socklen_t tx_len = sizeof tx_addr;
  ASSERT_EQ(::getsockname(tx, reinterpret_cast<sockaddr*>(&tx_addr), &tx_len), 0);
  EXPECT_EQ(from.sin_port, tx_addr.sin_port);
}

TEST(NetDatagram, RecvMsgReportsTruncationAndTheTruncFlagAsksForTheFullLength) {
  LoopHolder loop;
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, sv), 0);
  Fd a(sv[0]), b(sv[1]);
  ASSERT_EQ(::send(a, "0123456789", 10, 0), 10);
  ASSERT_EQ(::send(a, "0123456789", 10, 0), 10);

  char small[4];
  iovec in[1] = {{small, sizeof small}};
  Rec<NetRecvMsg> plain(b.fd, ReadBuf{in}, nullptr, nullptr, std::span<std::byte>{}, RecvFlags{});
  ASSERT_TRUE(run(loop, &plain.c));
  ASSERT_TRUE(plain.getResult().has_value());
  EXPECT_EQ(plain.getResult()->len, 4u);
  EXPECT_NE(plain.getResult()->flags & MSG_TRUNC, 0u);
  EXPECT_EQ(plain.getResult()->controllen, 0u);

  Rec<NetRecvMsg> trunc(b.fd, ReadBuf{in}, nullptr, nullptr, std::span<std::byte>{},
                        RecvFlags{.peek = false, .waitall = false, .oob = false, .trunc = true});
  ASSERT_TRUE(run(loop, &trunc.c));
  EXPECT_EQ(trunc.getResult()->len, 10u);  // the datagram's real length
}

TEST(NetDatagram, SendMsgAndRecvMsgCarryADescriptorInTheControlData) {
  LoopHolder loop;
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, sv), 0);
  Fd a(sv[0]), b(sv[1]);
  int p[2];
  ASSERT_EQ(::pipe2(p, O_CLOEXEC), 0);
  Fd pr(p[0]), pw(p[1]);

  alignas(cmsghdr) std::byte ctl_out[CMSG_SPACE(sizeof(int))] = {};
  auto* cm = reinterpret_cast<cmsghdr*>(ctl_out);
  cm->cmsg_level = SOL_SOCKET;
  cm->cmsg_type = SCM_RIGHTS;
  cm->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(cm), &p[1], sizeof(int));
  char payload = 'f';
  iovec out[1] = {{&payload, 1}};
  Rec<NetSendMsg> send(a.fd, WriteBuf{out}, nullptr, socklen_t{0}, std::span<const std::byte>{ctl_out}, SendFlags{});
  ASSERT_TRUE(run(loop, &send.c));
  EXPECT_EQ(send.getResult().value_or(0), 1u);

  alignas(cmsghdr) std::byte ctl_in[CMSG_SPACE(sizeof(int))] = {};
  char got = 0;
  iovec in[1] = {{&got, 1}};
  Rec<NetRecvMsg> recv(b.fd, ReadBuf{in}, nullptr, nullptr, std::span<std::byte>{ctl_in}, RecvFlags{});
  ASSERT_TRUE(run(loop, &recv.c));
  ASSERT_TRUE(recv.getResult().has_value());
  EXPECT_EQ(recv.getResult()->len, 1u);
  EXPECT_EQ(recv.getResult()->controllen, CMSG_SPACE(sizeof(int)));
  auto* rcm = reinterpret_cast<cmsghdr*>(ctl_in);
  ASSERT_EQ(rcm->cmsg_type, SCM_RIGHTS);
  int passed;
  std::memcpy(&passed, CMSG_DATA(rcm), sizeof passed);
  Fd passed_fd(passed);
  ASSERT_EQ(::write(passed_fd, "z", 1), 1);  // the passed write end feeds our pipe
  char z = 0;
  EXPECT_EQ(::read(pr, &z, 1), 1);
  EXPECT_EQ(z, 'z');
}

TEST(NetPoll, CompletesOnReadinessAndCancelEndsAWaitWithCanceled) {
  LoopHolder loop;
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  Fd a(sv[0]), b(sv[1]);

  Rec<NetPoll> writable(a.fd, NetPoll::Event::send);
  ASSERT_TRUE(run(loop, &writable.c));
  EXPECT_TRUE(writable.getResult().has_value());

  Rec<NetPoll> readable(a.fd, NetPoll::Event::recv);
  loop->add(&readable.c);
  ASSERT_EQ(loop->tick(false), Error::none);
  EXPECT_TRUE(loop.drain().empty());  // nothing to read yet
  loop->cancel(&readable.c);
  ASSERT_TRUE(runUntil(*loop, &readable.c));
  EXPECT_EQ(readable.getResult().error_or(Error::none), Error::Canceled);

  // A blocked receive is cancelled the same way.
  char buf[8];
  iovec in[1] = {{buf, sizeof buf}};
  Rec<NetRecv> recv(a.fd, ReadBuf{in}, RecvFlags{});
  loop->add(&recv.c);
  ASSERT_EQ(loop->tick(false), Error::none);
  loop->cancel(&recv.c);
  ASSERT_TRUE(runUntil(*loop, &recv.c));
  EXPECT_EQ(recv.getResult().error_or(Error::none), Error::Canceled);
  EXPECT_TRUE(loop->done());
}
