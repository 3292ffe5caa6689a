"""Native transports driving hostile protocols: objects that are not
protocols, buffers that cannot be written, results whose truth raises, and
callbacks that act on their own transport in any order."""

import asyncio
import os
import socket
import sys

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from helpers import RecordingLoop, run_until, spin


def test_protocols_that_are_not_protocols(loop, transport, unraisables):
    tr, p, peer = transport
    tr.set_protocol(None)  # no methods at all
    peer.sendall(b"data")
    run_until(loop, tr.is_closing)
    [ctx] = loop.handler_calls
    assert isinstance(ctx["exception"], AttributeError) and ctx["transport"] is tr
    run_until(loop, lambda: tr.get_protocol() is None)
    assert p.lost == []  # the replaced protocol is not told
    assert unraisables == [(AttributeError, None)]  # connection_lost of None


@pytest.mark.parametrize("bad_buffer", [b"read-only", bytearray(), 7, lambda: 1 / 0])
def test_buffered_protocols_with_bad_buffers(loop, transport, bad_buffer):
    tr, p, peer = transport

    class Bad(asyncio.BufferedProtocol):
        lost = []

        def get_buffer(self, hint):
            return bad_buffer() if callable(bad_buffer) else bad_buffer

        def buffer_updated(self, n):
            raise AssertionError("nothing can have been received")

        def connection_lost(self, exc):
            self.lost.append(exc)

    bad = Bad()
    tr.pause_reading()
    tr.set_protocol(bad)
    tr.resume_reading()
    peer.sendall(b"x")
    run_until(loop, lambda: bad.lost)
    assert len(bad.lost) == 1 and bad.lost[0] is loop.handler_calls[-1]["exception"]


def test_eof_received_result_whose_truth_raises(loop, transport):
    tr, p, peer = transport

    class Liar:
        def __bool__(self):
            raise ValueError("no truth")

    p.eof_received = lambda: Liar()
    peer.shutdown(socket.SHUT_WR)
    run_until(loop, lambda: p.lost)
    assert isinstance(p.lost[0], ValueError) and len(p.lost) == 1


def test_force_close_with_something_that_is_not_an_exception(loop, transport):
    tr, p, peer = transport
    tr._force_close("not an exception")
    tr._force_close(ValueError("second"))
    run_until(loop, lambda: p.lost)
    spin(loop)
    assert p.lost == ["not an exception"]


def test_bytearray_written_then_resized_is_refused_while_pinned(loop, transport):
    tr, p, peer = transport
    data = bytearray(b"pinned")
    tr.write(data)
    with pytest.raises(BufferError):
        data.extend(b"more")
    tr.close()
    run_until(loop, lambda: p.lost)
    data.extend(b"more")  # released once sent
    assert peer.recv(100) == b"pinned"


CALLBACKS = [
    "data_received",
    "eof_received",
    "pause_writing",
    "resume_writing",
    "connection_lost",
    "get_buffer",
    "buffer_updated",
]
ACTIONS = [
    "write",
    "write_big",
    "writelines",
    "write_eof",
    "close",
    "abort",
    "pause_reading",
    "resume_reading",
    "low_limits",
    "high_limits",
    "force_close",
    "set_protocol_again",
    "raise",
    "stop_loop",
]


class Meddler:
    """A protocol whose callbacks act on the transport (as a list of actions
    per callback, drawn by hypothesis) and record what they saw."""

    def __init__(self, loop, plan):
        self.loop, self.plan = loop, plan
        self.calls = dict.fromkeys(CALLBACKS + ["initial"], 0)
        self.buf = bytearray(4096)
        self.raised = set()

    def _act(self, name):
        self.calls[name] += 1
        if self.calls[name] > 3:  # act on the first calls only: the run must end
            return
        tr = self.transport
        for action in self.plan.get(name, ()):
            try:
                if action == "write":
                    tr.write(b"w" * 100)
                elif action == "write_big":
                    tr.write(b"W" * 200000)
                elif action == "writelines":
                    tr.writelines([b"a", bytearray(b"b"), memoryview(b"c")])
                elif action == "write_eof":
                    tr.write_eof()
                elif action == "close":
                    tr.close()
                elif action == "abort":
                    tr.abort()
                elif action == "pause_reading":
                    tr.pause_reading()
                elif action == "resume_reading":
                    tr.resume_reading()
                elif action == "low_limits":
                    tr.set_write_buffer_limits(0)
                elif action == "high_limits":
                    tr.set_write_buffer_limits(1 << 30)
                elif action == "force_close":
                    tr._force_close(OSError("forced"))
                elif action == "set_protocol_again":
                    tr.set_protocol(self)
                elif action == "stop_loop":
                    self.loop.stop()
                elif action == "raise":
                    self.raised.add(name)
                    raise ValueError(f"raised by {name}")
            except RuntimeError as e:
                # Writing after write_eof is refused, and stopping a loop that
                # closes; nothing else.
                assert "write_eof" in str(e) or "closed" in str(e), e

    def connection_made(self, transport):
        self.transport = transport
        self.lost = []

    def data_received(self, data):
        self._act("data_received")

    def eof_received(self):
        self._act("eof_received")

    def pause_writing(self):
        self._act("pause_writing")

    def resume_writing(self):
        self._act("resume_writing")

    def connection_lost(self, exc):
        self.lost.append(exc)
        self._act("connection_lost")


