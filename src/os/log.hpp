// Log lines and fatal exits for failures that cannot be returned to a caller.
//
// A line is the level word "error", the scope "(vorn)", ": " and the message,
// e.g. "error(vorn): No thread pool available for file operation". Colour
// escapes surround the level word only when standard error is a terminal;
// NO_COLOR (non-empty) turns them off and wins over CLICOLOR_FORCE (non-empty,
// not "0"), which otherwise turns them on even when not a terminal.
//
// Every function here may be called from any thread: a line is formatted on
// the stack and written with one write(2), so lines from different threads do
// not interleave. Nothing allocates.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "os/error.hpp"

namespace vorn::log {

// The colour decision, from its three inputs (null for an unset variable).
bool useColor(bool is_terminal, const char* no_color, const char* clicolor_force) noexcept;

// The colour decision for standard error, reading the environment now.
bool stderrUsesColor() noexcept;

// Formats one line, newline included, into out (truncated to fit); returns its
// length. When err is not none, "error." and its name follow the message, as
// in "Failed to spawn thread: error.SystemResources".
std::size_t formatLine(std::span<char> out, bool color, std::string_view message, Error err = Error::none) noexcept;

// Writes one error line to standard error.
void logError(std::string_view message, Error err = Error::none) noexcept;

// Writes the message (and "error.<name>" when err is set) to standard error
// and aborts the process.
[[noreturn]] void fatal(std::string_view message, Error err = Error::none) noexcept;

// Writes the message followed by "." and the errno's symbolic name without its
// leading E (as in "eventfd_write: write failed: .BADF") and aborts.
[[noreturn]] void fatalErrno(std::string_view message, int errnum) noexcept;

}  // namespace vorn::log
