// Error-number mapping: the asymmetries between families are deliberate and
// reach Python as different exception types, so each one is pinned here.
#include <cerrno>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "os/error.hpp"
#include "os/fs.hpp"
#include "os/net.hpp"

using vorn::Error;
using namespace vorn::os;

TEST(ErrorSet, NamesAreUniqueAndRoundTrip) {
  std::set<std::string> seen;
  for (std::uint16_t i = 1; i <= vorn::error_count; ++i) {
    auto name = std::string(vorn::errorName(static_cast<Error>(i)));
    EXPECT_NE(name, "Unknown") << i;
    EXPECT_TRUE(seen.insert(name).second) << name;
  }
  EXPECT_EQ(seen.size(), 68u);  // 63 of the ring and its OS layer + 5 of loop and pool.
  EXPECT_EQ(vorn::errorName(Error::none), "none");
  EXPECT_EQ(vorn::errorName(Error::Canceled), "Canceled");
  EXPECT_EQ(vorn::errorName(Error::BadPathName), "BadPathName");
  EXPECT_EQ(vorn::errorName(static_cast<Error>(vorn::error_count + 1)), "Unknown");
  static_assert(sizeof(Error) == 2);
}

TEST(ErrnoMapping, SameErrnoDiffersByFamily) {
  EXPECT_EQ(errnoToSendError(ENETDOWN), Error::NetworkUnreachable);
  EXPECT_EQ(errnoToRecvError(ENETDOWN), Error::NetworkDown);
  EXPECT_EQ(errnoToSendError(ENETUNREACH), Error::Unexpected);
  EXPECT_EQ(errnoToConnectError(ENETUNREACH), Error::NetworkUnreachable);

  EXPECT_EQ(errnoToShutdownError(ENOTCONN), Error::SocketUnconnected);
  EXPECT_EQ(errnoToSendError(ENOTCONN), Error::SocketNotConnected);
  EXPECT_EQ(errnoToRecvError(ENOTCONN), Error::SocketNotConnected);

  EXPECT_EQ(errnoToConnectError(ETIMEDOUT), Error::Timeout);
  EXPECT_EQ(errnoToSendError(ETIMEDOUT), Error::ConnectionTimedOut);
  EXPECT_EQ(errnoToRecvError(ETIMEDOUT), Error::ConnectionTimedOut);

  EXPECT_EQ(errnoToRecvError(EMSGSIZE), Error::MessageOversize);
  EXPECT_EQ(errnoToSendError(EMSGSIZE), Error::MessageTooBig);

  EXPECT_EQ(errnoToFileReadError(EBADF), Error::NotOpenForReading);
  EXPECT_EQ(errnoToFileWriteError(EBADF), Error::NotOpenForWriting);
  EXPECT_EQ(errnoToFileStatError(EBADF), Error::InvalidFileDescriptor);
  EXPECT_EQ(errnoToAcceptError(EINVAL), Error::SocketNotListening);
}

TEST(ErrnoMapping, PermissionErrors) {
  EXPECT_EQ(errnoToDirDeleteFileError(EPERM), Error::AccessDenied);
  EXPECT_EQ(errnoToDirDeleteDirError(EPERM), Error::AccessDenied);
  EXPECT_EQ(errnoToDirRenameError(EPERM), Error::PermissionDenied);
  EXPECT_EQ(errnoToDirCreateDirError(EPERM), Error::PermissionDenied);
  EXPECT_EQ(errnoToFileOpenError(EPERM, true, false), Error::PermissionDenied);
  EXPECT_EQ(errnoToHardLinkError(EPERM), Error::PermissionDenied);
  EXPECT_EQ(errnoToAcceptError(EPERM), Error::BlockedByFirewall);
  EXPECT_EQ(errnoToConnectError(EPERM), Error::AccessDenied);
  EXPECT_EQ(errnoToFileSetSizeError(EPERM), Error::PermissionDenied);
  EXPECT_EQ(errnoToFileSyncError(EROFS), Error::AccessDenied);
  EXPECT_EQ(errnoToDirCreateDirError(EROFS), Error::ReadOnlyFileSystem);
}

