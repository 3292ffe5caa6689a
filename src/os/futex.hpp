// futex(2) on private 32-bit words. Any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

namespace vorn::os {

// Sleeps while *word == expected, at most `timeout` (relative; null waits
// without limit). Returns 0, or the errno: EAGAIN when the word differed,
// ETIMEDOUT, EINTR.
int futexWait(std::atomic<std::uint32_t>* word, std::uint32_t expected, const timespec* timeout) noexcept;

// Wakes up to `count` waiters of the word; returns how many woke.
int futexWake(std::atomic<std::uint32_t>* word, int count) noexcept;

}  // namespace vorn::os
