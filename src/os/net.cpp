#include "os/net.hpp"

#include <sys/socket.h>

#include <cerrno>

namespace vorn::os {

// The families differ on purpose (ENETDOWN on a send is NetworkUnreachable,
// on a receive NetworkDown; ETIMEDOUT on a connect is Timeout): the Python
// layer maps each name to its own exception type.

Error errnoToRecvError(std::uint16_t err) noexcept {
  switch (err) {
    case EAGAIN: return Error::WouldBlock;
    case ENOMEM: return Error::SystemResources;
    case ENOBUFS: return Error::SystemResources;
    case ENFILE: return Error::SystemFdQuotaExceeded;
    case EMFILE: return Error::ProcessFdQuotaExceeded;
    case ENOTSOCK: return Error::FileDescriptorNotASocket;
    case EMSGSIZE: return Error::MessageOversize;
    case ENETDOWN: return Error::NetworkDown;
    case ECONNRESET: return Error::ConnectionResetByPeer;
    case ENOTCONN: return Error::SocketNotConnected;
    case ETIMEDOUT: return Error::ConnectionTimedOut;
    case ECONNREFUSED: return Error::ConnectionRefused;
    case ECANCELED: return Error::Canceled;
    default: return Error::Unexpected;
  }
}

Error errnoToSendError(std::uint16_t err) noexcept {
  switch (err) {
    case EAGAIN: return Error::WouldBlock;
    case EACCES: return Error::AccessDenied;
    case EPIPE: return Error::BrokenPipe;
    case ENOTSOCK: return Error::FileDescriptorNotASocket;
    case EMSGSIZE: return Error::MessageTooBig;
    case ENETDOWN: return Error::NetworkUnreachable;
    case EHOSTDOWN: return Error::NetworkUnreachable;
    case EHOSTUNREACH: return Error::NetworkUnreachable;
    case ECONNRESET: return Error::ConnectionResetByPeer;
    case ENOBUFS: return Error::SystemResources;
    case ENOTCONN: return Error::SocketNotConnected;
    case ETIMEDOUT: return Error::ConnectionTimedOut;
    case ECANCELED: return Error::Canceled;
    default: return Error::Unexpected;
  }
}

Error errnoToAcceptError(std::uint16_t err) noexcept {
  switch (err) {
    case EPERM: return Error::BlockedByFirewall;
    case EAGAIN: return Error::WouldBlock;
    case ENOMEM: return Error::SystemResources;
    case ENOBUFS: return Error::SystemResources;
    case EINVAL: return Error::SocketNotListening;
    case ENFILE: return Error::SystemFdQuotaExceeded;
    case EMFILE: return Error::ProcessFdQuotaExceeded;
    case EPROTO: return Error::ProtocolFailure;
    case ENOTSOCK: return Error::FileDescriptorNotASocket;
    case EOPNOTSUPP: return Error::OperationNotSupported;
    case ENETDOWN: return Error::NetworkDown;
    case ECONNABORTED: return Error::ConnectionAborted;
    case ECONNRESET: return Error::ConnectionResetByPeer;
    case ECANCELED: return Error::Canceled;
    default: return Error::Unexpected;
  }
}

Error errnoToConnectError(std::uint16_t err) noexcept {
  switch (err) {
    case EPERM: return Error::AccessDenied;
    case EACCES: return Error::AccessDenied;
    case ENOENT: return Error::FileNotFound;
    case EAGAIN: return Error::WouldBlock;
    case ENOTDIR: return Error::NotDir;
    case ENAMETOOLONG: return Error::NameTooLong;
    case ELOOP: return Error::SymLinkLoop;
    case ENOTSOCK: return Error::FileDescriptorNotASocket;
    case EAFNOSUPPORT: return Error::AddressFamilyUnsupported;
    case EADDRINUSE: return Error::AddressInUse;
    case EADDRNOTAVAIL: return Error::AddressUnavailable;
    case ENETUNREACH: return Error::NetworkUnreachable;
    case EHOSTUNREACH: return Error::NetworkUnreachable;
    case ECONNRESET: return Error::ConnectionResetByPeer;
    case EISCONN: return Error::AlreadyConnected;
    case ETIMEDOUT: return Error::Timeout;
    case ECONNREFUSED: return Error::ConnectionRefused;
    case EALREADY: return Error::ConnectionPending;
    case EINPROGRESS: return Error::ConnectionPending;
    case ECANCELED: return Error::Canceled;
    default: return Error::Unexpected;
  }
}

Error errnoToShutdownError(std::uint16_t err) noexcept {
  switch (err) {
    case ENETDOWN: return Error::NetworkDown;
    case ECONNABORTED: return Error::ConnectionAborted;
    case ECONNRESET: return Error::ConnectionResetByPeer;
    case ENOTCONN: return Error::SocketUnconnected;
    case ECANCELED: return Error::Canceled;
    default: return Error::Unexpected;
  }
}

// --- Calls made at once (socket, bind, listen) -------------------------------

Error errnoToNetOpenError(std::uint16_t err) noexcept {
  switch (err) {
    case EACCES: return Error::PermissionDenied;
    case EAFNOSUPPORT: return Error::AddressFamilyUnsupported;
    case EMFILE: return Error::ProcessFdQuotaExceeded;
    case ENFILE: return Error::SystemFdQuotaExceeded;
    case ENOBUFS:
    case ENOMEM: return Error::SystemResources;
    case EPROTONOSUPPORT: return Error::ProtocolNotSupported;
    case ECANCELED: return Error::Canceled;
    default: return Error::Unexpected;
  }
}

Error errnoToBindError(std::uint16_t err) noexcept {
  switch (err) {
    case EPERM:
    case EACCES: return Error::AccessDenied;
    case ENOENT: return Error::FileNotFound;
    case EIO: return Error::InputOutput;
    case EAGAIN:
    case ENOMEM: return Error::SystemResources;
    case ENOTDIR: return Error::NotDir;
    case EROFS: return Error::ReadOnlyFileSystem;
    case ENAMETOOLONG: return Error::NameTooLong;
    case ELOOP: return Error::SymLinkLoop;
    case ENOTSOCK: return Error::FileDescriptorNotASocket;
    case EAFNOSUPPORT: return Error::AddressFamilyUnsupported;
    case EADDRINUSE: return Error::AddressInUse;
    case EADDRNOTAVAIL: return Error::AddressUnavailable;
    case ENETDOWN: return Error::NetworkDown;
    default: return Error::Unexpected;
  }
}

Error errnoToListenError(std::uint16_t err) noexcept {
  switch (err) {
    case ENOTSOCK: return Error::FileDescriptorNotASocket;
    case EOPNOTSUPP: return Error::OperationNotSupported;
    case EADDRINUSE: return Error::AddressInUse;
    case ENETDOWN: return Error::NetworkDown;
    default: return Error::Unexpected;
  }
}

Error sendNow(int fd, const void* data, std::size_t len, std::size_t* sent, int* os_errno) noexcept {
  ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
  *os_errno = n >= 0 ? 0 : errno;
  if (n >= 0) {
    *sent = static_cast<std::size_t>(n);
    return Error::none;
  }
  *sent = 0;
  if (*os_errno == EAGAIN || *os_errno == EWOULDBLOCK || *os_errno == EINTR) return Error::WouldBlock;
  return errnoToSendError(static_cast<std::uint16_t>(*os_errno));
}

}  // namespace vorn::os
