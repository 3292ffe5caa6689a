// Echo load generator: N connections, each sending a message of S bytes and
// waiting for the whole echo before sending the next (one request in flight
// per connection). One thread on io_uring, pinned to one CPU. After a
// warm-up it measures for a fixed duration and prints one JSON object:
// requests per second, echoed MiB per second (one direction) and latency
// percentiles in microseconds.
//
// Closed loop (the default): each connection sends again as soon as its
// echo is back, so the rate is whatever the server sustains.
//
// Open loop (--rate R): R requests per second in total, slot k at
// t0 + k/R going to connection k mod N. A request's latency runs from its
// slot (the intended send time), not from the moment it went out: a
// connection whose previous echo is not back yet sends late, and the
// lateness is part of the latency, so a server falling behind shows as
// queueing instead of as a lower send rate.
//
// --server-pid P: the server's user and system CPU time (/proc/P/stat,
// all its threads) over the measured window, per request completed in it.
//
//   bench_loadgen --port P [--host 127.0.0.1] [--conns 64] [--size 1024]
//                 [--warmup 1] [--duration 5] [--cpu 0] [--connect-timeout 10]
//                 [--rate R] [--server-pid P]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/prctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "uring.hpp"

namespace {

using bench::die;
using bench::nowNs;

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;
  int conns = 64;
  long size = 1024;
  double warmup = 1.0;
  double duration = 5.0;
  int cpu = 0;
  double connectTimeout = 10.0;
  double rate = 0;  // requests/s in total; 0: closed loop
  int serverPid = 0;
};

[[noreturn]] void usage(const char* why) {
  std::fprintf(stderr,
               "bench_loadgen: %s\nusage: bench_loadgen --port P [--host H] [--conns N] [--size S] "
               "[--warmup SEC] [--duration SEC] [--cpu C|-1] [--connect-timeout SEC] [--rate R] "
               "[--server-pid P]\n",
               why);
  std::exit(64);
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (i + 1 >= argc) usage("missing value");
    const char* v = argv[++i];
    if (a == "--host") o.host = v;
    else if (a == "--port") o.port = std::atoi(v);
    else if (a == "--conns") o.conns = std::atoi(v);
    else if (a == "--size") o.size = std::atol(v);
    else if (a == "--warmup") o.warmup = std::atof(v);
    else if (a == "--duration") o.duration = std::atof(v);
    else if (a == "--cpu") o.cpu = std::atoi(v);
    else if (a == "--connect-timeout") o.connectTimeout = std::atof(v);
    else if (a == "--rate") o.rate = std::atof(v);
    else if (a == "--server-pid") o.serverPid = std::atoi(v);
    else usage("unknown option");
  }
  if (o.port <= 0 || o.port > 65535) usage("--port is required");
  if (o.conns <= 0 || o.size <= 0 || o.duration <= 0 || o.warmup < 0 || o.rate < 0) usage("bad value");
  return o;
}

// A connected TCP socket with TCP_NODELAY, retrying refused connections
// until the deadline (the server may still be starting).
int connectTo(const Options& o, std::uint64_t deadline) {
  sockaddr_storage ss{};
  socklen_t len = 0;
  auto* in4 = reinterpret_cast<sockaddr_in*>(&ss);
  auto* in6 = reinterpret_cast<sockaddr_in6*>(&ss);
  if (inet_pton(AF_INET, o.host.c_str(), &in4->sin_addr) == 1) {
    in4->sin_family = AF_INET;
    in4->sin_port = htons(std::uint16_t(o.port));
    len = sizeof *in4;
  } else if (inet_pton(AF_INET6, o.host.c_str(), &in6->sin6_addr) == 1) {
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(std::uint16_t(o.port));
    len = sizeof *in6;
  } else {
    usage("--host must be a numeric address");
  }
  for (;;) {
    int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) die("socket", errno);
    if (connect(fd, reinterpret_cast<sockaddr*>(&ss), len) == 0) {
      int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      return fd;
    }
    int err = errno;
    close(fd);
    if ((err != ECONNREFUSED && err != EAGAIN && err != ETIMEDOUT) || nowNs() > deadline) die("connect", err);
    usleep(20'000);
  }
}

