"""The native stream transport over real loopback sockets, driven the way the
package layer drives it: _make_transport, connection_made, _start_reading."""

import asyncio
import contextvars
import errno
import gc
import os
import socket
import sys
import types
import threading
import weakref

import pytest

from helpers import RecordingLoop, reset, run_once, run_until

FATAL = "Fatal error on transport (protocol callback failed)"


def keep_unraisable(u):
    """A tracked copy of the hook's argument: the argument itself is not seen
    by the collector, so holding it would keep its cycles alive."""
    return types.SimpleNamespace(exc_value=u.exc_value, object=u.object, err_msg=u.err_msg)


@pytest.fixture
def pair():
    """Factory of (transport side, peer side) socket pairs, closed afterwards.
    The transport side is non-blocking, as the package layer makes it."""
    made = []

    def factory(tcp=False, small_buffers=False):
        if tcp:
            with socket.create_server(("127.0.0.1", 0)) as srv:
                if small_buffers:
                    srv.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
                a = socket.socket()
                if small_buffers:
                    a.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)
                a.connect(srv.getsockname())
                b, _ = srv.accept()
        else:
            a, b = socket.socketpair()
            if small_buffers:
                a.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)
                b.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        a.setblocking(False)
        b.settimeout(5)
        made.extend((a, b))
        return a, b

    yield factory
    for sock in made:
        sock.close()


def make(loop, sock, proto, extra=None, server=None, start=True):
    tr = loop._make_transport(sock, proto, {} if extra is None else extra, server)
    proto.connection_made(tr)
    if start:
        tr._start_reading()
    return tr


def spin(loop, rounds=5):
    """A few short iterations, to show that nothing (more) happens."""
    for _ in range(rounds):
        loop.call_later(0.002, loop.stop)
        loop.run_forever()


def drain_into(sock, out):
    """Non-blocking peer reader for run_until predicates: appends what has
    arrived and answers the total."""
    sock.setblocking(False)
    try:
        while chunk := sock.recv(1 << 20):
            out += chunk
    except BlockingIOError:
        pass
    return len(out)


class Rec(asyncio.Protocol):
    def __init__(self, eof_result=None):
        self.eof_result = eof_result
        self.data = bytearray()
        self.events = []
        self.lost = []

    def connection_made(self, transport):
        self.transport = transport

    def data_received(self, data):
        self.data += data

    def eof_received(self):
        self.events.append("eof")
        return self.eof_result

    def pause_writing(self):
        self.events.append("pause")

    def resume_writing(self):
        self.events.append("resume")

    def connection_lost(self, exc):
        self.lost.append(exc)


class BufRec(asyncio.BufferedProtocol):
    def __init__(self, size=7):
        self.buf = bytearray(size)
        self.hints = []
        self.data = bytearray()
        self.lost = []

    def get_buffer(self, sizehint):
        self.hints.append(sizehint)
        return self.buf

    def buffer_updated(self, nbytes):
        self.data += self.buf[:nbytes]

    def connection_lost(self, exc):
        self.lost.append(exc)


# ---- reading --------------------------------------------------------------


@pytest.mark.parametrize("tcp", [False, True])
def test_data_flows_both_ways_in_order(loop, pair, tcp):
    a, b = pair(tcp)
    p = Rec()
    tr = make(loop, a, p)
    for i in range(20):
        b.sendall(b"%d," % i)
        tr.write(b"<%d>" % i)
    got = bytearray()
    want = b"".join(b"<%d>" % i for i in range(20))
    run_until(loop, lambda: drain_into(b, got) == len(want) and len(p.data) >= 50)
    assert bytes(got) == want
    assert bytes(p.data) == b"".join(b"%d," % i for i in range(20))
    assert loop.handler_calls == [] and p.lost == []
    b.close()


def test_reading_starts_only_when_asked_and_pause_keeps_the_receive_in_flight(loop, pair):
    a, b = pair()
    p = Rec()
    tr = make(loop, a, p, start=False)
    assert tr.is_reading()  # reports the intent, not an armed receive
    b.sendall(b"one")
    spin(loop)
    assert p.data == b""
    tr._start_reading()
    run_until(loop, lambda: p.data == b"one")
    tr.pause_reading()  # the receive armed after "one" stays in flight
    assert not tr.is_reading()
    b.sendall(b"two")
    run_until(loop, lambda: p.data == b"onetwo")
    b.sendall(b"three")
    spin(loop)
    assert p.data == b"onetwo"
    tr.resume_reading()
    run_until(loop, lambda: p.data == b"onetwothree")


