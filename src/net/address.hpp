// Numeric IPv4 and IPv6 address parsing for connects: host names are never
// resolved here. Pure functions; any thread.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string_view>

namespace vorn::net {

// Dotted quad: exactly four decimal fields of plain digits, each at most 255
// (leading zeros are decimal). On success fills a sockaddr_in with the port.
bool parseIp4(std::string_view text, std::uint16_t port, sockaddr_in* out) noexcept;

// Colon-hexadecimal: groups of 1+ hex digits whose value fits in 16 bits,
// at most one "::" standing for zero or more zero groups; eight groups
// without "::", at most eight with it. No zone index, no dotted tail.
bool parseIp6(std::string_view text, std::uint16_t port, sockaddr_in6* out) noexcept;

// IPv4 first, then IPv6. Returns the address length (16 or 28), or 0 when
// the host is not numeric.
socklen_t parseNumericAddress(std::string_view host, std::uint16_t port, sockaddr_storage* out) noexcept;

}  // namespace vorn::net
