#include "ev/send_file.hpp"

#include <cerrno>

#include "ev/loop.hpp"
#include "os/assert.hpp"

namespace vorn::ev {

namespace {

constexpr std::size_t split_threshold = 65536;

void netSendFileAdvance(Loop* loop, NetSendFile* sf) noexcept;

// A failure's number is already in sf->c.os_errno (set with pending_err).
void netSendFileFinish(Loop* loop, NetSendFile* sf, std::optional<Error> err) noexcept {
  if (err) {
    sf->c.setError(*err);
  } else {
    sf->result_private_do_not_touch = sf->internal.total;
    sf->c.has_result = true;
  }
  loop->state.markCompleted(&sf->c);
}

void netSendFileOnRead(Loop* loop, Completion* c) noexcept;
void netSendFileOnSend(Loop* loop, Completion* c) noexcept;

void armSend(Loop* loop, NetSendFile* sf) noexcept {
  Fallback& fb = sf->internal;
  fb.send.init(sf->handle, WriteBuf{std::span<const iovec>(&fb.send_iov, 1)}, SendFlags{true, 0});
  fb.send.c.callback = netSendFileOnSend;
  fb.send.c.userdata = sf;
  loop->add(&fb.send.c);
}

void netSendFileStartSend(Loop* loop, NetSendFile* sf, std::uint8_t j) noexcept {
  Fallback& fb = sf->internal;
  fb.sending = j;
  fb.send_iov = iovec{fb.bufs[j].data(), fb.filled[j]};
  armSend(loop, sf);
}

void netSendFileStartRead(Loop* loop, NetSendFile* sf, std::uint8_t i) noexcept {
  Fallback& fb = sf->internal;
  fb.reading = i;
  if (!fb.bufs[1].empty()) fb.next_read ^= 1;
  fb.read_iov = iovec{fb.bufs[i].data(), std::min(fb.bufs[i].size(), fb.read_remaining)};
  fb.read.init(sf->file, ReadBuf{std::span<iovec>(&fb.read_iov, 1)}, sf->offset);
  fb.read.c.callback = netSendFileOnRead;
  fb.read.c.userdata = sf;
  loop->add(&fb.read.c);
}

void cancelChildren(Loop* loop, NetSendFile* sf) noexcept {
  Fallback& fb = sf->internal;
  if (fb.reading) loop->cancel(&fb.read.c);
  if (fb.sending) loop->cancel(&fb.send.c);
}

void netSendFileAdvance(Loop* loop, NetSendFile* sf) noexcept {
  Fallback& fb = sf->internal;
  if ((sf->c.cancel_state.load(std::memory_order_acquire) & CancelState::requested) != 0 && !fb.pending_err) {
    fb.pending_err = Error::Canceled;
  }
  if (fb.pending_err) {
    cancelChildren(loop, sf);
    if (fb.reading || fb.sending) return;  // its completion comes back here
    netSendFileFinish(loop, sf, fb.pending_err);
    return;
  }
  std::uint8_t j = fb.next_send;
  if (!fb.sending && fb.filled[j] > 0) {
    fb.sent[j] = 0;
    netSendFileStartSend(loop, sf, j);
  }
  if (!fb.eof && !fb.reading && fb.read_remaining > 0) {
    std::uint8_t i = fb.next_read;
    if (fb.filled[i] == 0 && fb.sending != i) netSendFileStartRead(loop, sf, i);
  }
  if (!fb.reading && !fb.sending && fb.filled[0] == 0 && fb.filled[1] == 0 && (fb.eof || fb.read_remaining == 0)) {
    netSendFileFinish(loop, sf, std::nullopt);
  }
}

void netSendFileOnRead(Loop* loop, Completion* c) noexcept {
  auto* sf = static_cast<NetSendFile*>(c->userdata);
  Fallback& fb = sf->internal;
  VORN_ASSERT(fb.reading.has_value());
  std::uint8_t i = *fb.reading;
  fb.reading.reset();
  auto r = fb.read.getResult();
  if (!r) {
    fb.eof = true;
    if (!fb.pending_err) {
      fb.pending_err = r.error();
      sf->c.os_errno = fb.read.c.os_errno;  // the first failure's number, for setError at the finish
    }
  } else if (*r > 0) {
    fb.filled[i] = *r;
    fb.read_remaining -= *r;
    sf->offset += *r;
  } else {
    fb.eof = true;
  }
  netSendFileAdvance(loop, sf);
}

void netSendFileOnSend(Loop* loop, Completion* c) noexcept {
  auto* sf = static_cast<NetSendFile*>(c->userdata);
  Fallback& fb = sf->internal;
  VORN_ASSERT(fb.sending.has_value());
  std::uint8_t i = *fb.sending;
  auto r = fb.send.getResult();
  if (!r) {
    fb.sending.reset();
    if (!fb.pending_err) {
      fb.pending_err = r.error();
      sf->c.os_errno = fb.send.c.os_errno;
    }
    netSendFileAdvance(loop, sf);
    return;
  }
  fb.sent[i] += *r;
  fb.total += *r;
  bool winding_down =
      fb.pending_err || (sf->c.cancel_state.load(std::memory_order_acquire) & CancelState::requested) != 0;
  if (fb.sent[i] < fb.filled[i] && !winding_down) {
    if (*r == 0) {
      // No progress on a stream socket with bytes offered: resending would
      // spin forever. Treat the peer as gone.
      fb.sending.reset();
      fb.pending_err = Error::BrokenPipe;
      sf->c.os_errno = EPIPE;
    } else {
      // The rest of this buffer goes before anything else, so the socket
      // sees the file's bytes in order.
      fb.send_iov = iovec{fb.bufs[i].data() + fb.sent[i], fb.filled[i] - fb.sent[i]};
      armSend(loop, sf);
      return;
    }
  } else {
    fb.sending.reset();
    if (fb.sent[i] >= fb.filled[i]) {
      fb.filled[i] = 0;
      if (!fb.bufs[1].empty()) fb.next_send ^= 1;
    }
  }
  netSendFileAdvance(loop, sf);
}

}  // namespace

SendfileStrategy chooseSendfileStrategy(std::size_t max, std::size_t min) noexcept {
  if (max >= split_threshold && min < max / 2) return SendfileStrategy::split;
  return min == 0 ? SendfileStrategy::single : SendfileStrategy::both;
}

void sendfileLayout(Fallback& fb, std::span<std::uint8_t> const (&bufs)[2]) noexcept {
  int larger = bufs[1].size() > bufs[0].size() ? 1 : 0;
  std::span<std::uint8_t> big = bufs[larger];
  std::size_t max = big.size();
  std::size_t min = bufs[1 - larger].size();
  switch (chooseSendfileStrategy(max, min)) {
    case SendfileStrategy::both:
      fb.bufs[0] = bufs[0];
      fb.bufs[1] = bufs[1];
      break;
    case SendfileStrategy::split:
      fb.bufs[0] = big.first(max / 2);
      fb.bufs[1] = big.subspan(max / 2);
      break;
    case SendfileStrategy::single:
      fb.bufs[0] = big;
      fb.bufs[1] = {};
      break;
  }
}

void netSendFileStart(Loop* loop, Completion* c) noexcept {
  auto* sf = containerOf<NetSendFile>(c);
  Fallback& fb = sf->internal;
  fb.filled[0] = fb.filled[1] = 0;
  fb.sent[0] = fb.sent[1] = 0;
  fb.total = 0;
  fb.read_iov = fb.send_iov = iovec{nullptr, 0};
  fb.pending_err.reset();
  fb.next_read = fb.next_send = 0;
  fb.reading.reset();
  fb.sending.reset();
  fb.eof = false;
  fb.read_remaining = sf->remaining;
  sendfileLayout(fb, sf->bufs);
  netSendFileAdvance(loop, sf);
}

void netSendFileCancel(Loop* loop, Completion* c) noexcept { cancelChildren(loop, containerOf<NetSendFile>(c)); }

}  // namespace vorn::ev
