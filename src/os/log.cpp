#include "os/log.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vorn::log {

namespace {

constexpr std::string_view color_on = "\x1b[1;31m";
constexpr std::string_view color_off = "\x1b[0m";
constexpr std::size_t line_max = 1024;

struct Writer {
  std::span<char> out;
  std::size_t len = 0;

  void put(std::string_view s) noexcept {
    // One byte is kept back for the newline, so a truncated line still ends.
    std::size_t room = out.size() > len + 1 ? out.size() - len - 1 : 0;
    std::size_t n = std::min(room, s.size());
    std::copy_n(s.data(), n, out.data() + len);
    len += n;
  }
  std::size_t finish() noexcept {
    if (len < out.size()) out[len++] = '\n';
    return len;
  }
};

void writeAll(const char* data, std::size_t len) noexcept {
  while (len > 0) {
    ssize_t n = ::write(STDERR_FILENO, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // Nowhere left to report a failing standard error.
    }
    data += n;
    len -= static_cast<std::size_t>(n);
  }
}

bool nonEmpty(const char* value) noexcept { return value != nullptr && value[0] != '\0'; }

}  // namespace

bool useColor(bool is_terminal, const char* no_color, const char* clicolor_force) noexcept {
  if (nonEmpty(no_color)) return false;
  if (nonEmpty(clicolor_force) && std::string_view{clicolor_force} != "0") return true;
  return is_terminal;
}

bool stderrUsesColor() noexcept {
  return useColor(::isatty(STDERR_FILENO) == 1, std::getenv("NO_COLOR"), std::getenv("CLICOLOR_FORCE"));
}

std::size_t formatLine(std::span<char> out, bool color, std::string_view message, Error err) noexcept {
  Writer w{out};
  if (color) w.put(color_on);
  w.put("error");
  if (color) w.put(color_off);
  w.put("(vorn): ");
  w.put(message);
  if (err != Error::none) {
    w.put("error.");
    w.put(errorName(err));
  }
  return w.finish();
}

void logError(std::string_view message, Error err) noexcept {
  char buf[line_max];
  writeAll(buf, formatLine(buf, stderrUsesColor(), message, err));
}

void fatal(std::string_view message, Error err) noexcept {
  char buf[line_max];
  Writer w{buf};
  w.put(message);
  if (err != Error::none) {
    w.put("error.");
    w.put(errorName(err));
  }
  writeAll(buf, w.finish());
  std::abort();
}

void fatalErrno(std::string_view message, int errnum) noexcept {
  char buf[line_max];
  Writer w{buf};
  w.put(message);
  w.put(".");
  const char* name = ::strerrorname_np(errnum);
  if (name == nullptr) {
    w.put("UNKNOWN");
  } else {
    std::string_view sv{name};
    if (sv.starts_with('E')) sv.remove_prefix(1);
    w.put(sv);
  }
  writeAll(buf, w.finish());
  std::abort();
}

}  // namespace vorn::log
