// epoll wrappers: readiness sets of descriptors. Unlike a poll the ring
// holds on a descriptor, a set does not keep its files open: when the last
// descriptor of a file is closed the kernel drops it from the set. Each call
// retries on EINTR and returns none or the mapped code, with the kernel's
// number in *os_errno (0 on success). Any thread.
#pragma once

#include <sys/epoll.h>

#include <cstdint>

#include "os/error.hpp"

namespace vorn::os {

// The directions a registration asks for (epoll reports errors and hang-ups
// whatever is asked).
inline constexpr std::uint32_t epoll_readable = EPOLLIN;
inline constexpr std::uint32_t epoll_writable = EPOLLOUT;

// A new close-on-exec epoll set in *epfd.
Error epollCreate(int* epfd, int* os_errno) noexcept;
// Adds fd (level-triggered, for `events`, with user data `data`).
// PermissionDenied: the file cannot be watched (a regular file or a
// directory); PathAlreadyExists: fd's file is in the set already;
// InvalidFileDescriptor: fd names nothing, or the set itself.
Error epollAdd(int epfd, int fd, std::uint32_t events, std::uint64_t data, int* os_errno) noexcept;

}  // namespace vorn::os