class PlainMeddler(Meddler, asyncio.Protocol):
    pass


class BufferedMeddler(Meddler, asyncio.BufferedProtocol):
    def get_buffer(self, hint):
        self._act("get_buffer")
        return self.buf

    def buffer_updated(self, n):
        self._act("buffer_updated")


@settings(
    max_examples=int(os.environ.get("OMBREL_HOSTILE_EXAMPLES", "120")),
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)
@given(
    plan=st.dictionaries(st.sampled_from(CALLBACKS), st.lists(st.sampled_from(ACTIONS), max_size=4)),
    buffered=st.booleans(),
    peer_shutdown=st.booleans(),
    initial=st.lists(st.sampled_from([a for a in ACTIONS if a != "raise"]), max_size=3),
)
def test_protocol_callbacks_acting_on_their_transport(plan, buffered, peer_shutdown, initial):
    loop = RecordingLoop()
    a, b = socket.socketpair()
    a.setblocking(False)
    b.setblocking(False)
    hooked = []
    old_hook = sys.unraisablehook
    sys.unraisablehook = lambda u: hooked.append(type(u.exc_value))
    try:
        proto = (BufferedMeddler if buffered else PlainMeddler)(loop, dict(plan, initial=initial))
        tr = loop._make_transport(a, proto, {}, None)
        proto.connection_made(tr)
        tr._start_reading()
        try:
            tr.write(b"x" * 100000)  # enough to pause with the default limits
        except RuntimeError:
            pass  # get_buffer, run by _start_reading, wrote the end of stream
        proto._act("initial")  # what the application does right after connection_made
        b.send(b"from the peer")
        if peer_shutdown:
            b.shutdown(socket.SHUT_WR)
        for _ in range(20):
            spin(loop, 0.001)
            try:
                while b.recv(1 << 20):
                    pass
            except (BlockingIOError, ConnectionResetError):
                pass
        tr.abort()  # whatever state it reached, abort ends it
        run_until(loop, lambda: proto.lost)
        spin(loop, 0.005)
        assert len(proto.lost) == 1
        assert tr.is_closing() and tr.get_write_buffer_size() == 0 and tr.get_protocol() is None
        # Exceptions reach the handler only from the callbacks whose failure is
        # fatal; those of the flow-control callbacks and connection_lost are
        # written as unraisable.
        fatal = {"data_received", "eof_received", "get_buffer", "buffer_updated"}
        for ctx in loop.handler_calls:
            assert isinstance(ctx["exception"], ValueError), ctx
        assert len(loop.handler_calls) <= len(proto.raised & fatal)
        assert all(t is ValueError for t in hooked)
    finally:
        sys.unraisablehook = old_hook
        loop.close()
        a.close()
        b.close()


@pytest.mark.parametrize("how", ["_start_reading", "pause_then_resume"])
def test_get_buffer_that_arms_a_receive_itself(loop, how):
    # A receive armed from inside get_buffer must keep its own pin, not one
    # the outer arm then overwrites (never released), and the data must land
    # in the buffer get_buffer returned last.
    a, b = socket.socketpair()
    a.setblocking(False)
    handed_out = []
    updates = []

    class Nested(asyncio.BufferedProtocol):
        def connection_made(self, transport):
            self.transport = transport
            self.lost = []

        def get_buffer(self, hint):
            buf = bytearray(16)
            if not handed_out:
                handed_out.append(None)  # the outer call's place, taken before the nested call
                if how == "_start_reading":
                    self.transport._start_reading()
                else:
                    self.transport.pause_reading()
                    self.transport.resume_reading()
                handed_out[0] = buf
            else:
                handed_out.append(buf)
            self.last = buf
            return buf

        def buffer_updated(self, n):
            updates.append(bytes(self.last[:n]))  # the bytes are in the buffer get_buffer returned last

        def connection_lost(self, exc):
            self.lost.append(exc)

    p = Nested()
    tr = loop._make_transport(a, p, {}, None)
    p.connection_made(tr)
    tr._start_reading()
    with a, b:
        b.send(b"hello")
        spin(loop, 0.02)
        tr.close()
        run_until(loop, lambda: p.lost)
    pinned = []
    for i, buf in enumerate(handed_out):
        try:
            buf.append(0)  # fails while the transport still holds a pin on it
        except BufferError:
            pinned.append(i)
    assert pinned == [] and updates == [b"hello"], (pinned, updates)
