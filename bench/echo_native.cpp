// Native echo server on io_uring, no Python: the ceiling the Python echo
// servers are compared against. One thread, pinned to one CPU. Each
// connection receives into its own buffer (64 KiB, as the loop's transports
// use; --buf changes it, to measure what another size would give) and sends
// back what came, then receives again. Prints "READY <port>" once listening;
// exits on SIGTERM or SIGINT.
//
// --multishot: one multishot receive per connection taking buffers from a
// ring of provided buffers (the kernel picks a buffer per completion; the
// server sends from it and gives it back), to measure what that design
// would give over one receive per message.
//
//   bench_echo_native [--host 127.0.0.1] [--port 0] [--cpu 1] [--buf 65536] [--multishot 1]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "uring.hpp"

namespace {

using bench::die;

volatile sig_atomic_t stopping = 0;
void onSignal(int) { stopping = 1; }

struct Conn {
  int fd = -1;
  unsigned len = 0;   // bytes received, to send back
  unsigned sent = 0;  // of those, sent
  std::vector<unsigned char> buf;
  // Multishot mode: provided buffers received and not yet sent back, in
  // order (bid, length); the front one is being sent.
  std::deque<std::pair<unsigned, unsigned>> out;
  bool sending = false;
  bool recv_armed = false;
  bool closed = false;
};

// A ring of provided buffers registered as buffer group 0.
struct BufRing {
  io_uring_buf_ring* ring = nullptr;
  unsigned entries = 0;
  std::size_t size = 0;
  unsigned char* mem = nullptr;

  BufRing(int ring_fd, unsigned n, std::size_t buf_size) : entries(n), size(buf_size) {
    void* r = mmap(nullptr, n * sizeof(io_uring_buf), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (r == MAP_FAILED) die("mmap buffer ring", errno);
    ring = static_cast<io_uring_buf_ring*>(r);
    mem = static_cast<unsigned char*>(std::malloc(n * buf_size));
    if (mem == nullptr) die("malloc buffers", ENOMEM);
    io_uring_buf_reg reg{};
    reg.ring_addr = reinterpret_cast<std::uintptr_t>(ring);
    reg.ring_entries = n;
    reg.bgid = 0;
    if (syscall(__NR_io_uring_register, ring_fd, IORING_REGISTER_PBUF_RING, &reg, 1) != 0) {
      die("IORING_REGISTER_PBUF_RING", errno);
    }
    for (unsigned bid = 0; bid < n; ++bid) add(bid, bid);
    publish(n);
  }
  unsigned char* data(unsigned bid) { return mem + std::size_t(bid) * size; }
  // Writes entry `slot` (relative to the current tail) without publishing it.
  void add(unsigned bid, unsigned slot) {
    unsigned tail = std::atomic_ref<std::uint16_t>(ring->tail).load(std::memory_order_relaxed);
    io_uring_buf* b = &ring->bufs[(tail + slot) & (entries - 1)];
    b->addr = reinterpret_cast<std::uintptr_t>(data(bid));
    b->len = unsigned(size);
    b->bid = std::uint16_t(bid);
  }
  // Makes `count` written entries visible to the kernel.
  void publish(unsigned count) {
    std::uint16_t tail = std::atomic_ref<std::uint16_t>(ring->tail).load(std::memory_order_relaxed);
    std::atomic_ref<std::uint16_t>(ring->tail).store(std::uint16_t(tail + count), std::memory_order_release);
  }
  void giveBack(unsigned bid) {
    add(bid, 0);
    publish(1);
  }
};

// user_data: a Conn pointer with the operation in the low bits; 0 is accept.
enum Op : std::uintptr_t { kRecv = 1, kSend = 2 };

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  int port = 0, cpu = 1;
  long buf_size = 64 * 1024;
  bool multishot = false;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string_view a = argv[i];
    if (a == "--host") host = argv[i + 1];
    else if (a == "--port") port = std::atoi(argv[i + 1]);
    else if (a == "--cpu") cpu = std::atoi(argv[i + 1]);
    else if (a == "--buf") buf_size = std::atol(argv[i + 1]);
    else if (a == "--multishot") multishot = std::atoi(argv[i + 1]) != 0;
    else {
      std::fprintf(stderr,
                   "usage: bench_echo_native [--host H] [--port P] [--cpu C|-1] [--buf BYTES] [--multishot 0|1]\n");
      return 64;
    }
  }
  if (buf_size < 1 || buf_size > (1L << 30)) {
    std::fprintf(stderr, "bench_echo_native: --buf must be between 1 and 2**30\n");
    return 64;
  }
  bench::pinTo(cpu);

