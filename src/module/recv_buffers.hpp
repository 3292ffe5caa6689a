// The receive buffers of stream transports with plain protocols.
//
// Each is transport_recv_buf_size bytes, page-aligned, carved from large
// anonymous mappings. A page of one becomes resident only when the kernel
// writes a receive into it, so an idle connection whose buffer was never
// written costs no memory for it, and the pages a large receive filled can be
// given back while the connection idles (recvBufferRelease). Buffers are
// reused, most recently freed first; the mappings are never unmapped.
//
// Thread rules: one pool for the process, shared by the loops of every
// thread; `lock` in the .cpp guards its lists. Release touches no pool state
// and needs no lock.
#pragma once

#include <cstddef>

namespace ombrel {

// A buffer; `*dirty` says how many of its first bytes may be resident (as
// its last recvBufferPut said). Null when the kernel refuses memory.
std::byte* recvBufferTake(std::size_t* dirty) noexcept;
// Returns a buffer. `dirty`: how many of its first bytes may be resident
// (0 when none was written since it was taken or last released).
void recvBufferPut(std::byte* buf, std::size_t dirty) noexcept;
// Makes the first `dirty` bytes of a buffer non-resident again. Only while
// no receive into it is in flight: a kernel worker may copy into the buffer
// at any moment while one is.
void recvBufferRelease(std::byte* buf, std::size_t dirty) noexcept;

}  // namespace ombrel
