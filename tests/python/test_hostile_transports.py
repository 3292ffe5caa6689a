"""Native transports given hostile sockets and arguments: socket objects
whose fileno, detach or close misbehave, wrong arguments to the transport's
methods, and bare objects never made by the loop."""

import gc
import os
import socket

import pytest

from helpers import ARG_ERRORS, Proto, run_once, run_until


class FakeSock:
    """A socket stand-in whose methods misbehave on demand."""

    def __init__(self, fileno, detach=None, close=None):
        self._fileno, self._detach, self._close = fileno, detach, close
        self.closed = 0

    def fileno(self):
        return self._fileno() if callable(self._fileno) else self._fileno

    def detach(self):
        if self._detach is None:
            raise AttributeError("detach")
        return self._detach()

    def close(self):
        self.closed += 1
        if self._close is not None:
            self._close()


@pytest.mark.parametrize(
    "fileno, exc",
    [
        ("3", TypeError),
        (None, TypeError),
        (-1, ValueError),
        (2**31, ValueError),
        (2**64, OverflowError),
        (lambda: 1 / 0, ZeroDivisionError),
        (3.5, TypeError),
    ],
)
def test_make_transport_refuses_sockets_with_unusable_fileno(loop, fileno, exc):
    with pytest.raises(exc):
        loop._make_transport(FakeSock(fileno), Proto(), {}, None)
    run_once(loop)


def test_make_transport_argument_errors(loop):
    a, b = socket.socketpair()
    with a, b:
        with pytest.raises(ARG_ERRORS):
            loop._make_transport(a, Proto(), {})  # one argument short
        for extra in (["not", "a", "dict"], None):
            with pytest.raises(TypeError):
                loop._make_transport(a, Proto(), extra, None)
        with pytest.raises(AttributeError):
            loop._make_transport(object(), Proto(), {}, None)
        # A number that is not a descriptor must not be truncated into one.
        with pytest.raises(ValueError):
            loop._make_transport(FakeSock(2**32 + a.fileno()), Proto(), {}, None)
        assert a.fileno() != -1
    run_once(loop)


def test_socket_objects_that_fail_to_detach_or_close_still_end_the_transport_once(loop):
    a, b = socket.socketpair()
    a.setblocking(False)
    fd = a.detach()
    calls = []

    def bad_detach():
        calls.append("detach")
        raise OSError("no")

    def bad_close():
        calls.append("close")
        os.close(fd)
        raise ValueError("close failed too")

    p = Proto()
    tr = loop._make_transport(FakeSock(fd, detach=bad_detach, close=bad_close), p, {}, None)
    tr._start_reading()
    tr.write(b"bye")
    tr.close()
    run_until(loop, lambda: p.lost)
    assert calls == ["detach", "close"] and p.lost == [None]
    assert b.recv(10) == b"bye"
    b.close()


def test_detach_answering_another_descriptor_leaves_it_open(loop):
    a, b = socket.socketpair()
    victim_r, victim_w = os.pipe()
    p = Proto()
    tr = loop._make_transport(FakeSock(a.fileno(), detach=lambda: victim_r), p, {}, None)
    tr.close()
    run_until(loop, lambda: p.lost)
    os.write(victim_w, b"alive")
    assert os.read(victim_r, 5) == b"alive"
    for fd in (victim_r, victim_w):
        os.close(fd)
    a.close()
    b.close()


def test_transport_methods_with_wrong_arguments(loop, transport):
    tr, p, peer = transport
    for bad in (12, "text", None, [b"a"], memoryview(bytes(8))[::2], object()):
        with pytest.raises((TypeError, BufferError)):
            tr.write(bad)
    for bad in (5, None, object()):
        with pytest.raises(TypeError):
            tr.writelines(bad)
    with pytest.raises(TypeError):
        tr.writelines([b"queued ", "not bytes", b"never"])
    with pytest.raises(TypeError):
        tr.writelines(iter([b"from a generator", 7]))
    for args, kwargs, exc in [
        (("a",), {}, TypeError),
        ((1, 2, 3), {}, TypeError),
        ((), {"middle": 1}, TypeError),
        ((-1,), {}, ValueError),
        ((10, 20), {}, ValueError),
        ((2**64,), {}, OverflowError),
        ((), {"low": -1}, ValueError),
    ]:
        with pytest.raises(exc):
            tr.set_write_buffer_limits(*args, **kwargs)
    assert tr.get_write_buffer_limits() == (16384, 65536)
    tr.set_write_buffer_limits(2**62)  # huge but valid
    assert tr.get_write_buffer_limits() == (2**60, 2**62)
    tr.set_write_buffer_limits(low=2**62)  # four times that does not fit: the largest high
    assert tr.get_write_buffer_limits() == (2**62, 2**63 - 1)
    with pytest.raises(TypeError):
        tr.get_extra_info()
    with pytest.raises(TypeError):
        tr.get_extra_info("a", "b", "c")
    with pytest.raises(TypeError):
        tr.get_extra_info(["unhashable"])
    assert tr.get_extra_info("peername") == "peer" and tr.get_extra_info("nope", 5) == 5
    tr.close()
    run_until(loop, lambda: p.lost)
    assert peer.recv(100) == b"queued from a generator"
    assert p.lost == [None]


def test_bare_transport_and_handle_objects_behave_as_closed(loop, transport):
    tr, p, peer = transport
    bare = type(tr)()
    assert bare.is_closing() and not bare.is_reading()
    for method in ("close", "abort", "pause_reading", "resume_reading", "_start_reading", "write_eof"):
        assert getattr(bare, method)() is None
    assert bare.write(b"x") is None and bare.writelines([b"x"]) is None
    assert bare.get_write_buffer_size() == 0 and bare.get_protocol() is None
    assert bare.get_extra_info("x", 1) is None or bare.get_extra_info("x", 1) == 1
    bare._force_close(ValueError())
    bare.set_protocol(Proto())
    handle = type(loop.call_soon(print))()
    assert handle._run() is None and handle.cancelled() is False and handle.when() == 0.0
    handle.cancel()
    assert handle.cancelled()
    del bare, handle
    gc.collect()
    run_once(loop)
