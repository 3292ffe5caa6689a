// Socket sendfile carried out by the loop itself: file reads into caller
// buffers and socket sends out of them, with up to one read and one send in
// flight on two working buffers, so the file is read while the previous
// piece is being sent. The backend never sees the parent record.
//
// Life cycle: Loop::add marks the parent running and calls netSendFileStart;
// every child completion advances the pipeline; netSendFileFinish completes
// the parent exactly once, never while a child is in flight. Cancelling the
// parent cancels the children in flight and completes it with Canceled once
// both are back.
// Thread rules: owning loop thread only (the start runs inside add, the rest
// inside the children's callbacks). No allocation: the children are embedded.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "ev/completion.hpp"
#include "ev/ops.hpp"

namespace vorn::ev {

struct Loop;

enum class SendfileStrategy : std::uint8_t { both = 0, split = 1, single = 2 };

// Pipeline state of one sendfile.
struct Fallback {
  FileRead read;                    // the read child
  NetSend send;                     // the send child
  std::span<std::uint8_t> bufs[2];  // working buffers chosen by the layout
  // Bytes read into each working buffer and not yet completely sent (0: free).
  std::size_t filled[2];
  std::size_t sent[2];  // bytes of each buffer's current contents already sent
  std::size_t read_remaining;
  std::size_t total;  // bytes sent so far
  iovec read_iov;
  iovec send_iov;
  std::optional<Error> pending_err;  // the first error; once set the pipeline winds down
  std::uint8_t next_read;
  std::uint8_t next_send;
  std::optional<std::uint8_t> reading;  // buffer the read in flight fills
  std::optional<std::uint8_t> sending;  // buffer the send in flight empties
  bool eof;                             // the file ended or a read failed: no further read
};

struct NetSendFile {
  Completion c;
  std::size_t result_private_do_not_touch;  // bytes sent, on success
  std::uint64_t offset;                     // file offset of the next read
  std::size_t remaining;                    // bytes to send; SIZE_MAX: until the end of the file
  std::span<std::uint8_t> bufs[2];          // caller's buffer space, either may be empty
  Fallback internal;
  fd_t handle;  // the socket
  fd_t file;

  void init(fd_t sock, fd_t file_fd, std::uint64_t off, std::size_t count, std::span<std::uint8_t> buf0,
            std::span<std::uint8_t> buf1) noexcept {
    c.init(Op::net_send_file);
    result_private_do_not_touch = 0;
    offset = off;
    remaining = count;
    bufs[0] = buf0;
    bufs[1] = buf1;
    handle = sock;
    file = file_fd;
  }
  OpResult<std::size_t> getResult() const noexcept { return detail::resultOf(c, result_private_do_not_touch); }
};

// The strategy for caller buffers of lengths max >= min.
SendfileStrategy chooseSendfileStrategy(std::size_t max, std::size_t min) noexcept;
// Sets the working buffers of `fb` from the caller's buffers.
void sendfileLayout(Fallback& fb, std::span<std::uint8_t> const (&bufs)[2]) noexcept;

// Starts the pipeline of a net_send_file record (already running and
// counted active). Owning thread.
void netSendFileStart(Loop* loop, Completion* c) noexcept;
// Cancels the children in flight; the parent completes once both are back.
void netSendFileCancel(Loop* loop, Completion* c) noexcept;

}  // namespace vorn::ev