  struct sigaction sa{};
  sa.sa_handler = onSignal;  // no SA_RESTART: the wait returns EINTR
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  sockaddr_storage ss{};
  socklen_t len;
  auto* in4 = reinterpret_cast<sockaddr_in*>(&ss);
  auto* in6 = reinterpret_cast<sockaddr_in6*>(&ss);
  if (inet_pton(AF_INET, host.c_str(), &in4->sin_addr) == 1) {
    in4->sin_family = AF_INET;
    in4->sin_port = htons(std::uint16_t(port));
    len = sizeof *in4;
  } else if (inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr) == 1) {
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(std::uint16_t(port));
    len = sizeof *in6;
  } else {
    std::fprintf(stderr, "bench_echo_native: --host must be a numeric address\n");
    return 64;
  }
  int lfd = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (lfd < 0) die("socket", errno);
  int one = 1;
  setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(lfd, reinterpret_cast<sockaddr*>(&ss), len) != 0) die("bind", errno);
  if (listen(lfd, 1024) != 0) die("listen", errno);
  socklen_t got = sizeof ss;
  getsockname(lfd, reinterpret_cast<sockaddr*>(&ss), &got);
  std::printf("READY %d\n", ntohs(ss.ss_family == AF_INET ? in4->sin_port : in6->sin6_port));
  std::fflush(stdout);

  bench::Ring ring(1024);
  auto accept = [&] {
    io_uring_sqe* e = ring.sqe();
    e->opcode = IORING_OP_ACCEPT;
    e->fd = lfd;
    e->accept_flags = SOCK_CLOEXEC;
    e->ioprio = IORING_ACCEPT_MULTISHOT;
    e->user_data = 0;
  };
  auto recv = [&](Conn* c) {
    io_uring_sqe* e = ring.sqe();
    e->opcode = IORING_OP_RECV;
    e->fd = c->fd;
    e->addr = reinterpret_cast<std::uintptr_t>(c->buf.data());
    e->len = unsigned(c->buf.size());
    e->user_data = reinterpret_cast<std::uintptr_t>(c) | kRecv;
  };
  auto send = [&](Conn* c) {
    io_uring_sqe* e = ring.sqe();
    e->opcode = IORING_OP_SEND;
    e->fd = c->fd;
    e->addr = reinterpret_cast<std::uintptr_t>(c->buf.data() + c->sent);
    e->len = c->len - c->sent;
    e->msg_flags = MSG_NOSIGNAL;
    e->user_data = reinterpret_cast<std::uintptr_t>(c) | kSend;
  };
  auto drop = [](Conn* c) {
    close(c->fd);
    delete c;
  };

  std::uint64_t recvs = 0, sends = 0, bytes = 0, waits = 0;

  // Multishot mode.
  std::unique_ptr<BufRing> bufs;
  if (multishot) bufs = std::make_unique<BufRing>(ring.fd(), 1024, std::size_t(buf_size));
  auto armMulti = [&](Conn* c) {
    io_uring_sqe* e = ring.sqe();
    e->opcode = IORING_OP_RECV;
    e->fd = c->fd;
    e->ioprio = IORING_RECV_MULTISHOT;
    e->flags = IOSQE_BUFFER_SELECT;
    e->buf_group = 0;
    e->user_data = reinterpret_cast<std::uintptr_t>(c) | kRecv;
    c->recv_armed = true;
  };
  auto sendFront = [&](Conn* c) {
    auto [bid, n] = c->out.front();
    io_uring_sqe* e = ring.sqe();
    e->opcode = IORING_OP_SEND;
    e->fd = c->fd;
    e->addr = reinterpret_cast<std::uintptr_t>(bufs->data(bid) + c->sent);
    e->len = n - c->sent;
    e->msg_flags = MSG_NOSIGNAL;
    e->user_data = reinterpret_cast<std::uintptr_t>(c) | kSend;
    c->sending = true;
  };
  // Ends a connection; it is freed once neither its receive nor a send is
  // in flight, and its buffers go back to the ring.
  auto closeMulti = [&](Conn* c) {
    if (!c->closed) {
      c->closed = true;
      shutdown(c->fd, SHUT_RDWR);
    }
    if (c->recv_armed || c->sending) return;
    for (auto& [bid, n] : c->out) bufs->giveBack(bid);
    close(c->fd);
    delete c;
  };
  auto onMulti = [&](const io_uring_cqe& cqe) {
    Conn* c = reinterpret_cast<Conn*>(cqe.user_data & ~std::uintptr_t(3));
    if ((cqe.user_data & 3) == kRecv) {
      if (!(cqe.flags & IORING_CQE_F_MORE)) c->recv_armed = false;
      if (cqe.res > 0) {
        ++recvs;
        bytes += unsigned(cqe.res);
        unsigned bid = cqe.flags >> IORING_CQE_BUFFER_SHIFT;
        if (c->closed) {
          bufs->giveBack(bid);
        } else {
          c->out.emplace_back(bid, unsigned(cqe.res));
          if (!c->sending) sendFront(c);
        }
      }
      if (c->closed || (cqe.res <= 0 && cqe.res != -ENOBUFS)) return closeMulti(c);
      if (!c->recv_armed) armMulti(c);  // ended (out of buffers, or by the kernel): again
      return;
    }
    c->sending = false;
    if (cqe.res < 0 || c->closed) return closeMulti(c);
    ++sends;
    c->sent += unsigned(cqe.res);
    if (c->sent < c->out.front().second) return sendFront(c);
    bufs->giveBack(c->out.front().first);
    c->out.pop_front();
    c->sent = 0;
    if (!c->out.empty()) sendFront(c);
  };

  accept();
  while (!stopping) {
    ++waits;
    ring.submit(1, nullptr);
    ring.reap([&](const io_uring_cqe& cqe) {
      if (cqe.user_data == 0) {
        if (cqe.res >= 0) {
          int fd = cqe.res;
          setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
          Conn* c = new Conn;
          c->fd = fd;
          if (multishot) {
            armMulti(c);
          } else {
            c->buf.resize(std::size_t(buf_size));
            recv(c);
          }
        }
        if (!(cqe.flags & IORING_CQE_F_MORE)) accept();  // the multishot accept ended
        return;
      }
      if (multishot) return onMulti(cqe);
      Conn* c = reinterpret_cast<Conn*>(cqe.user_data & ~std::uintptr_t(3));
      if ((cqe.user_data & 3) == kRecv) {
        if (cqe.res <= 0) return drop(c);
        ++recvs;
        bytes += unsigned(cqe.res);
        c->len = unsigned(cqe.res);
        c->sent = 0;
        return send(c);
      }
      if (cqe.res < 0) return drop(c);
      ++sends;
      c->sent += unsigned(cqe.res);
      if (c->sent < c->len) return send(c);
      recv(c);
    });
  }
  std::fprintf(stderr, "bench_echo_native: %llu bytes echoed, %llu receives, %llu sends, %llu waits\n",
               (unsigned long long)bytes, (unsigned long long)recvs, (unsigned long long)sends,
               (unsigned long long)waits);
  return 0;
}
