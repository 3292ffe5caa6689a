#include "os/memory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace vorn::os {

void* mapAnonymous(std::size_t size) noexcept {
  void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void releasePages(void* ptr, std::size_t size) noexcept {
  std::size_t page = pageSize();
  ::madvise(ptr, (size + page - 1) / page * page, MADV_DONTNEED);
}

void trimHeap() noexcept {
#if defined(__GLIBC__)
  ::malloc_trim(0);
#endif
}

std::size_t pageSize() noexcept {
  static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return page;
}

}  // namespace vorn::os
