// libFuzzer target: the numeric address parser against the C library's
// inet_pton. Beyond never crashing (the build adds ASan and UBSan), every
// input must get the same answer from both, up to the parser's deliberate
// differences:
//   - IPv4 fields may have leading zeros (decimal, never octal);
//   - IPv6 groups may have more than four digits while the value fits in
//     16 bits, and "::" may stand for no group at all (eight groups with it);
//   - no dotted IPv4 tail in IPv6 text, no zone index.
// An input ours accepts is rewritten into inet_pton's stricter language
// (leading zeros dropped, a "::" that stands for nothing turned into ":"),
// which inet_pton must then accept with the same bytes; an input inet_pton
// accepts must be accepted by ours unless it has a dotted tail.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "net/address.hpp"

using namespace vorn::net;

namespace {

std::string_view g_input;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "address_fuzz: %s\ninput (%zu bytes): \"", what, g_input.size());
  for (unsigned char c : g_input) {
    if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') std::fputc(c, stderr);
    else std::fprintf(stderr, "\\x%02x", c);
  }
  std::fputs("\"\n", stderr);
  std::abort();
}

#define CHECK(cond) \
  do {              \
    if (!(cond)) fail("check failed: " #cond); \
  } while (0)

// One field or group without its leading zeros (at least one digit stays).
std::string dropLeadingZeros(std::string_view field) {
  std::size_t i = 0;
  while (i + 1 < field.size() && field[i] == '0') ++i;
  return std::string(field.substr(i));
}

std::vector<std::string_view> split(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  if (text.empty()) return parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t at = text.find(sep, start);
    if (at == std::string_view::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, at - start));
    start = at + 1;
  }
}

std::string join(const std::vector<std::string_view>& parts, const char* sep, bool strip) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) out += sep;
    out += strip ? dropLeadingZeros(parts[i]) : std::string(parts[i]);
  }
  return out;
}

// inet_pton's spelling of IPv4 text that ours accepted.
std::string strictIp4(std::string_view text) { return join(split(text, '.'), ".", true); }

// inet_pton's spelling of IPv6 text that ours accepted.
std::string strictIp6(std::string_view text) {
  std::size_t gap = text.find("::");
  if (gap == std::string_view::npos) return join(split(text, ':'), ":", true);
  auto head = split(text.substr(0, gap), ':');
  auto tail = split(text.substr(gap + 2), ':');
  std::string h = join(head, ":", true), t = join(tail, ":", true);
  if (head.size() + tail.size() < 8) return h + "::" + t;
  // Eight groups: the "::" stands for nothing.
  if (head.empty()) return t;
  if (tail.empty()) return h;
  return h + ":" + t;
}

void checkIp4(std::string_view text, const std::string& cstr, std::uint16_t port) {
  sockaddr_in ours;
  std::memset(&ours, 0xa5, sizeof ours);
  bool ok = parseIp4(text, port, &ours);
  in_addr libc{};
  bool libc_ok = ::inet_pton(AF_INET, cstr.c_str(), &libc) == 1;
  if (libc_ok) {
    CHECK(ok);  // plain dotted quads are in both languages
  }
  if (!ok) return;
  CHECK(ours.sin_family == AF_INET);
  CHECK(ours.sin_port == htons(port));
  for (unsigned char b : ours.sin_zero) CHECK(b == 0);
  for (char c : text) CHECK((c >= '0' && c <= '9') || c == '.');
  std::string strict = strictIp4(text);
  in_addr again{};
  CHECK(::inet_pton(AF_INET, strict.c_str(), &again) == 1);
  CHECK(std::memcmp(&again, &ours.sin_addr, sizeof again) == 0);
  if (libc_ok) CHECK(std::memcmp(&libc, &ours.sin_addr, sizeof libc) == 0);
}

void checkIp6(std::string_view text, const std::string& cstr, std::uint16_t port) {
  sockaddr_in6 ours;
  std::memset(&ours, 0xa5, sizeof ours);
  bool ok = parseIp6(text, port, &ours);
  in6_addr libc{};
  bool libc_ok = ::inet_pton(AF_INET6, cstr.c_str(), &libc) == 1;
  bool dotted = text.find('.') != std::string_view::npos;
  if (libc_ok && !dotted) CHECK(ok);
  if (!ok) return;
  CHECK(!dotted);
  CHECK(text.find('%') == std::string_view::npos);
  CHECK(ours.sin6_family == AF_INET6);
  CHECK(ours.sin6_port == htons(port));
  CHECK(ours.sin6_flowinfo == 0);
  CHECK(ours.sin6_scope_id == 0);
  std::string strict = strictIp6(text);
  in6_addr again{};
  if (::inet_pton(AF_INET6, strict.c_str(), &again) != 1) fail(("inet_pton refuses the strict form " + strict).c_str());
  CHECK(std::memcmp(&again, &ours.sin6_addr, sizeof again) == 0);
  if (libc_ok) CHECK(std::memcmp(&libc, &ours.sin6_addr, sizeof libc) == 0);

  // The C library's own spelling of the address parses back to it, unless
  // it chose a dotted tail (IPv4-mapped and -compatible forms).
  char printed[INET6_ADDRSTRLEN];
  CHECK(::inet_ntop(AF_INET6, &ours.sin6_addr, printed, sizeof printed) != nullptr);
  if (std::strchr(printed, '.') == nullptr) {
    sockaddr_in6 back;
    CHECK(parseIp6(printed, port, &back));
    CHECK(std::memcmp(&back.sin6_addr, &ours.sin6_addr, sizeof back.sin6_addr) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  g_input = text;
  auto port = static_cast<std::uint16_t>(size * 2654435761u);

  // The combined parser: IPv4 first, then IPv6, the same bytes as each.
  sockaddr_storage ss;
  socklen_t len = parseNumericAddress(text, port, &ss);
  sockaddr_in v4;
  sockaddr_in6 v6;
  bool is4 = parseIp4(text, port, &v4);
  bool is6 = parseIp6(text, port, &v6);
  CHECK(!(is4 && is6));
  if (is4) {
    CHECK(len == sizeof(sockaddr_in));
    CHECK(std::memcmp(&ss, &v4, sizeof v4) == 0);
  } else if (is6) {
    CHECK(len == sizeof(sockaddr_in6));
    CHECK(std::memcmp(&ss, &v6, sizeof v6) == 0);
  } else {
    CHECK(len == 0);
  }

  // inet_pton reads a C string: text with a NUL in it is in neither language.
  // (Ours sees the whole text, so it must refuse it.)
  std::string cstr(text);
  if (text.find('\0') != std::string_view::npos) {
    CHECK(len == 0);
    return 0;
  }
  checkIp4(text, cstr, port);
  checkIp6(text, cstr, port);
  return 0;
}