def test_buffered_protocol_receives_in_place(loop, pair):
    a, b = pair()
    p = BufRec(size=7)
    make(loop, a, p)
    assert p.hints == [-1]
    payload = bytes(range(256)) * 40
    b.sendall(payload)
    run_until(loop, lambda: len(p.data) == len(payload))
    assert bytes(p.data) == payload
    assert set(p.hints) == {-1}


@pytest.mark.parametrize("bad, exc_type", [(bytearray(), RuntimeError), (b"read-only", BufferError)])
def test_unusable_get_buffer_result_is_a_fatal_protocol_error(loop, pair, bad, exc_type):
    a, b = pair()
    p = BufRec()
    p.get_buffer = lambda hint: bad
    tr = make(loop, a, p)
    [ctx] = loop.handler_calls  # reported from inside _start_reading
    assert ctx["message"] == FATAL
    assert type(ctx["exception"]) is exc_type
    if exc_type is RuntimeError:
        assert str(ctx["exception"]) == "get_buffer() returned an empty buffer"
    assert ctx["transport"] is tr and ctx["protocol"] is p
    run_until(loop, lambda: p.lost)
    assert p.lost == [ctx["exception"]] and tr.is_closing()


@pytest.mark.parametrize("where", ["data_received", "eof_received"])
def test_protocol_callback_raising_goes_to_the_exception_handler(loop, pair, where):
    a, b = pair()
    p = Rec()
    boom = ValueError("boom")

    def fail(*args):
        tr.write(b"last words")  # still delivered: written before the failure
        raise boom

    setattr(p, where, fail)
    tr = make(loop, a, p)
    b.sendall(b"x") if where == "data_received" else b.shutdown(socket.SHUT_WR)
    run_until(loop, lambda: p.lost)
    [ctx] = loop.handler_calls
    assert ctx == {"message": FATAL, "exception": boom, "transport": tr, "protocol": p}
    assert p.lost == [boom]
    assert b.recv(100) == b"last words" and b.recv(100) == b""


def test_eof_received_true_keeps_the_write_side_open(loop, pair):
    a, b = pair()
    p = Rec(eof_result=True)
    tr = make(loop, a, p)
    b.shutdown(socket.SHUT_WR)
    run_until(loop, lambda: p.events == ["eof"])
    spin(loop)
    assert not tr.is_closing() and p.lost == []
    tr.write(b"still open")
    tr.close()
    run_until(loop, lambda: p.lost)
    assert b.recv(100) == b"still open" and b.recv(100) == b""
    assert p.lost == [None]


@pytest.mark.parametrize("eof_result", [None, False, 0])
def test_eof_received_false_closes_and_detaches_the_socket(loop, pair, eof_result):
    a, b = pair()
    p = Rec(eof_result=eof_result)
    tr = make(loop, a, p)
    b.sendall(b"last")
    b.shutdown(socket.SHUT_WR)
    run_until(loop, lambda: p.lost)
    assert p.data == b"last" and p.events == ["eof"] and p.lost == [None]
    assert tr.is_closing() and a.fileno() == -1  # detached, then closed by the loop
    assert b.recv(10) == b""


def test_peer_reset_reaches_connection_lost_without_the_handler(loop, pair):
    a, b = pair(tcp=True)
    p = Rec()
    make(loop, a, p)
    spin(loop, 1)
    reset(b)
    run_until(loop, lambda: p.lost)
    [exc] = p.lost
    assert type(exc) is ConnectionResetError
    assert (exc.errno, exc.strerror) == (errno.ECONNRESET, os.strerror(errno.ECONNRESET))
    assert loop.handler_calls == []


@pytest.mark.parametrize("first, then", [(Rec, BufRec), (BufRec, Rec)])
def test_set_protocol_while_a_receive_is_in_flight_loses_no_data(loop, pair, first, then):
    a, b = pair()
    p1, p2 = first(), then()
    tr = make(loop, a, p1)
    spin(loop, 1)
    tr.set_protocol(p2)
    assert tr.get_protocol() is p2
    b.sendall(b"handed over")
    run_until(loop, lambda: bytes(p2.data) == b"handed over")
    assert p1.data == b""
    b.sendall(b"!")
    run_until(loop, lambda: bytes(p2.data) == b"handed over!")


