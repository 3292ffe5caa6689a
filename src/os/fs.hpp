// File-system layer of src/os: error-number mapping for the file and
// directory operation families. Each function takes a positive errno and
// never returns Error::none; numbers a family does not list become Unexpected.
// Pure switches: any thread (pool workers use them too).
#pragma once

#include <cstdint>

#include "os/error.hpp"
#include "os/kernel_abi.hpp"  // the file-system calls newer than older headers

namespace vorn::os {

// file_read, file_read_streaming, pipe_poll.
Error errnoToFileReadError(std::uint16_t err) noexcept;
// file_write, file_write_streaming.
Error errnoToFileWriteError(std::uint16_t err) noexcept;
// file_sync.
Error errnoToFileSyncError(std::uint16_t err) noexcept;
// file_set_size, on the ring and on the pool.
Error errnoToFileSetSizeError(std::uint16_t err) noexcept;
// file_stat.
Error errnoToFileStatError(std::uint16_t err) noexcept;
// file_open. EMLINK is O_NOFOLLOW meeting a link, so it is SymLinkLoop only
// when symlinks are not followed; EXDEV is RESOLVE_BENEATH escaping its root.
Error errnoToFileOpenError(std::uint16_t err, bool follow_symlinks, bool resolve_beneath) noexcept;
// file_create (no EMLINK: a create never refuses a link that way).
Error errnoToFileOpenError(std::uint16_t err, bool resolve_beneath) noexcept;
// dir_open.
Error errnoToDirOpenError(std::uint16_t err, bool resolve_beneath) noexcept;
// dir_create_dir.
Error errnoToDirCreateDirError(std::uint16_t err) noexcept;
// dir_rename, dir_rename_preserve.
Error errnoToDirRenameError(std::uint16_t err) noexcept;
// dir_delete_file.
Error errnoToDirDeleteFileError(std::uint16_t err) noexcept;
// dir_delete_dir.
Error errnoToDirDeleteDirError(std::uint16_t err) noexcept;
// dir_hard_link, file_hard_link.
Error errnoToHardLinkError(std::uint16_t err) noexcept;

// pipe2(2), made at once.
Error errnoToPipeCreateError(std::uint16_t err) noexcept;
// Closes of files, directories and pipes.
Error errnoToCloseError(std::uint16_t err) noexcept;
// The statx behind file_size.
Error errnoToFileSizeError(std::uint16_t err) noexcept;

// The pooled file-system jobs (run on the thread pool).
// fchmod, fchown, utimensat and their *at forms.
Error errnoToSetAttrError(std::uint16_t err) noexcept;
// symlinkat.
Error errnoToSymLinkError(std::uint16_t err) noexcept;
// readlinkat (EINVAL: not a link).
Error errnoToReadLinkError(std::uint16_t err) noexcept;
// faccessat and faccessat2.
Error errnoToAccessError(std::uint16_t err) noexcept;
// getdents64.
Error errnoToDirReadError(std::uint16_t err) noexcept;
// readlink of /proc/self/fd/N.
Error errnoToRealPathError(std::uint16_t err) noexcept;
// The O_PATH open that precedes a real-path lookup by path.
Error errnoToRealPathOpenError(std::uint16_t err) noexcept;
// ioctl.
Error errnoToIoctlError(std::uint16_t err) noexcept;

}  // namespace vorn::os
