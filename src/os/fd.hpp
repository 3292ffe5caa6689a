// Descriptors the program owns, given back to the kernel. Any thread.
#pragma once

#include "os/error.hpp"

namespace vorn::os {

// Closes fd once. Linux releases the number whatever close(2) reports, EINTR
// included, so it is never retried: by then another thread may have been
// given the same number, and a second close would take it from that thread.
// Returns none when the number is released (EINTR and EINPROGRESS too);
// FileDescriptorInvalid when fd named nothing (a sign that ownership was lost
// somewhere: the owner must never hand out a number it has closed), or the
// mapped error of a flush that failed (InputOutput, NoSpaceLeft, DiskQuota),
// after which the number is released all the same.
Error closeOnce(int fd) noexcept;

// closeOnce of a descriptor the caller knows to be its own (fresh from the
// kernel, or checked against the file it was taken for). Checked builds end
// the process when the number named nothing: ownership was lost, and had the
// number been reused this close would have taken another owner's descriptor.
void closeOwned(int fd) noexcept;

}  // namespace vorn::os
