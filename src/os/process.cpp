#include "os/process.hpp"

#include <cerrno>

namespace vorn::os {

Error errnoToProcessWaitError(std::uint16_t err) noexcept {
  switch (err) {
    case ECHILD: return Error::ProcessNotFound;
    case ECANCELED: return Error::Canceled;  // a cancelled wait is not a failure of the child
    default: return Error::Unexpected;
  }
}

}  // namespace vorn::os
