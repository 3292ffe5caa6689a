// Process layer of src/os: error-number mapping for child waits. Pure
// switch: any thread.
#pragma once

#include <cstdint>

#include "os/error.hpp"

namespace vorn::os {

// waitid(2) on a child (ECHILD: not our child).
Error errnoToProcessWaitError(std::uint16_t err) noexcept;

}  // namespace vorn::os
