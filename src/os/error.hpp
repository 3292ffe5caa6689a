// The program-wide error set: every failure in the native code is one of
// these named 16-bit codes; raw errno values never leave src/os. Code compares
// them by name only, so the numbering carries no meaning beyond none == 0.
#pragma once

#include <cstdint>
#include <string_view>

namespace vorn {

#define VORN_ERRORS(X)                                                        \
  X(AccessDenied) X(AddressFamilyUnsupported) X(AddressInUse)                  \
  X(AddressUnavailable) X(AlreadyConnected) X(BlockedByFirewall)               \
  X(BrokenPipe) X(BufferInvalid) X(Canceled) X(CompletionQueueOvercommitted)   \
  X(ConnectionAborted) X(ConnectionPending) X(ConnectionRefused)               \
  X(ConnectionResetByPeer) X(ConnectionTimedOut) X(CrossDevice) X(DeviceBusy)  \
  X(DirNotEmpty) X(DiskQuota) X(FileBusy) X(FileDescriptorInBadState)          \
  X(FileDescriptorInvalid) X(FileDescriptorNotASocket) X(FileNotFound)         \
  X(FileTooBig) X(InputOutput) X(InvalidAddress) X(InvalidFileDescriptor)      \
  X(InvalidThread) X(IsDir) X(LinkQuotaExceeded) X(MessageOversize)            \
  X(MessageTooBig) X(NameTooLong) X(NetworkDown) X(NetworkUnreachable)         \
  X(NoDevice) X(NoSpaceLeft) X(NotDir) X(NotOpenForReading)                    \
  X(NotOpenForWriting) X(OpcodeNotSupported) X(OperationNotSupported)          \
  X(PathAlreadyExists) X(PermissionDenied) X(ProcessFdQuotaExceeded)           \
  X(ProcessNotFound) X(ProtocolFailure) X(ProtocolNotSupported)                \
  X(ReadOnlyFileSystem) X(RingShuttingDown) X(SignalInterrupt)                 \
  X(SocketNotConnected) X(SocketNotListening) X(SocketUnconnected)             \
  X(SubmissionQueueEntryInvalid) X(SymLinkLoop) X(SystemFdQuotaExceeded)       \
  X(SystemResources) X(Timeout) X(Unexpected) X(Unseekable) X(WouldBlock)      \
  X(NoThreadPool) X(OutOfMemory) X(NotLink) X(OperationUnsupported)            \
  X(BadPathName)

enum class Error : std::uint16_t {
  none = 0,
#define VORN_ERROR_ENUM(name) name,
  VORN_ERRORS(VORN_ERROR_ENUM)
#undef VORN_ERROR_ENUM
};

// Number of named codes (none excluded).
inline constexpr std::uint16_t error_count = static_cast<std::uint16_t>(Error::BadPathName);

// The code's name as written in the set ("Canceled"); "none" for Error::none
// and "Unknown" for a value outside the set. Any thread.
std::string_view errorName(Error err) noexcept;

}  // namespace vorn