def test_callbacks_run_in_the_context_the_transport_was_made_in_also_when_re_entered(loop, pair):
    var = contextvars.ContextVar("var", default="outside")
    a, b = pair()
    p = BufRec()
    seen = []

    def get_buffer(hint):
        seen.append(var.get())
        return p.buf

    def buffer_updated(n):
        p.data += p.buf[:n]
        var.set(f"after {len(p.data)}")
        tr.pause_reading()
        # resume_reading asks for the next buffer at once: in the context
        # current here (the transport's), or in a copy of it that is current.
        if len(p.data) == 1:
            tr.resume_reading()
        else:
            contextvars.copy_context().run(tr.resume_reading)

    p.get_buffer, p.buffer_updated = get_buffer, buffer_updated

    def made():
        var.set("made here")
        return loop._make_transport(a, p, {}, None)

    tr = contextvars.copy_context().run(made)
    contextvars.Context().run(tr._start_reading)
    for n in (1, 2):
        b.sendall(b"x")
        run_until(loop, lambda: len(p.data) == n)
    assert seen == ["made here", "after 1", "after 2"]
    assert loop.handler_calls == [] and var.get() == "outside"
    tr.close()
    run_until(loop, lambda: p.lost == [None])


# ---- construction and the closed state ------------------------------------


def test_extra_info_and_the_closed_state(loop, pair):
    a, b = pair()
    p = Rec()
    tr = make(loop, a, p, extra={"peername": "peer"})
    assert tr.get_extra_info("peername") == "peer"
    assert tr.get_extra_info("sockname", 5) == 5 and tr.get_extra_info("sockname") is None
    with pytest.raises(TypeError):
        tr.get_extra_info([])
    tr.close()
    run_until(loop, lambda: p.lost)
    assert tr.get_extra_info("peername", 5) == 5 and tr.get_protocol() is None
    # An instance without native state answers as a closed transport.
    t = type(tr)()
    assert (t.is_closing(), t.is_reading(), t.get_extra_info("x", 5), t.get_protocol()) == (True, False, None, None)
    assert (t.get_write_buffer_size(), t.get_write_buffer_limits(), t.can_write_eof()) == (0, (0, 0), True)
    for call in (t.close, t.abort, t.pause_reading, t.resume_reading, t._start_reading, t.write_eof):
        assert call() is None
    assert t.write(b"x") is None and t.writelines([b"x"]) is None and t._force_close(None) is None
    assert t.set_protocol(Rec()) is None and t.set_write_buffer_limits(1, 2) is None


# ---- closing --------------------------------------------------------------


def test_graceful_close_sends_queued_data_then_closes_once(loop, pair):
    a, b = pair()
    p = Rec()
    order = []

    class Server:
        def _detach(self):
            order.append(("detach", list(p.lost)))

    tr = make(loop, a, p, server=Server())
    tr.write(b"queued ")
    tr.writelines([b"before ", b"close"])
    tr.close()
    tr.close()
    tr.abort()  # the close is already under way: nothing to drop, nothing new
    assert tr.is_closing() and not tr.is_reading()
    run_until(loop, lambda: p.lost)
    spin(loop)
    assert p.lost == [None] and order == [("detach", [None])]
    assert b.recv(100) == b"queued before close" and b.recv(10) == b""


def test_abort_sends_what_the_kernel_takes_at_once_and_the_first_exception_wins(loop, pair):
    a, b = pair(small_buffers=True)
    p = Rec()
    tr = make(loop, a, p)
    written = b"reply" + b"x" * (1 << 20)
    tr.writelines([written[:5], written[5:]])
    assert tr.get_write_buffer_size() == len(written)
    first = OSError("first")
    tr._force_close(first)
    assert tr.get_write_buffer_size() == 0  # what the kernel did not take is dropped
    tr._force_close(OSError("second"))
    tr.abort()
    run_until(loop, lambda: p.lost)
    spin(loop)
    assert p.lost == [first]
    got = bytearray()
    while chunk := b.recv(1 << 20):
        got += chunk
    assert 5 <= len(got) < len(written) and got == written[: len(got)]


