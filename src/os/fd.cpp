#include "os/fd.hpp"

#include <unistd.h>

#include <cerrno>

#include "os/assert.hpp"

namespace vorn::os {

Error closeOnce(int fd) noexcept {
  if (::close(fd) == 0) return Error::none;
  switch (errno) {
    case EINTR:
    case EINPROGRESS: return Error::none;
    case EBADF: return Error::FileDescriptorInvalid;
    case EIO: return Error::InputOutput;
    case ENOSPC: return Error::NoSpaceLeft;
    case EDQUOT: return Error::DiskQuota;
    default: return Error::Unexpected;
  }
}

void closeOwned(int fd) noexcept {
  [[maybe_unused]] Error e = closeOnce(fd);
  VORN_ASSERT(e != Error::FileDescriptorInvalid);
}

}  // namespace vorn::os
