// The stand-ins portable wheels carry for newer C library functions, checked
// against the C library's own where this one has them.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "portable/glibc_compat.hpp"

extern "C" unsigned long __isoc23_strtoul(const char* s, char** end, int base);

namespace {

// The test binary links the stand-ins (hidden), so the C library's own are
// reached by versioned lookup; null where this C library lacks them.
template <typename Fn>
Fn cLibrary(const char* name, const char* version) {
  return reinterpret_cast<Fn>(dlvsym(RTLD_DEFAULT, name, version));
}

TEST(GlibcCompat, StrtoulReadsC23BinaryPrefixesLikeTheCLibrary) {
  using Strtoul = unsigned long (*)(const char*, char**, int);
  const auto real = cLibrary<Strtoul>("__isoc23_strtoul", "GLIBC_2.38");
  struct Case {
    const char* text;
    int base;
    unsigned long value;
    std::size_t used;
    bool range;
  };
  const Case cases[] = {
      {" 0b101x", 0, 5, 6, false},
      {"0B11", 2, 3, 4, false},
      {"101", 2, 5, 3, false},
      {"0x1f", 0, 31, 4, false},
      {"-0b1", 0, ULONG_MAX, 4, false},
      {"0b", 0, 0, 1, false},
      {"0b2", 2, 0, 1, false},
      {"0b101", 10, 0, 1, false},
      {"+0b1", 16, 0xb1, 4, false},
      {"0b1111111111111111111111111111111111111111111111111111111111111111111", 0, ULONG_MAX, 69, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    char* end = nullptr;
    errno = 0;
    EXPECT_EQ(__isoc23_strtoul(c.text, &end, c.base), c.value);
    EXPECT_EQ(static_cast<std::size_t>(end - c.text), c.used);
    EXPECT_EQ(errno == ERANGE, c.range);
    if (real != nullptr) {
      char* real_end = nullptr;
      EXPECT_EQ(real(c.text, &real_end, c.base), c.value);
      EXPECT_EQ(real_end, end);
    }
  }
}

// The unwinder finds a frame's tables through this on C libraries before
// 2.35 (RHEL 9's 2.34 among them): its answer must be the C library's.
TEST(GlibcCompat, ObjectLookupFromProgramHeadersMatchesTheCLibrary) {
  using Find = int (*)(void*, dl_find_object*);
  const auto real = cLibrary<Find>("_dl_find_object", "GLIBC_2.35");
  void* in_libc = dlsym(RTLD_DEFAULT, "getpid");
  void* in_test = reinterpret_cast<void*>(&cLibrary<Find>);
  for (void* pc : {in_libc, in_test}) {
    dl_find_object ours{}, theirs{};
    ASSERT_EQ(vorn::portable::findObjectFromProgramHeaders(pc, &ours), 0);
    EXPECT_NE(ours.dlfo_eh_frame, nullptr);
    EXPECT_LE(ours.dlfo_map_start, pc);
    EXPECT_GT(ours.dlfo_map_end, pc);
    if (real != nullptr) {
      ASSERT_EQ(real(pc, &theirs), 0);
      EXPECT_EQ(ours.dlfo_eh_frame, theirs.dlfo_eh_frame);
      EXPECT_EQ(ours.dlfo_map_end, theirs.dlfo_map_end);
    }
  }
  dl_find_object none{};
  EXPECT_EQ(vorn::portable::findObjectFromProgramHeaders(reinterpret_cast<void*>(16), &none), -1);
}

}  // namespace