def test_socket_without_detach_is_closed_and_finalized_at_once(loop, pair, monkeypatch):
    a, b = pair()

    class BareSock:
        closes = 0

        def fileno(self):
            return a.fileno()

        def close(self):
            BareSock.closes += 1
            a.close()

    p = Rec()

    def lost(exc):
        p.lost.append(exc)
        raise KeyError("from connection_lost")

    p.connection_lost = lost
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: unraisable.append(keep_unraisable(u)))
    tr = make(loop, BareSock(), p, start=False)
    tr.close()  # idle: finishes inside this call
    assert p.lost == [None] and BareSock.closes == 1
    assert [type(u.exc_value) for u in unraisable] == [KeyError]


def test_socket_closed_behind_the_transport_does_not_cost_a_reused_descriptor(loop, pair):
    a, b = pair()
    p = Rec()
    tr = make(loop, a, p, start=False)
    fd = a.fileno()
    a.close()
    c, d = socket.socketpair()  # takes the freed number
    assert fd in (c.fileno(), d.fileno())
    tr.close()
    run_until(loop, lambda: p.lost)
    spin(loop)
    os.fstat(fd)  # still open: detach() reported -1, so nothing was closed
    c.close(), d.close()


def test_send_failure_is_reported_to_connection_lost_even_while_closing(loop, pair):
    for close_first in (False, True):
        a, b = pair()
        p = Rec()
        tr = make(loop, a, p, start=False)
        b.close()
        tr.write(b"to nobody")
        if close_first:
            tr.close()  # the data never arrives: not a clean end
        run_until(loop, lambda: p.lost)
        [exc] = p.lost
        assert type(exc) is BrokenPipeError
        assert exc.errno == errno.EPIPE
    assert loop.handler_calls == []


@pytest.mark.parametrize("close_first", [False, True])
def test_failed_send_with_data_queued_behind_it_still_finishes(loop, pair, close_first):
    a, b = pair(tcp=True, small_buffers=True)
    p = Rec()
    tr = make(loop, a, p, start=False)
    tr.write(b"x" * (4 << 20))
    spin(loop, 2)  # that send is now in flight, stuck on full buffers
    tr.write(b"queued behind the batch")
    if close_first:
        tr.close()
    reset(b)
    run_until(loop, lambda: p.lost)
    assert type(p.lost[0]) in (ConnectionResetError, BrokenPipeError)
    assert tr.get_write_buffer_size() == 0


# ---- loop close and reference hygiene ------------------------------------


def test_loop_close_aborts_and_finalizes_every_live_transport(pair):
    lp = RecordingLoop()
    made = []
    for kind in ("reading", "idle", "queued", "half-closed", "sending"):
        a, b = pair(small_buffers=kind == "sending")
        p = Rec(eof_result=True)
        tr = make(lp, a, p, start=kind != "idle")
        made.append((kind, a, b, p, tr))
        if kind == "half-closed":
            b.shutdown(socket.SHUT_WR)
        if kind == "sending":
            tr.write(b"y" * (1 << 20))
    run_until(lp, lambda: made[3][3].events == ["eof"])
    made[2][4].write(b"not flushed")
    lp.close()
    for kind, a, b, p, tr in made:
        assert p.lost == [None], kind
        assert a.fileno() == -1 and tr.is_closing(), kind
        # Every method stays harmless on the finalized transport.
        tr.write(b"z")
        tr.close(), tr.abort(), tr._start_reading(), tr.resume_reading(), tr.write_eof()
        tr.set_write_buffer_limits(1, 0)
        assert p.lost == [None] and tr.get_write_buffer_size() == 0, kind


def test_loop_closed_from_another_thread_still_finalizes_its_transports(pair):
    lp = RecordingLoop()
    a, b = pair()
    p = Rec()
    tr = make(lp, a, p)
    b.sendall(b"x")
    runner = threading.Thread(target=run_until, args=(lp, lambda: p.data == b"x"))
    runner.start()
    runner.join(10)
    assert p.data == b"x"  # and the next receive is in flight on the runner's ring
    lp.close()  # this thread cannot tick that ring: the receive never completes
    assert p.lost == [None] and a.fileno() == -1
    tr.write(b"z"), tr.close(), tr.abort(), tr._start_reading(), tr.resume_reading()
    assert p.lost == [None] and tr.get_write_buffer_size() == 0


