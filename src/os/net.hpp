// Socket layer of src/os: error-number mapping for the socket operation
// families, and the one socket call made outside the ring. Each mapping takes
// a positive errno (the ring's negated result, negated back by the caller) and
// never returns Error::none; numbers a family does not list become Unexpected.
// Pure switches: any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "os/error.hpp"

namespace vorn::os {

// net_recv, net_recvfrom, net_recvmsg, net_poll.
Error errnoToRecvError(std::uint16_t err) noexcept;
// net_send, net_sendto, net_sendmsg.
Error errnoToSendError(std::uint16_t err) noexcept;
// net_accept.
Error errnoToAcceptError(std::uint16_t err) noexcept;
// net_connect.
Error errnoToConnectError(std::uint16_t err) noexcept;
// net_shutdown.
Error errnoToShutdownError(std::uint16_t err) noexcept;

// socket(2), made at once.
Error errnoToNetOpenError(std::uint16_t err) noexcept;
// bind(2) (and the getsockname that follows it), made at once.
Error errnoToBindError(std::uint16_t err) noexcept;
// listen(2), made at once.
Error errnoToListenError(std::uint16_t err) noexcept;

// One non-blocking send(2) of data[0, len) without SIGPIPE: none with the
// count the kernel took in *sent, WouldBlock when it took nothing now (a full
// buffer, or a signal came first), else the errnoToSendError code. *os_errno
// gets the number behind a failure, 0 on success. Any thread.
Error sendNow(int fd, const void* data, std::size_t len, std::size_t* sent, int* os_errno) noexcept;

}  // namespace vorn::os
