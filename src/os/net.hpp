// Socket layer of src/os: error-number mapping for the socket operation
// families. Each function takes a positive errno (the ring's negated result,
// negated back by the caller) and never returns Error::none; numbers a family
// does not list become Unexpected. Pure switches: any thread.
#pragma once

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

}  // namespace vorn::os