def transport_count():
    gc.collect()
    return sum(type(o).__name__ == "Transport" and type(o).__module__ == "_ombrel" for o in gc.get_objects())


def test_transports_and_protocols_are_freed(loop, pair):
    baseline = transport_count()
    a, b = pair()
    p = Rec()
    tr = make(loop, a, p)
    tr.write(b"data")
    run_until(loop, lambda: tr.get_write_buffer_size() == 0)
    tr.close()
    run_until(loop, lambda: p.lost)
    spin(loop)
    ref = weakref.ref(p)
    assert sys.getrefcount(tr) == 3  # tr, p.transport, the argument: no operation kept one
    del p, tr
    assert ref() is None  # freed by reference counting: finalization broke the cycle
    # An idle transport in a cycle with its protocol is collectable, also
    # through the context it runs the protocol in.
    c, d = pair()
    q = Rec()
    held = contextvars.ContextVar("held")

    def made_in_context():
        held.set(q)
        make(loop, c, q, start=False)

    contextvars.copy_context().run(made_in_context)
    qref = weakref.ref(q)
    del q
    assert transport_count() == baseline and qref() is None


# ---- writing ----------------------------------------------------------------


def test_writes_are_queued_not_sent_and_go_out_after_the_pass(loop, pair):
    a, b = pair()
    tr = make(loop, a, Rec(), start=False)
    sizes = []

    def burst():
        for i in range(10):
            tr.write(b"%02d" % i)
        sizes.append(tr.get_write_buffer_size())

    tr.write(b"")  # nothing at all: no flush entry, no size
    assert tr.get_write_buffer_size() == 0
    run_once(loop, burst)
    assert sizes == [20]
    b.setblocking(False)
    with pytest.raises(BlockingIOError):  # nothing was sent inside write
        b.recv(1)
    got = bytearray()
    run_until(loop, lambda: drain_into(b, got) == 20)
    assert bytes(got) == b"".join(b"%02d" % i for i in range(10))
    assert tr.get_write_buffer_size() == 0


@pytest.mark.parametrize("tcp", [False, True])
def test_large_and_many_writes_survive_partial_sends_in_order(loop, pair, tcp):
    a, b = pair(tcp, small_buffers=True)
    tr = make(loop, a, Rec(), start=False)
    big = bytes(range(251)) * 16000  # ~4 MB, far beyond the socket buffers
    small = [b"%05d" % i for i in range(2500)]  # more pieces than one send carries
    want = big + b"".join(small) + big[:1000]

    def write_all():
        tr.write(big)
        tr.writelines(small)
        tr.write(memoryview(big)[:1000])

    run_once(loop, write_all)
    got = bytearray()
    run_until(loop, lambda: drain_into(b, got) >= len(want), timeout=20)
    assert len(got) == len(want) and got == want
    assert tr.get_write_buffer_size() == 0


def test_written_bytearray_stays_pinned_until_sent(loop, pair):
    a, b = pair()
    tr = make(loop, a, Rec(), start=False)
    data = bytearray(b"abc")
    tr.write(data)
    with pytest.raises(BufferError):
        data.extend(b"d")
    data[0:1] = b"X"  # not copied: the change goes out
    run_until(loop, lambda: tr.get_write_buffer_size() == 0)
    assert b.recv(10) == b"Xbc"
    data.extend(b"d")  # released once sent


def test_write_argument_errors(loop, pair):
    a, b = pair()
    tr = make(loop, a, Rec(), start=False)
    with pytest.raises(TypeError):
        tr.write("text")
    with pytest.raises(TypeError, match="^writelines\\(\\) argument must be an iterable of bytes-like objects$"):
        tr.writelines(5)
    with pytest.raises(TypeError):
        tr.writelines([b"kept", 1, b"never"])
    assert tr.get_write_buffer_size() == 4
    tr.writelines(x for x in (b"gen", b"erator"))
    run_until(loop, lambda: tr.get_write_buffer_size() == 0)
    assert b.recv(100) == b"keptgenerator"
    tr.close()
    tr.write(b"ignored")  # closing: dropped silently
    assert tr.get_write_buffer_size() == 0


