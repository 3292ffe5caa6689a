#include "os/eventfd.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

namespace vorn::os {

int eventfdCreate() noexcept {
  for (;;) {
    int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd >= 0) return fd;
    if (errno != EINTR) return -errno;
  }
}

int eventfdWrite(int fd, std::uint64_t value) noexcept {
  for (;;) {
    if (::write(fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value)) return 0;
    if (errno != EINTR) return errno;
  }
}

int eventfdRead(int fd, std::uint64_t* value) noexcept {
  for (;;) {
    if (::read(fd, value, sizeof *value) == static_cast<ssize_t>(sizeof *value)) return 0;
    if (errno != EINTR) return errno;
  }
}

}  // namespace vorn::os
