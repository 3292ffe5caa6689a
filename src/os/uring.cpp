#include "os/uring.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace vorn::os {

namespace {

Error setupError(int err) noexcept {
  switch (err) {
    case EFAULT: return Error::InvalidAddress;
    case EINVAL: return Error::OperationNotSupported;  // flags this kernel does not know
    case ENOSYS: return Error::OperationNotSupported;
    case EMFILE: return Error::ProcessFdQuotaExceeded;
    case ENFILE: return Error::SystemFdQuotaExceeded;
    case ENOMEM: return Error::SystemResources;
    case EPERM: return Error::PermissionDenied;
    default: return Error::Unexpected;
  }
}

Error waitError(int err) noexcept {
  switch (err) {
    case EAGAIN: return Error::WouldBlock;
    case EBADF: return Error::FileDescriptorInvalid;
    case EBUSY: return Error::DeviceBusy;
    case EFAULT: return Error::InvalidAddress;
    case EINTR: return Error::SignalInterrupt;
    case EINVAL: return Error::SubmissionQueueEntryInvalid;
    case ENOMEM: return Error::SystemResources;
    case EOPNOTSUPP: return Error::OpcodeNotSupported;
    case ETIME: return Error::none;
    default: return Error::Unexpected;
  }
}

Error flushError(int err) noexcept {
  switch (err) {
    case EAGAIN: return Error::SystemResources;
    case EBADF: return Error::FileDescriptorInvalid;
    case EBADFD: return Error::FileDescriptorInBadState;
    case EBUSY: return Error::CompletionQueueOvercommitted;
    case EEXIST: return Error::InvalidThread;
    case EFAULT: return Error::BufferInvalid;
    case EINTR: return Error::SignalInterrupt;
    case EINVAL: return Error::SubmissionQueueEntryInvalid;
    case ENXIO: return Error::RingShuttingDown;
    case EOPNOTSUPP: return Error::OpcodeNotSupported;
    default: return Error::Unexpected;
  }
}

}  // namespace

Error uringSetup(std::uint32_t entries, io_uring_params* params, int* fd) noexcept {
  long r = ::syscall(SYS_io_uring_setup, entries, params);
  if (r < 0) return setupError(errno);
  *fd = static_cast<int>(r);
  return Error::none;
}

Error uringEnterWait(int fd, std::uint32_t to_submit, std::uint32_t min_complete, std::uint32_t flags,
                     const io_uring_getevents_arg* arg) noexcept {
  long r = ::syscall(SYS_io_uring_enter, fd, to_submit, min_complete, flags | IORING_ENTER_EXT_ARG, arg, sizeof *arg);
  return r < 0 ? waitError(errno) : Error::none;
}

Error uringEnterSubmit(int fd, std::uint32_t to_submit, std::uint32_t* submitted) noexcept {
  long r = ::syscall(SYS_io_uring_enter, fd, to_submit, 0, 0, nullptr, 0);
  if (r < 0) {
    *submitted = 0;
    return waitError(errno);
  }
  *submitted = static_cast<std::uint32_t>(r);
  return Error::none;
}

Error uringEnterFlush(int fd, std::uint32_t flags) noexcept {
  // Size 8: the kernel's sigset size, with no mask given.
  long r = ::syscall(SYS_io_uring_enter, fd, 0, 0, flags, nullptr, 8);
  return r < 0 ? flushError(errno) : Error::none;
}

Error uringRegister(int fd, unsigned opcode, void* arg, unsigned nr_args) noexcept {
  long r = ::syscall(SYS_io_uring_register, fd, opcode, arg, nr_args);
  return r < 0 ? Error::Unexpected : Error::none;
}

}  // namespace vorn::os