def test_write_eof_waits_for_queued_data_and_reading_goes_on(loop, pair):
    a, b = pair()
    p = Rec()
    tr = make(loop, a, p)
    assert tr.can_write_eof() is True
    tr.write(b"x" * 200000)
    tr.write_eof()
    tr.write_eof()
    with pytest.raises(RuntimeError, match="^Cannot call write\\(\\) after write_eof\\(\\)$"):
        tr.write(b"late")
    got = bytearray()
    b.setblocking(False)
    with pytest.raises(BlockingIOError):
        b.recv(1)  # nothing sent yet, so no shutdown either
    run_until(loop, lambda: drain_into(b, got) == 200000)

    def at_end():
        # The last send's completion, which issues the shutdown, may still
        # wait for the loop's next pass when the peer has read the bytes.
        try:
            assert b.recv(10) == b""  # nothing after the last byte but the end
        except BlockingIOError:
            return False
        return True

    run_until(loop, at_end)
    b.sendall(b"reply")
    run_until(loop, lambda: p.data == b"reply")
    assert not tr.is_closing()


# ---- flow control -----------------------------------------------------------


def test_pause_and_resume_writing_at_the_default_water_marks(loop, pair):
    a, b = pair()
    p = Rec()
    tr = make(loop, a, p, start=False)
    assert tr.get_write_buffer_limits() == (16384, 65536)
    tr.write(b"x" * 65536)
    assert p.events == []
    tr.write(b"x")
    tr.write(b"x")
    assert p.events == ["pause"]
    got = bytearray()
    run_until(loop, lambda: drain_into(b, got) >= 0 and p.events == ["pause", "resume"])
    assert tr.get_write_buffer_size() <= 16384


def test_set_write_buffer_limits(loop, pair, monkeypatch):
    a, b = pair()
    p = Rec()
    tr = make(loop, a, p, start=False)
    for args, kwargs, want in [
        ((), {"high": 100}, (25, 100)),
        ((), {"low": 10}, (10, 40)),
        ((7,), {}, (1, 7)),
        ((100, 1), {"low": 3}, (3, 100)),
        ((), {}, (16384, 65536)),
    ]:
        tr.set_write_buffer_limits(*args, **kwargs)
        assert tr.get_write_buffer_limits() == want
    for args, shown in (((10, 20), (10, 20)), ((-5,), (-5, -1))):  # low = high / 4 toward zero
        with pytest.raises(ValueError, match="^high \\(%d\\) must be >= low \\(%d\\) must be >= 0$" % shown):
            tr.set_write_buffer_limits(*args)
    with pytest.raises(TypeError):
        tr.set_write_buffer_limits(middle=2)
    tr.set_write_buffer_limits(low=2**62)  # 4 * low does not fit: saturates
    assert tr.get_write_buffer_limits() == (2**62, 2**63 - 1)

    # Lowering the mark under what is queued pauses at once; a failing
    # pause_writing is reported and the flag stands (no second call).
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: unraisable.append(keep_unraisable(u)))
    p.pause_writing = lambda: p.events.append("pause") or {}["pause"]
    tr.write(b"x" * 10)
    tr.set_write_buffer_limits(8)
    tr.write(b"y")
    assert p.events == ["pause"] and [type(u.exc_value) for u in unraisable] == [KeyError]


def test_callbacks_run_by_loop_close_may_use_the_loop(loop, pair, monkeypatch):
    # connection_lost runs while close drains its transports: scheduling a
    # callback (as SSL protocols do) is quietly dropped, a nested close does
    # nothing, and running the loop there is refused as closed.
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: unraisable.append(keep_unraisable(u)))
    seen = []

    class Proto(Rec):
        def connection_lost(self, exc):
            super().connection_lost(exc)
            loop.call_soon(seen.append, "never runs")
            loop.close()
            try:
                loop.run_forever()
            except RuntimeError as e:
                seen.append(str(e))

    a, b = pair()
    p = Proto()
    make(loop, a, p)
    run_once(loop)
    loop.close()
    assert loop.is_closed()
    assert len(p.lost) == 1
    assert seen == ["Event loop is closed"]
    assert unraisable == []
