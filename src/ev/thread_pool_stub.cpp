// Temporary until the pool lands.
#include "ev/thread_pool.hpp"

namespace vorn::ev {
void ThreadPool::submit(Work*) noexcept {}
void ThreadPool::cancel(Work*) noexcept {}
}  // namespace vorn::ev
namespace vorn::ev {
Error ThreadPool::init(Allocator alloc, const ThreadPoolOptions& o) noexcept {
  allocator = alloc;
  max_threads = o.max_threads;
  return Error::none;
}
void ThreadPool::stop() noexcept {}
void ThreadPool::deinit() noexcept {}
Error threadPoolDefaultOptions(ThreadPoolOptions* out) noexcept {
  *out = ThreadPoolOptions{0, 4, 60'000'000'000, 2};
  return Error::none;
}
}  // namespace vorn::ev
