// Socket operation records (kinds net_open ... net_close). All run on the
// ring; net_open, net_bind and net_listen are plain system calls made inside
// submit, the others are submission entries.
//
// See ops_common.hpp for the conventions every record follows.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

#include "ev/ops_common.hpp"

namespace vorn::ev {

// `unix` is also a GNU-mode predefined macro; the build uses strict C++23.
enum class Domain : std::uint32_t { unspec = 0, unix = 1, ipv4 = 2, ipv6 = 10 };
enum class Type : std::uint32_t { stream = 1, dgram = 2, raw = 3, rdm = 4, seqpacket = 5 };
enum class Protocol : std::uint32_t { ip = 0, icmp = 1, tcp = 6, udp = 17, ipv6 = 41, icmpv6 = 58, raw = 255 };
enum class ShutdownHow : std::uint8_t { receive = 0, send = 1, both = 2 };

// Receive flags; the ring passes them as MSG_PEEK, MSG_WAITALL, MSG_OOB,
// MSG_TRUNC (backends::recvFlagsToMsg).
struct RecvFlags {
  bool peek : 1;
  bool waitall : 1;
  bool oob : 1;
  bool trunc : 1;
};

// Send flags. Only no_signal (MSG_NOSIGNAL) reaches the kernel; the other
// five bits are carried but not passed on.
struct SendFlags {
  bool no_signal : 1;
  std::uint8_t unused : 5;
};

// Descriptor flags of a new socket (net_open, and the accepted socket of
// net_accept): SOCK_NONBLOCK, SOCK_CLOEXEC.
struct OpenFlags {
  bool nonblocking : 1;
  bool cloexec : 1;
};

// The kernel message header of a receive; the kernel writes namelen,
// controllen and flags back into it, so it lives in the record.
// os_errno: the kernel's own error number of a failed receive (0 when it
// succeeded or ended without reaching the kernel). The error code names the
// failure for the program; a caller that reports the number itself (an
// OSError's errno) reads it here, after the callback started.
struct NetRecvData {
  msghdr msg;
  std::uint16_t os_errno;
};
struct NetRecvFromData {
  msghdr msg;
};
struct NetRecvMsgData {
  msghdr msg;
};
// The message header of a send (only read by the kernel); os_errno as in
// NetRecvData.
struct NetSendData {
  msghdr msg;
  std::uint16_t os_errno;
};
struct NetSendToData {
  msghdr msg;
};
struct NetSendMsgData {
  msghdr msg;
};

struct RecvMsgResult {
  std::size_t len;
  std::size_t controllen;
  std::uint32_t flags;
};

// socket(domain, type | flags, protocol), done inside submit. Result: the fd.
struct NetOpen {
  Completion c;
  fd_t result_private_do_not_touch;
  Domain domain;
  Type socket_type;
  Protocol protocol;
  OpenFlags flags;

  void init(Domain d, Type t, Protocol p, OpenFlags f) noexcept {
    c.init(Op::net_open);
    result_private_do_not_touch = -1;
    domain = d;
    socket_type = t;
    protocol = p;
    flags = f;
  }
  OpResult<fd_t> getResult() const noexcept { return detail::resultOf(c, result_private_do_not_touch); }
};

// bind(handle, addr, *addr_len), then getsockname writes the bound address
// back through addr/addr_len (a port 0 bind learns its port). Done inside submit.
struct NetBind {
  Completion c;
  sockaddr* addr;
  socklen_t* addr_len;  // in: length of *addr; out: length of the bound address
  fd_t handle;

