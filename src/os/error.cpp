#include "os/error.hpp"

#include <array>

namespace vorn {

namespace {

constexpr std::array<std::string_view, error_count + 1> names = {"none",
#define VORN_ERROR_NAME(name) #name,
                                                                 VORN_ERRORS(VORN_ERROR_NAME)
#undef VORN_ERROR_NAME
};

}  // namespace

std::string_view errorName(Error err) noexcept {
  auto index = static_cast<std::uint16_t>(err);
  return index < names.size() ? names[index] : std::string_view{"Unknown"};
}

}  // namespace vorn