// A process's CPU time so far, user and system, in clock ticks.
struct CpuTime {
  long long user = 0, sys = 0;
};

CpuTime cpuOf(int pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(f, line)) die("reading the server's /proc/PID/stat", ESRCH);
  // The command name may hold spaces and parentheses: fields count from the last ')'.
  std::istringstream rest(line.substr(line.rfind(')') + 2));
  std::string skip;
  for (int field = 3; field < 14; ++field) rest >> skip;
  CpuTime t;
  rest >> t.user >> t.sys;
  return t;
}

struct Conn {
  int fd = -1;
  long sent = 0;
  long received = 0;
  std::uint64_t start = 0;  // closed loop: the send; open loop: the slot
  bool closed = false;
  bool busy = false;
  std::deque<std::uint64_t> due;  // open loop: slots come while busy, oldest first
  std::vector<unsigned char> rx;
};

enum Op : std::uint64_t { kSend = 0, kRecv = 1 };

}  // namespace

int main(int argc, char** argv) {
  Options o = parse(argc, argv);
  bench::pinTo(o.cpu);

  const std::uint64_t connectDeadline = nowNs() + std::uint64_t(o.connectTimeout * 1e9);
  std::vector<Conn> conns(std::size_t(o.conns));
  for (auto& c : conns) {
    c.fd = connectTo(o, connectDeadline);
    c.rx.resize(std::size_t(o.size));
  }
  // The message: a byte pattern the echo must reproduce.
  std::vector<unsigned char> msg(std::size_t(o.size));
  for (std::size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<unsigned char>(i * 131 + 7);

  unsigned entries = 64;
  while (entries < unsigned(o.conns) * 2 && entries < 32768) entries *= 2;
  bench::Ring ring(entries);

  auto sendRest = [&](std::size_t i) {
    Conn& c = conns[i];
    io_uring_sqe* e = ring.sqe();
    e->opcode = IORING_OP_SEND;
    e->fd = c.fd;
    e->addr = reinterpret_cast<std::uintptr_t>(msg.data() + c.sent);
    e->len = unsigned(o.size - c.sent);
    e->msg_flags = MSG_NOSIGNAL;
    e->user_data = (std::uint64_t(i) << 1) | kSend;
  };
  auto recvRest = [&](std::size_t i) {
    Conn& c = conns[i];
    io_uring_sqe* e = ring.sqe();
    e->opcode = IORING_OP_RECV;
    e->fd = c.fd;
    e->addr = reinterpret_cast<std::uintptr_t>(c.rx.data() + c.received);
    e->len = unsigned(o.size - c.received);
    e->user_data = (std::uint64_t(i) << 1) | kRecv;
  };
  auto begin = [&](std::size_t i, std::uint64_t now) {
    Conn& c = conns[i];
    c.sent = c.received = 0;
    c.start = now;
    c.busy = true;
    sendRest(i);
    recvRest(i);
  };

  const std::uint64_t t0 = nowNs();
  const std::uint64_t measureFrom = t0 + std::uint64_t(o.warmup * 1e9);
  const std::uint64_t measureTo = measureFrom + std::uint64_t(o.duration * 1e9);
  std::vector<std::uint32_t> lat;  // nanoseconds, saturated
  lat.reserve(1 << 20);
  long errors = 0, mismatches = 0, warmupRequests = 0;
  long windowRequests = 0;  // open loop: echoes completed inside the window
  int open = o.conns;
  std::uint64_t firstError = 0;
  const char* firstErrorWhat = nullptr;

  const bool openLoop = o.rate > 0;
  // Open loop: slot k is due at t0 + k * gapNs, on connection k mod N.
  const double gapNs = openLoop ? 1e9 / o.rate : 0;
  std::uint64_t slot = 0;
  auto slotTime = [&](std::uint64_t k) { return t0 + std::uint64_t(double(k) * gapNs); };
  long measuredOutstanding = 0;  // open loop: slots in the window not echoed yet
  const std::uint64_t grace = 1'000'000'000;
  if (openLoop) {
    // The kernel's default 50 us timer slack would send the slots in bursts.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  } else {
    for (std::size_t i = 0; i < conns.size(); ++i) begin(i, nowNs());
  }
  auto inWindow = [&](std::uint64_t t) { return t >= measureFrom && t < measureTo; };

  // The server's CPU time over the measured window and the requests that
  // completed in it.
  CpuTime cpuFrom, cpuTo;
  std::uint64_t cpuFromNs = 0, cpuToNs = 0;
  long cpuRequests = 0;
  bool cpuOn = false, cpuDone = false;
  auto sampleCpu = [&](std::uint64_t now) {
    if (o.serverPid <= 0 || cpuDone) return;
    if (!cpuOn && now >= measureFrom) {
      cpuFrom = cpuOf(o.serverPid);
      cpuFromNs = now;
      cpuOn = true;
    } else if (cpuOn && now >= measureTo) {
      cpuTo = cpuOf(o.serverPid);
      cpuToNs = now;
      cpuDone = true;
    }
  };

  auto fail = [&](std::size_t i, const char* what, int err) {
    Conn& c = conns[i];
    ++errors;
    if (firstErrorWhat == nullptr) {
      firstErrorWhat = what;
      firstError = std::uint64_t(err);
    }
    if (!c.closed) {
      c.closed = true;
      --open;
      shutdown(c.fd, SHUT_RDWR);
    }
  };

  const std::uint64_t tick = 100'000'000;  // wake at least this often to watch the clock
  std::uint64_t now = nowNs();
  for (;;) {
    sampleCpu(now);
    if (open == 0) break;
    std::uint64_t wait = tick;
    if (openLoop) {
      for (; slotTime(slot) <= now && slotTime(slot) < measureTo; ++slot) {
        const std::uint64_t due = slotTime(slot);
        const std::size_t i = std::size_t(slot % conns.size());
        if (conns[i].closed) continue;
        if (inWindow(due)) ++measuredOutstanding;
        if (conns[i].busy) conns[i].due.push_back(due);
        else begin(i, due);
      }
      if (now >= measureTo && (measuredOutstanding == 0 || now >= measureTo + grace)) break;
      if (slotTime(slot) < measureTo) wait = std::min(wait, std::max<std::uint64_t>(slotTime(slot) - now, 1000));
    } else if (now >= measureTo) {
      break;
    }
    ring.submit(1, &wait);
    now = nowNs();
    ring.reap([&](const io_uring_cqe& cqe) {
      const std::size_t i = std::size_t(cqe.user_data >> 1);
      Conn& c = conns[i];
      if (c.closed) return;
      if ((cqe.user_data & 1) == kSend) {
        if (cqe.res < 0) return fail(i, "send", -cqe.res);
        c.sent += cqe.res;
        if (c.sent < o.size) sendRest(i);
        return;
      }
      if (cqe.res <= 0) return fail(i, cqe.res == 0 ? "recv: the server closed the connection" : "recv", -cqe.res);
      c.received += cqe.res;
      if (c.received < o.size) return recvRest(i);
      if (std::memcmp(c.rx.data(), msg.data(), msg.size()) != 0) ++mismatches;
      c.busy = false;
      if (cpuOn && !cpuDone) ++cpuRequests;
      if (openLoop) {
        if (inWindow(c.start)) {
          --measuredOutstanding;
          std::uint64_t d = now - c.start;
          lat.push_back(d > 0xffffffffu ? 0xffffffffu : std::uint32_t(d));
        } else if (c.start < measureFrom) {
          ++warmupRequests;
        }
        if (inWindow(now)) ++windowRequests;
        if (!c.due.empty()) {
          const std::uint64_t due = c.due.front();
          c.due.pop_front();
          begin(i, due);
        }
        return;
      }
      if (now >= measureFrom) {
        if (now < measureTo) {
          std::uint64_t d = now - c.start;
          lat.push_back(d > 0xffffffffu ? 0xffffffffu : std::uint32_t(d));
        }
      } else {
        ++warmupRequests;
      }
      if (now < measureTo) begin(i, now);
    });
  }
  const double measured = double(std::min(now, measureTo) - std::min(std::max(measureFrom, t0), now)) / 1e9;
  for (auto& c : conns) close(c.fd);
  // Open loop: what never came back counts with the age it reached, so a
  // server that stalls does not look fast.
  long unfinished = 0;
  if (openLoop) {
    for (auto& c : conns) {
      if (c.busy && inWindow(c.start)) {
        ++unfinished;
        lat.push_back(std::uint32_t(std::min<std::uint64_t>(now - c.start, 0xffffffffu)));
      }
      for (std::uint64_t due : c.due) {
        if (!inWindow(due)) continue;
        ++unfinished;
        lat.push_back(std::uint32_t(std::min<std::uint64_t>(now - due, 0xffffffffu)));
      }
    }
  }

  std::sort(lat.begin(), lat.end());
  auto pct = [&](double p) -> double {
    if (lat.empty()) return 0.0;
    std::size_t k = std::size_t(std::ceil(p * double(lat.size())));
    k = k == 0 ? 0 : k - 1;
    if (k >= lat.size()) k = lat.size() - 1;
    return double(lat[k]) / 1e3;
  };
  const double n = double(openLoop ? windowRequests : long(lat.size()));
  const double rps = measured > 0 ? n / measured : 0.0;
  std::printf(
      "{\"conns\": %d, \"size\": %ld, \"warmup_s\": %.3f, \"duration_s\": %.3f, \"requests\": %zu, "
      "\"warmup_requests\": %ld, \"rps\": %.1f, \"mib_s\": %.3f, \"p50_us\": %.1f, \"p99_us\": %.1f, "
      "\"p999_us\": %.1f, \"max_us\": %.1f, \"errors\": %ld, \"mismatches\": %ld",
      o.conns, o.size, o.warmup, measured, lat.size(), warmupRequests, rps, rps * double(o.size) / 1048576.0, pct(0.50),
      pct(0.99), pct(0.999), lat.empty() ? 0.0 : double(lat.back()) / 1e3, errors, mismatches);
  if (openLoop) std::printf(", \"offered_rps\": %.1f, \"unfinished\": %ld", o.rate, unfinished);
  if (cpuDone && cpuRequests > 0) {
    const double usPerTick = 1e6 / double(sysconf(_SC_CLK_TCK));
    const double user = double(cpuTo.user - cpuFrom.user) * usPerTick;
    const double sys = double(cpuTo.sys - cpuFrom.sys) * usPerTick;
    std::printf(
        ", \"cpu_window_s\": %.3f, \"cpu_requests\": %ld, \"cpu_user_us\": %.3f, \"cpu_sys_us\": %.3f, "
        "\"cpu_us\": %.3f, \"cpu_util\": %.3f",
        double(cpuToNs - cpuFromNs) / 1e9, cpuRequests, user / double(cpuRequests), sys / double(cpuRequests),
        (user + sys) / double(cpuRequests), (user + sys) / (double(cpuToNs - cpuFromNs) / 1e3));
  }
  if (firstErrorWhat != nullptr) {
    if (firstError != 0) std::printf(", \"first_error\": \"%s: %s\"", firstErrorWhat, std::strerror(int(firstError)));
    else std::printf(", \"first_error\": \"%s\"", firstErrorWhat);
  }
  std::printf("}\n");
  return errors == 0 && mismatches == 0 && !lat.empty() ? 0 : 1;
}