  void init(fd_t h, sockaddr* a, socklen_t* len) noexcept {
    c.init(Op::net_bind);
    addr = a;
    addr_len = len;
    handle = h;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

// listen(handle, backlog), done inside submit.
struct NetListen {
  Completion c;
  fd_t handle;
  std::uint32_t backlog : 31;

  void init(fd_t h, std::uint32_t bl) noexcept {
    c.init(Op::net_listen);
    handle = h;
    backlog = bl & 0x7fffffffu;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

struct NetConnect {
  Completion c;
  const sockaddr* addr;
  fd_t handle;
  socklen_t addr_len;

  void init(fd_t h, const sockaddr* a, socklen_t len) noexcept {
    c.init(Op::net_connect);
    addr = a;
    handle = h;
    addr_len = len;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

// Result: the accepted fd, opened with `flags`. addr/addr_len may be null
// (the peer address is not wanted).
struct NetAccept {
  Completion c;
  sockaddr* addr;
  socklen_t* addr_len;
  fd_t result_private_do_not_touch;
  fd_t handle;
  OpenFlags flags;

  void init(fd_t h, sockaddr* a, socklen_t* len, OpenFlags f) noexcept {
    c.init(Op::net_accept);
    addr = a;
    addr_len = len;
    result_private_do_not_touch = -1;
    handle = h;
    flags = f;
  }
  OpResult<fd_t> getResult() const noexcept { return detail::resultOf(c, result_private_do_not_touch); }
};

// Result: bytes received (0 at end of stream).
struct NetRecv {
  Completion c;
  std::size_t result_private_do_not_touch;
  NetRecvData internal;
  ReadBuf buffers;
  fd_t handle;
  RecvFlags flags;

  void init(fd_t h, ReadBuf b, RecvFlags f) noexcept {
    c.init(Op::net_recv);
    result_private_do_not_touch = 0;
    internal = {};
    buffers = b;
    handle = h;
    flags = f;
  }
  OpResult<std::size_t> getResult() const noexcept { return detail::resultOf(c, result_private_do_not_touch); }
  std::uint16_t osErrno() const noexcept { return internal.os_errno; }
};

// Result: bytes sent (possibly fewer than offered).
struct NetSend {
  Completion c;
  std::size_t result_private_do_not_touch;
  NetSendData internal;
  WriteBuf buffer;
  fd_t handle;
  SendFlags flags;

  void init(fd_t h, WriteBuf b, SendFlags f) noexcept {
    c.init(Op::net_send);
    result_private_do_not_touch = 0;
    internal = {};
    buffer = b;
    handle = h;
    flags = f;
  }
  OpResult<std::size_t> getResult() const noexcept { return detail::resultOf(c, result_private_do_not_touch); }
  std::uint16_t osErrno() const noexcept { return internal.os_errno; }
};

// Result: bytes received; on success *addr_len (when given) holds the
// sender's address length.
struct NetRecvFrom {
  Completion c;
  std::size_t result_private_do_not_touch;
  NetRecvFromData internal;
  ReadBuf buffer;
  sockaddr* addr;       // nullable
  socklen_t* addr_len;  // nullable; in: room at addr, out: address length
  fd_t handle;
  RecvFlags flags;

  void init(fd_t h, ReadBuf b, sockaddr* a, socklen_t* len, RecvFlags f) noexcept {
    c.init(Op::net_recvfrom);
    result_private_do_not_touch = 0;
    internal = {};
    buffer = b;
    addr = a;
    addr_len = len;
    handle = h;
    flags = f;
  }
  OpResult<std::size_t> getResult() const noexcept { return detail::resultOf(c, result_private_do_not_touch); }
};

struct NetSendTo {
  Completion c;
  std::size_t result_private_do_not_touch;
  NetSendToData internal;
  WriteBuf buffer;
  const sockaddr* addr;
  fd_t handle;
  socklen_t addr_len;
  SendFlags flags;

  void init(fd_t h, WriteBuf b, const sockaddr* a, socklen_t len, SendFlags f) noexcept {
    c.init(Op::net_sendto);
    result_private_do_not_touch = 0;
    internal = {};
    buffer = b;
    addr = a;
    handle = h;
    addr_len = len;
    flags = f;
  }
  OpResult<std::size_t> getResult() const noexcept { return detail::resultOf(c, result_private_do_not_touch); }
};

// Result: {bytes, control bytes received, MSG_* flags of the message}.
struct NetRecvMsg {
  Completion c;
  RecvMsgResult result_private_do_not_touch;
  NetRecvMsgData internal;
  ReadBuf data;
  sockaddr* addr;                // nullable
  socklen_t* addr_len;           // nullable; in: room at addr, out: address length
  std::span<std::byte> control;  // empty/null: no ancillary data wanted
  fd_t handle;
  RecvFlags flags;

  void init(fd_t h, ReadBuf d, sockaddr* a, socklen_t* len, std::span<std::byte> ctl, RecvFlags f) noexcept {
    c.init(Op::net_recvmsg);
    result_private_do_not_touch = {};
    internal = {};
    data = d;
    addr = a;
    addr_len = len;
    control = ctl;
    handle = h;
    flags = f;
  }
  OpResult<RecvMsgResult> getResult() const noexcept { return detail::resultOf(c, result_private_do_not_touch); }
};

struct NetSendMsg {
  Completion c;
  std::size_t result_private_do_not_touch;
  NetSendMsgData internal;
  WriteBuf data;
  const sockaddr* addr;                // nullable
  std::span<const std::byte> control;  // empty/null: no ancillary data
  fd_t handle;
  socklen_t addr_len;
  SendFlags flags;

  void init(fd_t h, WriteBuf d, const sockaddr* a, socklen_t len, std::span<const std::byte> ctl,
            SendFlags f) noexcept {
    c.init(Op::net_sendmsg);
    result_private_do_not_touch = 0;
    internal = {};
    data = d;
    addr = a;
    control = ctl;
    handle = h;
    addr_len = len;
    flags = f;
  }
  OpResult<std::size_t> getResult() const noexcept { return detail::resultOf(c, result_private_do_not_touch); }
};

// One-shot readiness wait.
struct NetPoll {
  enum class Event : std::uint8_t { recv = 0, send = 1 };

  Completion c;
  fd_t handle;
  Event event;

  void init(fd_t h, Event e) noexcept {
    c.init(Op::net_poll);
    handle = h;
    event = e;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

struct NetShutdown {
  Completion c;
  fd_t handle;
  ShutdownHow how;

  void init(fd_t h, ShutdownHow hw) noexcept {
    c.init(Op::net_shutdown);
    handle = h;
    how = hw;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

// Always succeeds: after close(2) the descriptor is gone whatever it reports.
struct NetClose {
  Completion c;
  fd_t handle;

  void init(fd_t h) noexcept {
    c.init(Op::net_close);
    handle = h;
  }
  OpResult<void> getResult() const noexcept { return detail::resultOf(c); }
};

static_assert(std::is_standard_layout_v<NetOpen> && std::is_standard_layout_v<NetBind> &&
              std::is_standard_layout_v<NetListen> && std::is_standard_layout_v<NetConnect> &&
              std::is_standard_layout_v<NetAccept> && std::is_standard_layout_v<NetRecv> &&
              std::is_standard_layout_v<NetSend> && std::is_standard_layout_v<NetRecvFrom> &&
              std::is_standard_layout_v<NetSendTo> && std::is_standard_layout_v<NetRecvMsg> &&
              std::is_standard_layout_v<NetSendMsg> && std::is_standard_layout_v<NetPoll> &&
              std::is_standard_layout_v<NetShutdown> && std::is_standard_layout_v<NetClose>);

}  // namespace vorn::ev
