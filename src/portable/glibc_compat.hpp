// The piece of glibc_compat.cpp that a build on a newer C library cannot
// reach through the C library's names (its own functions win there), named
// so that it can be tested against the C library's answer. Any thread.
#pragma once

#include <dlfcn.h>

namespace vorn::portable {

// _dl_find_object's answer for the loaded object holding pc, found through
// dl_iterate_phdr: 0 and *result filled (bounds, eh_frame; the link map
// left null), or -1 when no loaded object holds pc.
int findObjectFromProgramHeaders(void* pc, dl_find_object* result) noexcept;

}  // namespace vorn::portable
