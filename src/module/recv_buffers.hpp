// The receive buffers of stream transports with plain protocols.
//
// Each is transport_recv_buf_size bytes, page-aligned, carved from large
// anonymous mappings. A page of one becomes resident only when the kernel
// writes a receive into it, so an idle connection whose buffer was never
// written costs no memory for it, and the pages a large receive filled can be
// given back while the connection idles (recvBufferRelease). Buffers are
// reused, most recently freed first; the mappings are never unmapped.
//
// Once a burst of connections has come and gone and the pool has been quiet
// for a while, recvBuffersIdle gives back the warm buffers' pages and the C
// allocator's free memory.
//
// Thread rules: one pool for the process, shared by the loops of every
// thread; `lock` in the .cpp guards its lists and counters. Release touches
// no pool state and needs no lock.
#pragma once

#include <cstddef>
#include <cstdint>

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
// Called by a loop before each waiting tick (any loop's thread), with its
// monotonic clock in ns; costs one atomic load unless a trim may be due.
// Once many buffers were returned and then none was taken or returned for a
// second, makes the warm buffers non-resident and trims the C heap: what
// the connections of a passed burst freed (their objects, the TLS layer's
// buffers) otherwise stays resident in the allocator's arenas, since a burst
// rarely frees the top of the heap. True while such a trim is due: the
// caller then wakes again within a fraction of a second rather than
// sleeping through the quiet second.
bool recvBuffersIdle(std::uint64_t now_ns) noexcept;

}  // namespace ombrel
