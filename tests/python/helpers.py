"""Helpers shared by the test modules: loops run until something happens
(always bounded: a hang fails the test, nothing here checks timing) and the
stand-ins several modules use."""

import asyncio
import os
import socket
import struct
import time

import _ombrel


# Exceptions a native method's argument error may raise; anything else (or a
# crash) is a fault.
ARG_ERRORS = (TypeError, ValueError, OverflowError, IndexError, MemoryError, BufferError, UnicodeError)


class RecordingLoop(_ombrel.Loop):
    """The native loop plus the one method the package layer must supply:
    call_exception_handler, here recording its contexts."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.handler_calls = []

    def call_exception_handler(self, context):
        self.handler_calls.append(context)


def run_once(loop, *callbacks):
    """Schedules the callbacks, then stop, and runs the loop until it stops."""
    for cb in callbacks:
        loop.call_soon(cb)
    loop.call_soon(loop.stop)
    loop.run_forever()


def wait_for(loop, fut, timeout=10.0):
    """Runs the loop until fut is done (a hang bound, not a timing check)."""
    if not fut.done():
        fut.add_done_callback(lambda f: loop.stop())
        guard = loop.call_later(timeout, loop.stop)
        loop.run_forever()
        guard.cancel()
    assert fut.done(), "operation did not finish in time"
    return fut


def spin(loop, seconds=0.02):
    """Runs the loop for about that long."""
    loop.call_later(seconds, loop.stop)
    loop.run_forever()


def run_until(loop, pred, timeout=10.0, between=None):
    """Runs the loop in short slices until pred() holds; between() runs
    after each slice (a peer that drains, for example)."""
    deadline = time.monotonic() + timeout
    while not pred():
        assert time.monotonic() < deadline, "condition not reached in time"
        spin(loop, 0.002)
        if between is not None:
            between()


def run(loop, coro, timeout=10):
    """run_until_complete, bounded."""

    async def bounded():
        async with asyncio.timeout(timeout):
            return await coro

    return loop.run_until_complete(bounded())


def is_ombrel(loop):
    import ombrel

    return isinstance(loop, ombrel.Loop)


def reset(sock):
    """Closes a TCP socket with a reset instead of a FIN."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Proto(asyncio.Protocol):
    """Keeps the transport, the data and what connection_lost was given."""

    def __init__(self):
        self.lost = []
        self.data = bytearray()

    def connection_made(self, tr):
        self.tr = tr

    def data_received(self, data):
        self.data += data

    def connection_lost(self, exc):
        self.lost.append(exc)


class Descriptors:
    """Descriptors of every kind, owned by one test; extra descriptors that
    operations hand out are recorded and closed with the rest."""

    def __init__(self, tmp_path):
        self.owned = []
        self.sockets = []
        r, w = os.pipe()
        self.owned += [r, w]
        self.pipe_r, self.pipe_w = r, w
        path = tmp_path / "data.bin"
        path.write_bytes(b"0123456789abcdef")
        self.path = str(path)
        self.file = os.open(self.path, os.O_RDWR)
        self.dir = os.open(str(tmp_path), os.O_RDONLY | os.O_DIRECTORY)
        self.owned += [self.file, self.dir]
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.unbound = socket.socket()
        a, b = socket.socketpair()
        self.sockets += [self.listener, self.udp, self.unbound, a, b]
        self.sock_a, self.sock_b = a, b
        # A number that names no descriptor: taken, then closed.
        spare = os.dup(r)
        os.close(spare)
        self.closed = spare

    def kinds(self):
        return {
            "pipe_r": self.pipe_r,
            "pipe_w": self.pipe_w,
            "file": self.file,
            "dir": self.dir,
            "listener": self.listener.fileno(),
            "udp": self.udp.fileno(),
            "unbound": self.unbound.fileno(),
            "sock": self.sock_a.fileno(),
        }

    def fresh(self, kind):
        """A duplicate of one kind that an operation may close or consume."""
        fd = os.dup(self.kinds()[kind])
        self.owned.append(fd)
        return fd

    def adopt(self, value):
        if isinstance(value, tuple) and value and isinstance(value[0], int):
            value = value[0]  # (fd, pollable) of an open
        if isinstance(value, int) and value > 2:
            self.owned.append(value)

    def close(self):
        for fd in self.owned:
            try:
                os.close(fd)
            except OSError:
                pass
        for s in self.sockets:
            s.close()


def settle(loop, futures, timeout=5.0):
    """Runs the loop until every future is done, cancelling what still waits
    after a first short round (reads of idle pipes, accepts...)."""
    if any(not f.done() for f in futures):
        spin(loop, 0.05)
    for f in futures:
        if not f.done():
            f.cancel()
    for f in futures:
        wait_for(loop, f, timeout)


def outcome(fut):
    if fut.cancelled():
        return "cancelled"
    return fut.exception() or fut.result()
