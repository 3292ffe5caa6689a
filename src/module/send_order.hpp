// The order of sendall records per descriptor: each descriptor's records
// wait in call order, only the first of them on the ring. Two sends on a
// stream socket at once would interleave their bytes, and a send made
// directly (the kernel taking the bytes at once) is tried only while the
// line is empty, so that it never overtakes bytes still in flight, a
// cancelled send's included.
//
// Ownership: the lines link records they do not own (each record embeds its
// SendTurn and leaves its line before it is freed). One per runtime; its
// loop's thread, interpreter lock held.
#pragma once

#include <cstdint>
#include <unordered_map>

namespace ombrel {

// A sendall record's place in its descriptor's line (embedded in the record).
struct SendTurn {
  SendTurn* next;
};

struct SendOrder {
  struct Line {
    SendTurn* head;  // on the ring (or about to be)
    SendTurn* tail;
  };
  // An entry exists only while its line is non-empty.
  std::unordered_map<std::int32_t, Line> lines;

  // Puts t at the end of fd's line; *first tells whether it heads the line
  // (its caller starts it now). False when memory ran out (nothing queued).
  bool enqueue(std::int32_t fd, SendTurn* t, bool* first) noexcept;
  // The head of fd's line is done and leaves it: the new head, or null. A
  // line ends with its last record, so a socket opened later on the same
  // number starts with none.
  SendTurn* dequeue(std::int32_t fd) noexcept;
  bool sending(std::int32_t fd) const noexcept { return !lines.empty() && lines.contains(fd); }
  // Loop close: the records still in line are not started any more.
  void clear() noexcept { lines.clear(); }
};

}  // namespace ombrel