TEST(ErrnoMapping, OpenFlagsChangeTheAnswer) {
  // EXDEV is an escape from RESOLVE_BENEATH only when that was asked for.
  EXPECT_EQ(errnoToFileOpenError(EXDEV, true, true), Error::AccessDenied);
  EXPECT_EQ(errnoToFileOpenError(EXDEV, true, false), Error::Unexpected);
  EXPECT_EQ(errnoToFileOpenError(EXDEV, true), Error::AccessDenied);
  EXPECT_EQ(errnoToFileOpenError(EXDEV, false), Error::Unexpected);
  EXPECT_EQ(errnoToDirOpenError(EXDEV, true), Error::AccessDenied);
  EXPECT_EQ(errnoToDirOpenError(EXDEV, false), Error::Unexpected);
  EXPECT_EQ(errnoToDirRenameError(EXDEV), Error::CrossDevice);
  EXPECT_EQ(errnoToHardLinkError(EXDEV), Error::CrossDevice);

  // EMLINK means "refused to follow a link" only when following was off.
  EXPECT_EQ(errnoToFileOpenError(EMLINK, false, false), Error::SymLinkLoop);
  EXPECT_EQ(errnoToFileOpenError(EMLINK, true, false), Error::Unexpected);
  EXPECT_EQ(errnoToFileOpenError(EMLINK, false), Error::Unexpected);
  EXPECT_EQ(errnoToFileOpenError(ENOENT, false), Error::FileNotFound);
}

TEST(ErrnoMapping, DeleteDirDiffersFromDeleteFile) {
  EXPECT_EQ(errnoToDirDeleteFileError(EISDIR), Error::IsDir);
  EXPECT_EQ(errnoToDirDeleteDirError(EISDIR), Error::Unexpected);
  EXPECT_EQ(errnoToDirDeleteDirError(ENOTEMPTY), Error::DirNotEmpty);
  EXPECT_EQ(errnoToDirDeleteFileError(ENOTEMPTY), Error::Unexpected);
  EXPECT_EQ(errnoToDirDeleteDirError(EBUSY), Error::FileBusy);
}

TEST(ErrnoMapping, CanceledEverywhereAndNeverNone) {
  using Plain = Error (*)(std::uint16_t) noexcept;
  const Plain plain[] = {
      errnoToRecvError,          errnoToSendError,         errnoToAcceptError,       errnoToConnectError,
      errnoToShutdownError,      errnoToFileReadError,     errnoToFileWriteError,    errnoToFileSyncError,
      errnoToFileSetSizeError,   errnoToFileStatError,     errnoToDirCreateDirError, errnoToDirRenameError,
      errnoToDirDeleteFileError, errnoToDirDeleteDirError, errnoToHardLinkError,
  };
  for (auto fn : plain) {
    EXPECT_EQ(fn(ECANCELED), Error::Canceled);
    for (std::uint16_t e = 0; e < 4096; ++e) EXPECT_NE(fn(e), Error::none) << e;
    EXPECT_EQ(fn(0), Error::Unexpected);
    EXPECT_EQ(fn(EHWPOISON), Error::Unexpected);
  }
  for (bool a : {false, true}) {
    EXPECT_EQ(errnoToDirOpenError(ECANCELED, a), Error::Canceled);
    EXPECT_EQ(errnoToFileOpenError(ECANCELED, a), Error::Canceled);
    for (bool b : {false, true}) EXPECT_EQ(errnoToFileOpenError(ECANCELED, a, b), Error::Canceled);
    for (std::uint16_t e = 0; e < 4096; ++e) {
      EXPECT_NE(errnoToDirOpenError(e, a), Error::none);
      EXPECT_NE(errnoToFileOpenError(e, a), Error::none);
    }
  }
}
