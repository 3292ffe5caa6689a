// Kernel ABI numbers the engine uses that are newer than the oldest kernel
// headers it is built against (portable wheels use Debian 12's, Linux 6.1).
// The numbers never change once a kernel ships them; where the headers
// define them too, they are checked against them here, at build time.
// Having a number does not mean the running kernel has the operation: the
// ring's setup probes its opcodes and refuses or falls back as before, and a
// system call the kernel lacks fails with ENOSYS.
#pragma once

#include <linux/io_uring.h>
#include <linux/version.h>
#include <sys/syscall.h>

#include <cstdint>

namespace vorn::os::kernel_abi {

inline constexpr std::uint8_t op_waitid = 50;     // io_uring, Linux 6.7
inline constexpr std::uint8_t op_ftruncate = 55;  // io_uring, Linux 6.9
inline constexpr long sys_fchmodat2 = 452;        // Linux 6.6, x86-64 and arm64 alike

}  // namespace vorn::os::kernel_abi

#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 9, 0)
static_assert(IORING_OP_WAITID == vorn::os::kernel_abi::op_waitid);
static_assert(IORING_OP_FTRUNCATE == vorn::os::kernel_abi::op_ftruncate);
#elif LINUX_VERSION_CODE >= KERNEL_VERSION(6, 7, 0)
static_assert(IORING_OP_WAITID == vorn::os::kernel_abi::op_waitid);
#define IORING_OP_FTRUNCATE (static_cast<io_uring_op>(vorn::os::kernel_abi::op_ftruncate))
#else
#define IORING_OP_WAITID (static_cast<io_uring_op>(vorn::os::kernel_abi::op_waitid))
#define IORING_OP_FTRUNCATE (static_cast<io_uring_op>(vorn::os::kernel_abi::op_ftruncate))
#endif

#ifdef SYS_fchmodat2
static_assert(SYS_fchmodat2 == vorn::os::kernel_abi::sys_fchmodat2);
#else
#define SYS_fchmodat2 (vorn::os::kernel_abi::sys_fchmodat2)
#endif
