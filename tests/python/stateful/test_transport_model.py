"""The native stream transport driven by random sequences of write,
writelines, write_eof, water-mark changes, pause_reading/resume_reading,
close and abort, interleaved with loop iterations and a peer that reads,
writes and shuts down at random moments. A small model says what the peer
must receive and which protocol callbacks may run:

- the peer receives a prefix of the bytes written before the transport
  was aborted or had drained its graceful close (all of them after a
  graceful close or write_eof), in order, and an end of stream only after
  write_eof, close or abort;
- data_received delivers a prefix of what the peer sent, in order, and at
  most one more delivery after pause_reading;
- pause_writing runs only above the high-water mark, resume_writing only at
  or below the low one, alternately, and a drained graceful close leaves the
  protocol resumed;
- connection_lost runs exactly once, with None, and only after the
  transport was closed, aborted or read an end of stream it did not keep;
- the loop's exception handler is never called.
"""

import asyncio
import socket

from hypothesis import given, strategies as st

from helpers import RecordingLoop

PATTERN = bytes(range(251)) * 1200  # about 300 KB; slices are the payloads


class Recorder(asyncio.Protocol):
    def __init__(self, eof_result):
        self.eof_result = eof_result
        self.received = bytearray()
        self.deliveries = 0
        self.flow = []  # ("pause" | "resume", buffer size, (low, high)) at each call
        self.eof_calls = 0
        self.lost = []

    def connection_made(self, transport):
        self.transport = transport

    def data_received(self, data):
        assert not self.lost, "data after connection_lost"
        self.received += data
        self.deliveries += 1

    def eof_received(self):
        self.eof_calls += 1
        return self.eof_result

    def pause_writing(self):
        self.flow.append(("pause", self.transport.get_write_buffer_size(), self.transport.get_write_buffer_limits()))

    def resume_writing(self):
        self.flow.append(("resume", self.transport.get_write_buffer_size(), self.transport.get_write_buffer_limits()))

    def connection_lost(self, exc):
        self.lost.append(exc)


