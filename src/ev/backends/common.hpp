// Blocking file-system work that the ring cannot do, run on the thread pool.
//
// The loop routes every pooled kind to submitFileOpToThreadPool, which wraps
// the operation record in the job embedded in its `internal` (no allocation)
// and hands it to the pool. A worker runs the kind's job function, which
// writes the outcome straight into the operation record (err, has_result,
// result slot); loopLinkedWorkComplete then pushes the record on the loop's
// finished-work stack, and the loop completes it on its own thread.
//
// Blocking calls that can take long are made through the interruptible
// sequence of os/syscall_cancel: a cancelled job never starts its call, and a
// call already blocked is ended by SIGURG.
//
// Also here: the NUL-terminated path copies shared with the ring backend.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <span>
#include <string_view>

#include "ev/allocator.hpp"
#include "ev/completion.hpp"
#include "ev/ops.hpp"
#include "ev/work.hpp"
#include "os/error.hpp"

namespace vorn::ev {
struct Loop;
}

namespace vorn::ev::backends {

// Starts a pooled operation: sets it running and counts it active, then
// submits its job. Without a pool it logs "No thread pool available for file
// operation" and completes the operation with Unexpected. Loop thread.
void submitFileOpToThreadPool(Loop* loop, Completion* c) noexcept;

// The job of a record that submitFileOpToThreadPool handles (for
// file_set_size only when the ring cannot do it), or null for every other
// kind. Used by cancellation. Loop thread.
Work* delegatedWorkOf(Completion* c) noexcept;

// The job functions, one per pooled kind; each takes the job embedded in its
// operation record. Worker thread (or the loop thread of a pool that runs
// jobs inline).
void fileSetSizeWork(Work* work) noexcept;
void fileSetPermissionsWork(Work* work) noexcept;
void fileSetOwnerWork(Work* work) noexcept;
void fileSetTimestampsWork(Work* work) noexcept;
void dirSetPermissionsWork(Work* work) noexcept;
void dirSetOwnerWork(Work* work) noexcept;
void dirSetFilePermissionsWork(Work* work) noexcept;
void dirSetFileOwnerWork(Work* work) noexcept;
void dirSetFileTimestampsWork(Work* work) noexcept;
void dirSymLinkWork(Work* work) noexcept;
void dirReadLinkWork(Work* work) noexcept;
void dirHardLinkWork(Work* work) noexcept;
void dirAccessWork(Work* work) noexcept;
void dirReadWork(Work* work) noexcept;
void dirRealPathWork(Work* work) noexcept;
void dirRealPathFileWork(Work* work) noexcept;
void fileRealPathWork(Work* work) noexcept;
void fileHardLinkWork(Work* work) noexcept;
void deviceIoControlWork(Work* work) noexcept;

// A timestamp as the kernel's timespec: seconds rounded towards minus
// infinity, nanoseconds always 0..999999999 (-1 ns is {-1, 999999999});
// null becomes {0, UTIME_OMIT}. Seconds beyond the 64-bit range are clamped
// (the kernel clamps to the file system's range anyway). Any thread.
timespec timestampToTimespec(const std::optional<TimestampNs>& ns) noexcept;

// NUL-terminated copy of `path` from `alloc` (path.size() + 1 bytes), or an
// error: SystemResources when the allocation fails, BadPathName when the path
// holds a NUL byte (the kernel would silently stop there and act on another
// file). Free with freePath and the same path. Any thread.
std::expected<char*, Error> copyPath(const Allocator& alloc, std::string_view path) noexcept;
// Frees a copyPath result (null is ignored) and sets it to null. Any thread.
void freePath(const Allocator& alloc, char*& copy, std::string_view path) noexcept;

}  // namespace vorn::ev::backends
