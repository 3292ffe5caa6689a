// Temporary until the pool lands.
#include "ev/thread_pool.hpp"

namespace vorn::ev {
void ThreadPool::submit(Work*) noexcept {}
void ThreadPool::cancel(Work*) noexcept {}
}  // namespace vorn::ev
