// Log-line format and the colour rules (NO_COLOR wins over CLICOLOR_FORCE).
#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "os/log.hpp"

using vorn::Error;
using vorn::log::formatLine;
using vorn::log::useColor;

TEST(LogColor, Rules) {
  // Terminal alone decides when neither variable is set.
  EXPECT_TRUE(useColor(true, nullptr, nullptr));
  EXPECT_FALSE(useColor(false, nullptr, nullptr));
  // NO_COLOR turns colour off even on a terminal and even when forced.
  EXPECT_FALSE(useColor(true, "1", nullptr));
  EXPECT_FALSE(useColor(false, "1", "1"));
  EXPECT_FALSE(useColor(true, "yes", "1"));
  // CLICOLOR_FORCE turns it on away from a terminal; "0" does not force.
  EXPECT_TRUE(useColor(false, nullptr, "1"));
  EXPECT_FALSE(useColor(false, nullptr, "0"));
  // Empty values count as unset.
  EXPECT_TRUE(useColor(true, "", nullptr));
  EXPECT_FALSE(useColor(false, nullptr, ""));
  EXPECT_TRUE(useColor(false, "", "1"));
}

TEST(LogColor, EnvironmentIsReadAtEachCall) {
  // Standard error of a test run is not a terminal.
  ::unsetenv("NO_COLOR");
  ::setenv("CLICOLOR_FORCE", "1", 1);
  EXPECT_TRUE(vorn::log::stderrUsesColor());
  ::setenv("NO_COLOR", "1", 1);
  EXPECT_FALSE(vorn::log::stderrUsesColor());
  ::unsetenv("NO_COLOR");
  ::unsetenv("CLICOLOR_FORCE");
}

static std::string line(bool color, std::string_view msg, Error err = Error::none) {
  char buf[256];
  return std::string(buf, formatLine(buf, color, msg, err));
}

TEST(LogLine, Format) {
  EXPECT_EQ(line(false, "No thread pool available for file operation"),
            "error(vorn): No thread pool available for file operation\n");
  EXPECT_EQ(line(false, "Failed to spawn thread: ", Error::SystemResources),
            "error(vorn): Failed to spawn thread: error.SystemResources\n");
  // Colour wraps the level word only; the rest of the line is unchanged.
  auto colored = line(true, "x");
  EXPECT_EQ(colored.find("\x1b["), 0u);
  EXPECT_NE(colored.find("error\x1b[0m(vorn): x\n"), std::string::npos);
}

TEST(LogLine, TruncatesButKeepsTheNewline) {
  char buf[16];
  std::string long_msg(100, 'a');
  auto n = formatLine(buf, false, long_msg);
  ASSERT_EQ(n, sizeof buf);
  EXPECT_EQ(buf[n - 1], '\n');
  EXPECT_EQ(std::string(buf, 13), "error(vorn): ");
}

TEST(LogFatal, EndsTheProcessWithTheMessage) {
  EXPECT_DEATH(vorn::log::fatal("timers cannot use CPU-time clocks"), "timers cannot use CPU-time clocks");
  EXPECT_DEATH(vorn::log::fatal("eventfd_write: write failed: ", Error::Unexpected),
               "eventfd_write: write failed: error.Unexpected");
  EXPECT_DEATH(vorn::log::fatalErrno("eventfd_write: write failed: ", EBADF), "eventfd_write: write failed: \\.BADF");
  EXPECT_DEATH(vorn::log::fatalErrno("now: call to clock_gettime failed: ", EINVAL),
               "now: call to clock_gettime failed: \\.INVAL");
}
