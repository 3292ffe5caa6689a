#include "os/fs.hpp"

#include <cerrno>

namespace vorn::os {

Error errnoToFileReadError(std::uint16_t err) noexcept {
  switch (err) {
    case EIO: return Error::InputOutput;
    case EBADF: return Error::NotOpenForReading;
    case EAGAIN: return Error::WouldBlock;
    case ENOMEM: return Error::SystemResources;
    case EACCES: return Error::AccessDenied;
    case ESPIPE: return Error::Unseekable;
    case EPIPE: return Error::BrokenPipe;
    case ECANCELED: return Error::Canceled;
    default: return Error::Unexpected;
  }
}

Error errnoToFileWriteError(std::uint16_t err) noexcept {
  switch (err) {
    case EIO: return Error::InputOutput;
    case EBADF: return Error::NotOpenForWriting;
    case EAGAIN: return Error::WouldBlock;
    case ENOMEM: return Error::SystemResources;
    case EACCES: return Error::AccessDenied;
    case EFBIG: return Error::FileTooBig;
    case ENOSPC: return Error::NoSpaceLeft;
    case ESPIPE: return Error::Unseekable;
    case EPIPE: return Error::BrokenPipe;
    case EDQUOT: return Error::DiskQuota;
    case ECANCELED: return Error::Canceled;
    default: return Error::Unexpected;
  }
}

Error errnoToFileSyncError(std::uint16_t err) noexcept {
  switch (err) {
    case EPERM: return Error::AccessDenied;
    case EACCES: return Error::AccessDenied;
    case EROFS: return Error::AccessDenied;
    case EIO: return Error::InputOutput;
    case ENOSPC: return Error::NoSpaceLeft;
    case EDQUOT: return Error::DiskQuota;
    case ECANCELED: return Error::Canceled;
    default: return Error::Unexpected;
  }
}

Error errnoToFileSetSizeError(std::uint16_t err) noexcept {
  switch (err) {
    case EPERM: return Error::PermissionDenied;
    case EIO: return Error::InputOutput;
    case EACCES: return Error::AccessDenied;
    case ETXTBSY: return Error::FileBusy;
    case EFBIG: return Error::FileTooBig;
    case ECANCELED: return Error::Canceled;
    default: return Error::Unexpected;
  }
}

Error errnoToFileStatError(std::uint16_t err) noexcept {
  switch (err) {
    case ENOENT: return Error::FileNotFound;
    case EBADF: return Error::InvalidFileDescriptor;
    case ENOMEM: return Error::SystemResources;
    case EACCES: return Error::AccessDenied;
    case ENOTDIR: return Error::NotDir;
    case ENAMETOOLONG: return Error::NameTooLong;
    case ELOOP: return Error::SymLinkLoop;
    case ECANCELED: return Error::Canceled;
    default: return Error::Unexpected;
  }
}

Error errnoToFileOpenError(std::uint16_t err, bool resolve_beneath) noexcept {
  switch (err) {
    case EPERM: return Error::PermissionDenied;
    case ENOENT: return Error::FileNotFound;
    case ENOMEM: return Error::SystemResources;
    case EACCES: return Error::AccessDenied;
    case EBUSY: return Error::DeviceBusy;
    case EEXIST: return Error::PathAlreadyExists;
    case ENODEV: return Error::NoDevice;
    case ENOTDIR: return Error::NotDir;
    case EISDIR: return Error::IsDir;
    case ENFILE: return Error::SystemFdQuotaExceeded;
    case EMFILE: return Error::ProcessFdQuotaExceeded;
    case ETXTBSY: return Error::FileBusy;
    case EFBIG: return Error::FileTooBig;
    case ENOSPC: return Error::NoSpaceLeft;
    case ENAMETOOLONG: return Error::NameTooLong;
    case ELOOP: return Error::SymLinkLoop;
    case EXDEV: return resolve_beneath ? Error::AccessDenied : Error::Unexpected;
    case ECANCELED: return Error::Canceled;
    default: return Error::Unexpected;
  }
}

Error errnoToFileOpenError(std::uint16_t err, bool follow_symlinks, bool resolve_beneath) noexcept {
  if (err == EMLINK) return follow_symlinks ? Error::Unexpected : Error::SymLinkLoop;
  return errnoToFileOpenError(err, resolve_beneath);
}

Error errnoToDirOpenError(std::uint16_t err, bool resolve_beneath) noexcept {
  switch (err) {
    case EPERM: return Error::PermissionDenied;
    case ENOENT: return Error::FileNotFound;
    case ENOMEM: return Error::SystemResources;
    case EACCES: return Error::AccessDenied;
    case ENODEV: return Error::NoDevice;
    case ENOTDIR: return Error::NotDir;
    case ENFILE: return Error::SystemFdQuotaExceeded;
    case EMFILE: return Error::ProcessFdQuotaExceeded;
    case ENAMETOOLONG: return Error::NameTooLong;
    case ELOOP: return Error::SymLinkLoop;
    case EXDEV: return resolve_beneath ? Error::AccessDenied : Error::Unexpected;
    case ECANCELED: return Error::Canceled;
    default: return Error::Unexpected;
  }
}

Error errnoToDirCreateDirError(std::uint16_t err) noexcept {
  switch (err) {
    case EPERM: return Error::PermissionDenied;
    case ENOENT: return Error::FileNotFound;
    case ENOMEM: return Error::SystemResources;
    case EACCES: return Error::AccessDenied;
    case EEXIST: return Error::PathAlreadyExists;
    case ENOTDIR: return Error::NotDir;
    case ENOSPC: return Error::NoSpaceLeft;
    case EROFS: return Error::ReadOnlyFileSystem;
    case EMLINK: return Error::LinkQuotaExceeded;
    case ENAMETOOLONG: return Error::NameTooLong;
    case ELOOP: return Error::SymLinkLoop;
    case EDQUOT: return Error::DiskQuota;
    case ECANCELED: return Error::Canceled;
    default: return Error::Unexpected;
  }
}

Error errnoToDirRenameError(std::uint16_t err) noexcept {
  switch (err) {
    case EPERM: return Error::PermissionDenied;
    case ENOENT: return Error::FileNotFound;
    case ENOMEM: return Error::SystemResources;
    case EACCES: return Error::AccessDenied;
    case EBUSY: return Error::FileBusy;
    case EXDEV: return Error::CrossDevice;
    case ENOTDIR: return Error::NotDir;
    case EISDIR: return Error::IsDir;
    case ENOSPC: return Error::NoSpaceLeft;
    case EROFS: return Error::ReadOnlyFileSystem;
    case EMLINK: return Error::LinkQuotaExceeded;
    case ENAMETOOLONG: return Error::NameTooLong;
    case ENOTEMPTY: return Error::DirNotEmpty;
    case ELOOP: return Error::SymLinkLoop;
    case EDQUOT: return Error::DiskQuota;
    case ECANCELED: return Error::Canceled;
    default: return Error::Unexpected;
  }
}

Error errnoToDirDeleteFileError(std::uint16_t err) noexcept {
  switch (err) {
    case EPERM: return Error::AccessDenied;
    case EACCES: return Error::AccessDenied;
    case ENOENT: return Error::FileNotFound;
    case ENOMEM: return Error::SystemResources;
    case EBUSY: return Error::FileBusy;
    case ENOTDIR: return Error::NotDir;
    case EISDIR: return Error::IsDir;
    case EROFS: return Error::ReadOnlyFileSystem;
    case ENAMETOOLONG: return Error::NameTooLong;
    case ELOOP: return Error::SymLinkLoop;
    case ECANCELED: return Error::Canceled;
    default: return Error::Unexpected;
  }
}

Error errnoToDirDeleteDirError(std::uint16_t err) noexcept {
  if (err == EISDIR) return Error::Unexpected;
  if (err == ENOTEMPTY) return Error::DirNotEmpty;
  return errnoToDirDeleteFileError(err);
}

Error errnoToHardLinkError(std::uint16_t err) noexcept {
  switch (err) {
    case EPERM: return Error::PermissionDenied;
    case ENOENT: return Error::FileNotFound;
    case ENOMEM: return Error::SystemResources;
    case EACCES: return Error::AccessDenied;
    case EEXIST: return Error::PathAlreadyExists;
    case EXDEV: return Error::CrossDevice;
    case ENOTDIR: return Error::NotDir;
    case ENOSPC: return Error::NoSpaceLeft;
    case EROFS: return Error::ReadOnlyFileSystem;
    case ENAMETOOLONG: return Error::NameTooLong;
    case ELOOP: return Error::SymLinkLoop;
    case EDQUOT: return Error::DiskQuota;
    case ECANCELED: return Error::Canceled;
    default: return Error::Unexpected;
  }
}

// --- Other calls of the ring: pipe creation, closes, the size query ---------

Error errnoToPipeCreateError(std::uint16_t err) noexcept {
  switch (err) {
    case ENFILE: return Error::SystemFdQuotaExceeded;
    case EMFILE: return Error::ProcessFdQuotaExceeded;
    default: return Error::Unexpected;
  }
}

Error errnoToCloseError(std::uint16_t err) noexcept { return err == ECANCELED ? Error::Canceled : Error::Unexpected; }

Error errnoToFileSizeError(std::uint16_t err) noexcept {
  switch (err) {
    case ECANCELED: return Error::Canceled;
    case EACCES: return Error::AccessDenied;
    case EPERM: return Error::PermissionDenied;
    default: return Error::Unexpected;
  }
}

// --- Families of the pooled file-system jobs ----------------------------------

// fchmod, fchown, utimensat and their *at forms.
Error errnoToSetAttrError(std::uint16_t err) noexcept {
  switch (err) {
    case EPERM: return Error::PermissionDenied;
    case EACCES: return Error::AccessDenied;
    case EROFS: return Error::ReadOnlyFileSystem;
    case ECANCELED: return Error::Canceled;
    default: return Error::Unexpected;
  }
}

Error errnoToSymLinkError(std::uint16_t err) noexcept {
  switch (err) {
    case EPERM: return Error::PermissionDenied;
    case ENOENT: return Error::FileNotFound;
    case ENOMEM: return Error::SystemResources;
    case EACCES: return Error::AccessDenied;
    case EEXIST: return Error::PathAlreadyExists;
    case ENOTDIR: return Error::NotDir;
    case ENOSPC: return Error::NoSpaceLeft;
    case EROFS: return Error::ReadOnlyFileSystem;
    case ENAMETOOLONG: return Error::NameTooLong;
    case ELOOP: return Error::SymLinkLoop;
    case EDQUOT: return Error::DiskQuota;
    case ECANCELED: return Error::Canceled;
    default: return Error::Unexpected;
  }
}

Error errnoToReadLinkError(std::uint16_t err) noexcept {
  switch (err) {
    case EPERM: return Error::PermissionDenied;
    case ENOENT: return Error::FileNotFound;
    case ENOMEM: return Error::SystemResources;
    case EACCES: return Error::AccessDenied;
    case ENOTDIR: return Error::NotDir;
    case EINVAL: return Error::NotLink;
    case ENAMETOOLONG: return Error::NameTooLong;
    case ELOOP: return Error::SymLinkLoop;
    case ECANCELED: return Error::Canceled;
    default: return Error::Unexpected;
  }
}

Error errnoToAccessError(std::uint16_t err) noexcept {
  switch (err) {
    case EPERM: return Error::PermissionDenied;
    case ENOENT:
    case ENOTDIR: return Error::FileNotFound;
    case EIO: return Error::InputOutput;
    case ENOMEM: return Error::SystemResources;
    case EACCES: return Error::AccessDenied;
    case ETXTBSY: return Error::FileBusy;
    case EROFS: return Error::ReadOnlyFileSystem;
    case ENAMETOOLONG: return Error::NameTooLong;
    case ELOOP: return Error::SymLinkLoop;
    case ECANCELED: return Error::Canceled;
    default: return Error::Unexpected;
  }
}

Error errnoToDirReadError(std::uint16_t err) noexcept {
  switch (err) {
    case EPERM: return Error::PermissionDenied;
    case ENOMEM: return Error::SystemResources;
    case EACCES: return Error::AccessDenied;
    case ECANCELED: return Error::Canceled;
    default: return Error::Unexpected;
  }
}

// readlink of /proc/self/fd/N.
Error errnoToRealPathError(std::uint16_t err) noexcept {
  switch (err) {
    case EPERM: return Error::PermissionDenied;
    case ENOENT:
    case EBADF: return Error::FileNotFound;
    case EIO: return Error::InputOutput;
    case ENOMEM: return Error::SystemResources;
    case EACCES: return Error::AccessDenied;
    case ENOTDIR: return Error::NotDir;
    case ENOSPC:
    case ERANGE:
    case ENAMETOOLONG: return Error::NameTooLong;
    case ELOOP: return Error::SymLinkLoop;
    case ECANCELED: return Error::Canceled;
    default: return Error::Unexpected;
  }
}

// The O_PATH open that precedes the real-path lookup of dir_real_path_file.
Error errnoToRealPathOpenError(std::uint16_t err) noexcept {
  switch (err) {
    case EPERM: return Error::PermissionDenied;
    case ENOENT:
    case EBADF: return Error::FileNotFound;
    case EIO: return Error::InputOutput;
    case ENXIO:
    case ENODEV: return Error::NoDevice;
    case ENOMEM: return Error::SystemResources;
    case EACCES: return Error::AccessDenied;
    case EBUSY:
    case ETXTBSY: return Error::DeviceBusy;
    case EEXIST: return Error::PathAlreadyExists;
    case ENOTDIR: return Error::NotDir;
    case EISDIR: return Error::IsDir;
    case EINVAL: return Error::BadPathName;
    case ENFILE: return Error::SystemFdQuotaExceeded;
    case EMFILE: return Error::ProcessFdQuotaExceeded;
    case EFBIG: return Error::FileTooBig;
    case ENOSPC:
    case ERANGE:
    case ENAMETOOLONG: return Error::NameTooLong;
    case ELOOP: return Error::SymLinkLoop;
    case ECANCELED: return Error::Canceled;
    default: return Error::Unexpected;
  }
}

// A failing ioctl must not pass for a successful one returning -1.
Error errnoToIoctlError(std::uint16_t err) noexcept {
  switch (err) {
    case EBADF: return Error::InvalidFileDescriptor;
    case ENOTTY: return Error::OperationUnsupported;
    case EPERM: return Error::PermissionDenied;
    case EACCES: return Error::AccessDenied;
    case ECANCELED: return Error::Canceled;
    default: return Error::Unexpected;
  }
}

}  // namespace vorn::os
