// Pieces shared by the operation records: buffer descriptors, file
// descriptors, the job embedded in every record that runs on the thread pool,
// and the result helper.
//
// Conventions of every operation record:
//   - The header is the field `c`; owner code recovers the record with
//     containerOf<Record>(c). Two timestamp records put `timestamps` first.
//   - Inputs are filled by the caller (through init) and not touched by the
//     loop. Paths are pointer+length strings without terminator, owned by the
//     caller; buffers and the iovec arrays describing them belong to the
//     caller too. All of it must stay valid until the callback has run.
//   - The result slot `result_private_do_not_touch` is read through the
//     record's getResult, which yields the error when `c.err` is set.
//   - `internal` belongs to whoever runs the operation (the ring backend or
//     the thread pool) from add until the callback.
//   - The caller owns the record and must neither move nor free it until its
//     callback has run.
// Thread rules: init and getResult on the loop's owning thread (getResult
// only after the callback started); everything else is the loop's.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>

#include "ev/allocator.hpp"
#include "ev/completion.hpp"
#include "ev/work.hpp"
#include "os/error.hpp"
#include "os/syscall_cancel.hpp"

namespace vorn::ev {

using fd_t = std::int32_t;

// Destination of a read: caller's mutable iovecs.
struct ReadBuf {
  std::span<iovec> iovecs;
};

// Source of a write: caller's constant iovecs.
struct WriteBuf {
  std::span<const iovec> iovecs;
};

// The `internal` of every pooled record except DeviceIoControl. Filled by
// submitFileOpToThreadPool; the worker owns it until the hand-back.
struct DelegatedWork {
  Work work;                         // the pool job; work.cancel_token -> token
  Allocator allocator;               // the loop's, for the job's path copies
  LinkedWorkContext linked_context;  // {loop, the operation}: the hand-back's argument
  os::syscall_cancel::Token token;   // interrupts the job's blocking call
};

// Result of an operation: the error in `c.err`, or the slot.
template <class T>
using OpResult = std::expected<T, Error>;

namespace detail {
template <class T>
inline OpResult<T> resultOf(const Completion& c, const T& slot) noexcept {
  if (c.err != Error::none) return std::unexpected(c.err);
  return slot;
}
inline OpResult<void> resultOf(const Completion& c) noexcept {
  if (c.err != Error::none) return std::unexpected(c.err);
  return {};
}
}  // namespace detail

}  // namespace vorn::ev
