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
    case ENOENT: return Error::FileNotFound;
    case ELOOP: return Error::SymLinkLoop;
    case ENOMEM: return Error::SystemResources;
    case ENOSPC: return Error::SystemResources;  // the user's watch limit
    case EMFILE: return Error::ProcessFdQuotaExceeded;
    case ENFILE: return Error::SystemFdQuotaExceeded;
    default: return Error::Unexpected;
  }
}

Error control(int epfd, int op, int fd, std::uint32_t events, std::uint64_t data, int* os_errno) noexcept {
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = data;
  for (;;) {
    if (::epoll_ctl(epfd, op, fd, &ev) == 0) {
      *os_errno = 0;
      return Error::none;
    }
    if (errno != EINTR) break;
  }
  *os_errno = errno;
  return errnoToEpollError(errno);
}

}  // namespace

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

Error epollAdd(int epfd, int fd, std::uint32_t events, std::uint64_t data, int* os_errno) noexcept {
  return control(epfd, EPOLL_CTL_ADD, fd, events, data, os_errno);
}

Error epollModify(int epfd, int fd, std::uint32_t events, std::uint64_t data, int* os_errno) noexcept {
  return control(epfd, EPOLL_CTL_MOD, fd, events, data, os_errno);
}

Error epollRemove(int epfd, int fd, int* os_errno) noexcept { return control(epfd, EPOLL_CTL_DEL, fd, 0, 0, os_errno); }

Error epollHarvest(int epfd, epoll_event* out, int max, int* count, int* os_errno) noexcept {
  for (;;) {
    int n = ::epoll_wait(epfd, out, max, 0);
    if (n >= 0) {
      *count = n;
      *os_errno = 0;
      return Error::none;
    }
    if (errno != EINTR) break;
  }
  *count = 0;
  *os_errno = errno;
  return errnoToEpollError(errno);
}

}  // namespace vorn::os