class TransportModel:
    def __init__(self, eof_result, small_buffers):
        self.loop = RecordingLoop()
        a, b = socket.socketpair()
        if small_buffers:
            a.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)
            b.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        a.setblocking(False)
        b.setblocking(False)
        self.sock, self.peer = a, b
        self.proto = Recorder(eof_result)
        self.tr = self.loop._make_transport(a, self.proto, {}, None)
        self.proto.connection_made(self.tr)
        self.tr._start_reading()
        self.offset = 0  # position in PATTERN of the next payload
        self.expected = bytearray()  # every byte the transport accepted for sending
        self.peer_got = bytearray()
        self.peer_eof = False
        self.peer_sent = bytearray()
        self.peer_shut = False
        self.eof_written = False
        self.closed_by_us = False
        self.aborted = False
        self.paused = False
        self.deliveries_at_pause = 0
        self.low, self.high = 16384, 65536

    # ---- helpers --------------------------------------------------------

    def payload(self, n):
        if self.offset + n > len(PATTERN):
            self.offset = 0
        data = PATTERN[self.offset : self.offset + n]
        self.offset += n
        return data

    def closing(self):
        """Whether the transport has begun closing, as far as the model can
        tell: our own close or abort, or an end of stream it did not keep."""
        return (
            self.closed_by_us
            or self.aborted
            or (self.proto.eof_calls > 0 and not self.proto.eof_result)
            or bool(self.proto.lost)
        )

    def unread_by_transport(self):
        return self.closing() and len(self.proto.received) < len(self.peer_sent)

    def spin(self, rounds=3):
        for _ in range(rounds):
            self.loop.call_soon(self.loop.stop)
            self.loop.run_forever()

    def drain_peer(self):
        while True:
            try:
                chunk = self.peer.recv(1 << 20)
            except BlockingIOError:
                return
            except ConnectionResetError:
                # Closing a socket with received data unread resets the peer
                # (after the data already queued for it).
                assert self.aborted or self.unread_by_transport()
                self.peer_eof = True
                return
            if not chunk:
                self.peer_eof = True
                return
            assert not self.peer_eof
            self.peer_got += chunk

    # ---- rules ----------------------------------------------------------

    def _write(self, chunks, lines):
        # A graceful close takes writes until it has sent its last byte;
        # after an abort, or once nothing was left to send, they are dropped.
        accepted = not self.closing() or (not self.aborted and self.tr.get_write_buffer_size() > 0)
        if self.eof_written and chunks:
            try:
                self.tr.writelines(chunks) if lines else self.tr.write(chunks[0])
            except RuntimeError:
                return
            raise AssertionError("write after write_eof did not raise")
        if self.eof_written:
            self.tr.writelines(chunks)  # nothing to write: no complaint
        elif lines:
            self.tr.writelines(chunks)
        else:
            self.tr.write(chunks[0])
        if accepted:
            for c in chunks:
                self.expected += c

    def write(self, n):
        self._write([self.payload(n)], lines=False)

    def write_big(self, n, kind):
        self._write([kind(self.payload(n))], lines=False)

    def writelines(self, sizes):
        self._write([self.payload(n) for n in sizes], lines=True)

    def write_eof(self):
        self.tr.write_eof()
        if not self.closing():
            self.eof_written = True

    def set_limits(self, high, frac):
        low = int(high * frac)
        self.tr.set_write_buffer_limits(high=high, low=low)
        if self.closing() or self.proto.lost:
            return
        self.low, self.high = low, high
        assert self.tr.get_write_buffer_limits() == (low, high)

    def pause_reading(self):
        self.tr.pause_reading()
        if not self.paused:
            self.deliveries_at_pause = self.proto.deliveries
        self.paused = True

    def resume_reading(self):
        self.tr.resume_reading()
        self.paused = False

    def peer_send(self, n):
        if self.peer_shut:
            return
        data = self.payload(n)
        try:
            sent = self.peer.send(data)
        except (BlockingIOError, BrokenPipeError, ConnectionResetError):
            return
        self.peer_sent += data[:sent]

    def peer_shutdown(self):
        if self.peer_shut:
            return
        self.peer.shutdown(socket.SHUT_WR)
        self.peer_shut = True

    def peer_read(self):
        self.drain_peer()

    def run_loop(self, rounds):
        self.spin(rounds)

    def close(self):
        self.tr.close()
        if not self.closing():
            self.closed_by_us = True

    def abort(self):
        self.tr.abort()
        self.aborted = True

    # ---- invariants -----------------------------------------------------

    def peer_received_a_prefix_in_order(self):
        assert self.peer_got == self.expected[: len(self.peer_got)]
        if self.peer_eof:
            assert self.eof_written or self.closing()
            if not self.aborted:
                assert self.peer_got == self.expected

    def buffer_size_counts_only_unsent_bytes(self):
        size = self.tr.get_write_buffer_size()
        assert size >= 0
        if not self.aborted:  # an aborted send in flight stays counted until connection_lost
            assert size <= len(self.expected) - len(self.peer_got)

    def protocol_received_a_prefix_of_the_peer_data(self):
        got = self.proto.received
        assert got == self.peer_sent[: len(got)]
        if self.paused:
            assert self.proto.deliveries - self.deliveries_at_pause <= 1
        assert self.proto.eof_calls <= 1
        if self.proto.eof_calls:
            assert self.peer_shut and got == self.peer_sent

    def flow_control_alternates_around_the_marks(self):
        for i, (kind, size, (low, high)) in enumerate(self.proto.flow):
            assert kind == ("pause" if i % 2 == 0 else "resume")
            assert size > high if kind == "pause" else size <= low

    def closing_state_is_reported(self):
        if self.closing():
            assert self.tr.is_closing() and not self.tr.is_reading()
        assert len(self.proto.lost) <= 1
        if self.proto.lost:
            assert self.proto.lost == [None]
            assert self.closed_by_us or self.aborted or (self.proto.eof_calls and not self.proto.eof_result)

    def no_error_reached_the_handler(self):
        assert self.loop.handler_calls == []

    # ---- the end --------------------------------------------------------

    def check(self):
        self.peer_received_a_prefix_in_order()
        self.buffer_size_counts_only_unsent_bytes()
        self.protocol_received_a_prefix_of_the_peer_data()
        self.flow_control_alternates_around_the_marks()
        self.closing_state_is_reported()
        self.no_error_reached_the_handler()

    def teardown(self):
        try:
            graceful = not self.closing()
            self.tr.close()
            if graceful:
                self.closed_by_us = True
            deadline = self.loop.time() + 10
            while not (self.proto.lost and self.peer_eof):
                assert self.loop.time() < deadline, "the transport did not finish in time"
                self.loop.call_later(0.001, self.loop.stop)
                self.loop.run_forever()
                self.drain_peer()
            self.spin()
            assert self.proto.lost == [None]
            if not self.aborted:
                assert self.peer_got == self.expected
                assert len(self.proto.flow) % 2 == 0  # the last pause was followed by a resume
            else:
                assert self.peer_got == self.expected[: len(self.peer_got)]
            assert self.tr.get_write_buffer_size() == 0
            assert self.loop.handler_calls == []
        finally:
            self.loop.close()
            self.sock.close()
            self.peer.close()


STEPS = st.one_of(
    st.tuples(st.just("write"), st.integers(0, 3000)),
    st.tuples(
        st.just("write_big"), st.sampled_from([16385, 65537, 150000]), st.sampled_from([bytes, bytearray, memoryview])
    ),
    st.tuples(st.just("writelines"), st.lists(st.integers(0, 5000), max_size=8)),
    st.tuples(st.just("write_eof")),
    st.tuples(st.just("set_limits"), st.integers(0, 200000), st.sampled_from([0, 0.25, 0.5, 1.0])),
    st.tuples(st.just("pause_reading")),
    st.tuples(st.just("resume_reading")),
    st.tuples(st.just("peer_send"), st.integers(1, 5000)),
    st.tuples(st.just("peer_shutdown")),
    st.tuples(st.just("peer_read")),
    st.tuples(st.just("run_loop"), st.integers(1, 5)),
    st.tuples(st.just("close")),
    st.tuples(st.just("abort")),
)


@given(eof_result=st.sampled_from([None, False, True]), small_buffers=st.booleans(), steps=st.lists(STEPS, max_size=30))
def test_transport_against_the_model(eof_result, small_buffers, steps):
    model = TransportModel(eof_result, small_buffers)
    try:
        model.check()
        for name, *args in steps:
            getattr(model, name)(*args)
            model.check()
    finally:
        model.teardown()
