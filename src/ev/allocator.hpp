// The allocator handle that loops, backends and pools are given. The core
// allocates only through it, and only outside the per-operation paths (path
// copies of file operations, the pool's worker list). Any thread.
#pragma once

#include <cstddef>
#include <cstdlib>

namespace vorn::ev {

struct Allocator {
  void* context;
  void* (*alloc)(void* context, std::size_t size);  // null on failure
  void (*free)(void* context, void* ptr, std::size_t size);

  void* allocate(std::size_t size) const noexcept { return alloc(context, size); }
  void release(void* ptr, std::size_t size) const noexcept {
    if (ptr != nullptr) free(context, ptr, size);
  }
};

// The C allocator (malloc/free).
inline Allocator cAllocator() noexcept {
  return Allocator{
      nullptr,
      [](void*, std::size_t size) noexcept -> void* { return std::malloc(size); },
      [](void*, void* ptr, std::size_t) noexcept { std::free(ptr); },
  };
}

}  // namespace vorn::ev
