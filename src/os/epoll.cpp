#include "os/epoll.hpp"

#include <cerrno>

namespace vorn::os {

namespace {

Error errnoToEpollError(int err) noexcept {
  switch (err) {
    case EBADF: return Error::InvalidFileDescriptor;
    case EINVAL: return Error::InvalidFileDescriptor;  // fd is the set itself
    case EPERM: return Error::PermissionDenied;
    case EEXIST: return Error::PathAlreadyExists;
    case ELOOP: return Error::SymLinkLoop;
    case ENOMEM: return Error::SystemResources;
    case ENOSPC: return Error::SystemResources;  // the user's watch limit
    case EMFILE: return Error::ProcessFdQuotaExceeded;
    case ENFILE: return Error::SystemFdQuotaExceeded;
    default: return Error::Unexpected;
  }
}

}  // namespace

Error epollAdd(int epfd, int fd, std::uint32_t events, std::uint64_t data, int* os_errno) noexcept {
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = data;
  for (;;) {
    if (::epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev) == 0) {
      *os_errno = 0;
      return Error::none;
    }
    if (errno != EINTR) break;
  }
  *os_errno = errno;
  return errnoToEpollError(errno);
}

Error epollCreate(int* epfd, int* os_errno) noexcept {
  for (;;) {
    int fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (fd >= 0) {
      *epfd = fd;
      *os_errno = 0;
      return Error::none;
    }
    if (errno != EINTR) break;
  }
  *os_errno = errno;
  return errnoToEpollError(errno);
}

}  // namespace vorn::os
