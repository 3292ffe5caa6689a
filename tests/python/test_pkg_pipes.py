"""connect_read_pipe and connect_write_pipe over real pipes, on both
loops: ordering of protocol calls, end of file, flow control and closing."""

import asyncio
import os
import socket

import pytest

from helpers import run

pytestmark = pytest.mark.timeout(30)


@pytest.fixture
def pipe():
    r, w = os.pipe()
    rf, wf = open(r, "rb", buffering=0), open(w, "wb", buffering=0)
    yield rf, wf
    for f in (rf, wf):
        if not f.closed:
            f.close()


class Recorder(asyncio.Protocol):
    def __init__(self, loop):
        self.events = []
        self.data = bytearray()
        self.lost = loop.create_future()

    def connection_made(self, transport):
        self.events.append("made")

    def data_received(self, data):
        if self.events[-1] != "data":
            self.events.append("data")
        self.data += data

    def eof_received(self):
        self.events.append("eof")

    def connection_lost(self, exc):
        self.events.append("lost")
        self.lost.set_result(exc)

    def pause_writing(self):
        self.events.append("pause")

    def resume_writing(self):
        self.events.append("resume")


def test_read_pipe_delivers_data_then_eof_then_closes_the_pipe(aloop, pipe):
    rf, wf = pipe

    async def main():
        proto = Recorder(aloop)
        transport, got = await aloop.connect_read_pipe(lambda: proto, rf)
        assert got is proto and proto.events == ["made"]
        assert transport.get_extra_info("pipe") is rf
        assert transport.is_reading() and not transport.is_closing()
        wf.write(b"hello ")
        wf.write(b"world")
        while len(proto.data) < 11:
            await asyncio.sleep(0.005)
        wf.close()
        assert await proto.lost is None
        return proto, transport

    proto, transport = run(aloop, main())
    assert proto.events == ["made", "data", "eof", "lost"]
    assert bytes(proto.data) == b"hello world"
    assert rf.closed and transport.is_closing()


def test_read_pipe_pause_and_resume(aloop, pipe):
    rf, wf = pipe

    async def main():
        proto = Recorder(aloop)
        transport, _ = await aloop.connect_read_pipe(lambda: proto, rf)
        transport.pause_reading()
        transport.pause_reading()  # idempotent
        assert not transport.is_reading()
        wf.write(b"held")
        await asyncio.sleep(0.05)
        assert proto.data == b""
        transport.resume_reading()
        while not proto.data:
            await asyncio.sleep(0.005)
        transport.close()
        transport.close()
        assert await proto.lost is None
        transport.resume_reading()  # after close: no effect, no error
        return proto

    proto = run(aloop, main())
    assert proto.data == b"held" and proto.events == ["made", "data", "lost"]
    assert rf.closed


def test_write_pipe_flow_control_and_buffer_size(aloop, pipe):
    rf, wf = pipe
    chunk = b"x" * 200_000

    async def main():
        proto = Recorder(aloop)
        transport, _ = await aloop.connect_write_pipe(lambda: proto, wf)
        transport.set_write_buffer_limits(high=50_000, low=10_000)
        assert transport.get_write_buffer_limits() == (10_000, 50_000)
        assert transport.can_write_eof()
        transport.write(chunk)  # a pipe holds 64 KiB: the rest is buffered
        queued = transport.get_write_buffer_size()
        assert 0 < queued < len(chunk)
        assert proto.events == ["made", "pause"]
        os.set_blocking(rf.fileno(), False)
        received = bytearray()

        def drain():
            try:
                received.extend(os.read(rf.fileno(), 65536))
            except BlockingIOError:
                pass

        while "resume" not in proto.events:
            await asyncio.sleep(0)
            drain()
        while transport.get_write_buffer_size():
            await asyncio.sleep(0.005)
            drain()
        transport.write(b"tail")
        transport.close()
        assert transport.is_closing()
        transport.write(b"after close, dropped")
        assert await proto.lost is None
        os.set_blocking(rf.fileno(), True)
        return bytes(received + rf.read()), proto

    data, proto = run(aloop, main())
    assert data == chunk + b"tail"
    assert proto.events == ["made", "pause", "resume", "lost"]
    assert wf.closed


def test_write_pipe_learns_that_the_reader_left(aloop, pipe):
    rf, wf = pipe

    async def main():
        proto = Recorder(aloop)
        await aloop.connect_write_pipe(lambda: proto, wf)
        rf.close()
        return await proto.lost

    assert run(aloop, main()) is None


def test_write_pipe_reader_left_with_data_buffered_is_a_broken_pipe(aloop, pipe):
    rf, wf = pipe

    async def main():
        proto = Recorder(aloop)
        transport, _ = await aloop.connect_write_pipe(lambda: proto, wf)
        transport.write(b"y" * 200_000)
        assert transport.get_write_buffer_size() > 0
        rf.close()
        return await proto.lost, transport.get_write_buffer_size()

    exc, left = run(aloop, main())
    assert isinstance(exc, BrokenPipeError) and left == 0


def test_write_pipe_abort_drops_the_buffer(aloop, pipe):
    rf, wf = pipe

    async def main():
        proto = Recorder(aloop)
        transport, _ = await aloop.connect_write_pipe(lambda: proto, wf)
        transport.write(b"z" * 200_000)
        transport.abort()
        assert transport.get_write_buffer_size() == 0
        assert await proto.lost is None
        return rf.read()

    assert len(run(aloop, main())) <= 200_000


def test_pipe_transports_over_a_socket_pair_and_refused_files(aloop, tmp_path):
    a, b = socket.socketpair()
    path = tmp_path / "regular"
    path.write_bytes(b"")

    async def main():
        proto = Recorder(aloop)
        transport, _ = await aloop.connect_read_pipe(lambda: proto, a)
        b.sendall(b"over a socket")
        b.close()
        assert await proto.lost is None
        with open(path, "rb") as f:
            with pytest.raises(ValueError):
                await aloop.connect_read_pipe(asyncio.Protocol, f)
            with pytest.raises(ValueError):
                await aloop.connect_write_pipe(asyncio.Protocol, f)
        return proto

    try:
        proto = run(aloop, main())
    finally:
        a.close()
        b.close()
    assert proto.data == b"over a socket"


def test_stream_reader_on_a_read_pipe(aloop, pipe):
    rf, wf = pipe

    async def main():
        reader = asyncio.StreamReader()
        await aloop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), rf)
        wf.write(b"line 1\nline 2\n")
        wf.close()
        return [line async for line in reader]

    assert run(aloop, main()) == [b"line 1\n", b"line 2\n"]


def test_pipe_transports_repr_their_state(loop_factory, pipe):
    rf, _ = pipe
    r2, w2 = os.pipe()
    wf = open(w2, "wb", buffering=0)
    loop = loop_factory()

    async def main():
        proto = Recorder(loop)
        r, _ = await loop.connect_read_pipe(lambda: proto, rf)
        w, _ = await loop.connect_write_pipe(asyncio.Protocol, wf)
        fd = rf.fileno()
        assert repr(r).endswith(f" fd={fd} polling>")
        assert repr(w).endswith(f" fd={w2} idle bufsize=0>")
        r.close()
        assert repr(r).endswith(f" closing fd={fd} idle>")
        await proto.lost
        assert repr(r).endswith(f" closed fd={fd} closed>")
        return w

    try:
        w = run(loop, main())
        loop.close()
        # Left open by its loop: nothing watches it any more.
        assert repr(w).endswith(f" fd={w2} open>")
    finally:
        loop.close()
        wf.close()
        os.close(r2)
    w._pipe = None  # closed above: no unclosed-transport warning
