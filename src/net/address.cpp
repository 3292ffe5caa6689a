#include "net/address.hpp"

#include <arpa/inet.h>

#include <cstring>

namespace vorn::net {

namespace {

int hexValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One group at text[pos...]: advances pos past it; false when there is no
// digit or the value exceeds 16 bits.
bool parseGroup(std::string_view text, std::size_t& pos, std::uint16_t* value) noexcept {
  std::uint32_t v = 0;
  std::size_t start = pos;
  while (pos < text.size() && hexValue(text[pos]) >= 0) {
    v = v * 16 + static_cast<std::uint32_t>(hexValue(text[pos]));
    if (v > 0xffff) return false;
    ++pos;
  }
  *value = static_cast<std::uint16_t>(v);
  return pos > start;
}

}  // namespace

bool parseIp4(std::string_view text, std::uint16_t port, sockaddr_in* out) noexcept {
  std::uint8_t bytes[4];
  std::size_t pos = 0;
  for (int field = 0; field < 4; ++field) {
    if (field > 0) {
      if (pos >= text.size() || text[pos] != '.') return false;
      ++pos;
    }
    std::size_t start = pos;
    unsigned v = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      v = v * 10 + static_cast<unsigned>(text[pos] - '0');
      if (v > 255) return false;
      ++pos;
    }
    if (pos == start) return false;
    bytes[field] = static_cast<std::uint8_t>(v);
  }
  if (pos != text.size()) return false;
  std::memset(out, 0, sizeof *out);
  out->sin_family = AF_INET;
  out->sin_port = htons(port);
  std::memcpy(&out->sin_addr, bytes, 4);
  return true;
}

bool parseIp6(std::string_view text, std::uint16_t port, sockaddr_in6* out) noexcept {
  std::uint16_t head[8], tail[8];
  int n_head = 0, n_tail = 0;
  bool gap = false;
  std::size_t pos = 0;

  if (text.starts_with("::")) {
    gap = true;
    pos = 2;
  } else if (text.starts_with(":")) {
    return false;  // a single leading colon
  }
  while (pos < text.size()) {
    std::uint16_t value;
    if (!parseGroup(text, pos, &value)) return false;
    if (n_head + n_tail == 8) return false;  // too many groups
    (gap ? tail[n_tail++] : head[n_head++]) = value;
    if (pos == text.size()) break;
    if (text[pos] != ':') return false;  // any other character
    ++pos;
    if (pos < text.size() && text[pos] == ':') {
      if (gap) return false;  // a second double colon (or three colons)
      gap = true;
      ++pos;
      if (pos < text.size() && text[pos] == ':') return false;
    } else if (pos == text.size()) {
      return false;  // a single trailing colon
    }
  }
  // "::" may stand for no group at all, so eight groups with it are fine.
  int groups = n_head + n_tail;
  if (gap ? groups > 8 : groups != 8) return false;

  std::uint16_t words[8] = {};
  for (int i = 0; i < n_head; ++i) words[i] = head[i];
  for (int i = 0; i < n_tail; ++i) words[8 - n_tail + i] = tail[i];
  std::memset(out, 0, sizeof *out);
  out->sin6_family = AF_INET6;
  out->sin6_port = htons(port);
  for (int i = 0; i < 8; ++i) {
    out->sin6_addr.s6_addr[2 * i] = static_cast<std::uint8_t>(words[i] >> 8);
    out->sin6_addr.s6_addr[2 * i + 1] = static_cast<std::uint8_t>(words[i] & 0xff);
  }
  return true;
}

socklen_t parseNumericAddress(std::string_view host, std::uint16_t port, sockaddr_storage* out) noexcept {
  if (parseIp4(host, port, reinterpret_cast<sockaddr_in*>(out))) return sizeof(sockaddr_in);
  if (parseIp6(host, port, reinterpret_cast<sockaddr_in6*>(out))) return sizeof(sockaddr_in6);
  return 0;
}

}  // namespace vorn::net
