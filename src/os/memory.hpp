// Anonymous memory whose pages the kernel makes resident only when written.
// Any thread.
#pragma once

#include <cstddef>

namespace vorn::os {

// A private anonymous read-write mapping of `size` bytes (a multiple of the
// page size), reserving no swap; null when the kernel refuses.
void* mapAnonymous(std::size_t size) noexcept;
// Gives back the pages of [ptr, ptr + size) (page-aligned ptr, size rounded
// up to whole pages): they read as zeros and cost nothing until written
// again. Best effort: a refusal leaves them resident and is not reported.
void releasePages(void* ptr, std::size_t size) noexcept;
// Hands the C allocator's free memory back to the kernel: the whole free
// pages inside every arena (each thread's too), not only the top of the
// heap. Takes the allocator's locks and walks its free lists: for quiet
// moments, not for a hot path. Does nothing on a C library without it.
void trimHeap() noexcept;
// The page size, read once.
std::size_t pageSize() noexcept;

}  // namespace vorn::os
