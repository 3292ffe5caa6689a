// Linked only into portable wheels (OMBREL_SYSROOT): the compiler's static
// libstdc++ and unwinder were built against a newer C library than the one
// the wheel targets and call three of its newer functions. Defining them
// here, hidden, binds those calls inside the extension, so the wheel needs
// nothing newer from the system's C library. Each behaves as the C
// library's does; none is exported. Any thread.
#include <dlfcn.h>
#include <errno.h>
#include <link.h>
#include <sys/random.h>

#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdlib>

#include "portable/glibc_compat.hpp"

#define OMBREL_HIDDEN __attribute__((visibility("hidden")))

namespace vorn::portable {

namespace {

struct FindObject {
  std::uintptr_t pc;
  dl_find_object* result;
  bool found;
};

int findObjectIn(dl_phdr_info* info, std::size_t, void* data) {
  auto* f = static_cast<FindObject*>(data);
  std::uintptr_t lo = UINTPTR_MAX, hi = 0;
  const void* eh_frame = nullptr;
  bool contains = false;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr) & ph = info->dlpi_phdr[i];
    const std::uintptr_t start = info->dlpi_addr + ph.p_vaddr;
    if (ph.p_type == PT_LOAD) {
      if (start < lo) lo = start;
      if (start + ph.p_memsz > hi) hi = start + ph.p_memsz;
      if (f->pc >= start && f->pc < start + ph.p_memsz) contains = true;
    } else if (ph.p_type == PT_GNU_EH_FRAME) {
      eh_frame = reinterpret_cast<const void*>(start);
    }
  }
  if (!contains) return 0;
  *f->result = {};
  f->result->dlfo_map_start = reinterpret_cast<void*>(lo);
  f->result->dlfo_map_end = reinterpret_cast<void*>(hi);
  f->result->dlfo_eh_frame = const_cast<void*>(eh_frame);
  f->found = true;
  return 1;
}

}  // namespace

int findObjectFromProgramHeaders(void* pc, dl_find_object* result) noexcept {
  FindObject f{reinterpret_cast<std::uintptr_t>(pc), result, false};
  dl_iterate_phdr(findObjectIn, &f);
  return f.found ? 0 : -1;
}

}  // namespace vorn::portable

extern "C" {

// The C library's strtoul by its symbol name: newer headers turn a call to
// strtoul into one to __isoc23_strtoul, which here would be a call to itself.
unsigned long ombrelPlainStrtoul(const char* s, char** end, int base) __asm__("strtoul");

// C23's strtoul (glibc 2.38): also reads a 0b/0B prefix when base is 0 or 2.
// libstdc++ parses its tunables with it.
OMBREL_HIDDEN unsigned long __isoc23_strtoul(const char* s, char** end, int base) {
  const char* p = s;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  const bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  if ((base == 0 || base == 2) && p[0] == '0' && (p[1] == 'b' || p[1] == 'B') && (p[2] == '0' || p[2] == '1')) {
    const int saved = errno;
    errno = 0;
    unsigned long v = ombrelPlainStrtoul(p + 2, end, 2);
    if (errno == ERANGE) return ULONG_MAX;
    errno = saved;
    return negative ? -v : v;
  }
  return ombrelPlainStrtoul(s, end, base);
}

// arc4random (glibc 2.36), for std::random_device: the kernel's generator,
// which is what glibc's uses. It cannot fail; a kernel without getrandom
// (before 3.17) cannot run the engine either.
OMBREL_HIDDEN std::uint32_t arc4random() {
  const int saved = errno;
  std::uint32_t v = 0;
  for (;;) {
    ssize_t n = getrandom(&v, sizeof v, 0);
    if (n == static_cast<ssize_t>(sizeof v)) break;
    if (n < 0 && errno != EINTR) std::abort();
  }
  errno = saved;
  return v;
}

// _dl_find_object (glibc 2.35), which the unwinder uses to find a frame's
// unwind tables: the C library's own where it has one, else the same answer
// from dl_iterate_phdr (the unwinder reads only the bounds and eh_frame).
OMBREL_HIDDEN int _dl_find_object(void* pc, dl_find_object* result) {
  using Real = int (*)(void*, dl_find_object*);
  // Our own definition is hidden, so the lookup finds only the C library's.
  static const Real real = reinterpret_cast<Real>(dlvsym(RTLD_DEFAULT, "_dl_find_object", "GLIBC_2.35"));
  if (real != nullptr) return real(pc, result);
  return vorn::portable::findObjectFromProgramHeaders(pc, result);
}

}  // extern "C"
