// The io_uring system calls, raw, with their error-number mappings. Each
// returns Error::none on success. Any thread (the ring itself restricts who
// may enter it).
#pragma once

#include <linux/io_uring.h>

#include <cstddef>
#include <cstdint>

#include "os/error.hpp"
#include "os/kernel_abi.hpp"

namespace vorn::os {

// io_uring_setup: the new ring's fd in *fd.
Error uringSetup(std::uint32_t entries, io_uring_params* params, int* fd) noexcept;

// io_uring_enter with the extended wait argument, as used by the loop's wait:
// ETIME (the wait ran out) is success; EINTR gives SignalInterrupt. The
// number of consumed submissions is not needed: what the kernel did not take
// stays in the submission queue.
Error uringEnterWait(int fd, std::uint32_t to_submit, std::uint32_t min_complete, std::uint32_t flags,
                     const io_uring_getevents_arg* arg) noexcept;

// io_uring_enter that only submits (no wait, no completion processing), to
// make room in a full submission queue; *submitted gets how many entries the
// kernel took. Errors as for uringEnterWait.
Error uringEnterSubmit(int fd, std::uint32_t to_submit, std::uint32_t* submitted) noexcept;

// io_uring_enter without a signal mask, used to flush the kernel's
// completion overflow list.
Error uringEnterFlush(int fd, std::uint32_t flags) noexcept;

// io_uring_register.
Error uringRegister(int fd, unsigned opcode, void* arg, unsigned nr_args) noexcept;

}  // namespace vorn::os
