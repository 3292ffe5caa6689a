// epoll wrappers: a readiness set of descriptors. Unlike a poll held by the
// ring, a registration here does not keep the file open: when the last
// descriptor of a file is closed the kernel drops it from the set. Each call
// retries on EINTR and returns none or the mapped code, with the kernel's
// number in *os_errno (0 on success). Any thread; the caller serialises the
// calls on one set.
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
// Adds fd (level-triggered, `events`, user data `data`). PermissionDenied: the
// file cannot be watched (a regular file or a directory); PathAlreadyExists:
// fd's file is in the set already; InvalidFileDescriptor: fd names nothing,
// or the set itself.
Error epollAdd(int epfd, int fd, std::uint32_t events, std::uint64_t data, int* os_errno) noexcept;
// Changes what fd is watched for. FileNotFound: fd's file is not in the set
// (its last descriptor was closed, or the number now names another file).
Error epollModify(int epfd, int fd, std::uint32_t events, std::uint64_t data, int* os_errno) noexcept;
// Takes fd out of the set. FileNotFound as for epollModify; a closed fd is
// InvalidFileDescriptor.
Error epollRemove(int epfd, int fd, int* os_errno) noexcept;
// Up to `max` ready registrations into out[0, *count), without waiting.
Error epollHarvest(int epfd, epoll_event* out, int max, int* count, int* os_errno) noexcept;

}  // namespace vorn::os
