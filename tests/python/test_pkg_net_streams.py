"""Connections: create_connection, transports, streams, TLS and sendfile,
on ombrel and on the standard loop."""

import asyncio
import contextlib
import contextvars
import errno
import io
import logging
import os
import socket
import ssl
import struct
import threading

import pytest
from test.test_asyncio import utils as tu

from helpers import is_ombrel, run

pytestmark = pytest.mark.timeout(30)


class Recorder(asyncio.Protocol):
    """Keeps what a connection went through."""

    def __init__(self, loop):
        self.transport = None
        self.data = bytearray()
        self.events = []
        self.lost = loop.create_future()
        self.got_eof = loop.create_future()
        self.keep_open_on_eof = False

    def connection_made(self, transport):
        self.transport = transport
        self.events.append("made")

    def data_received(self, data):
        self.data += data

    def eof_received(self):
        self.events.append("eof")
        self.got_eof.set_result(None)
        return self.keep_open_on_eof

    def pause_writing(self):
        self.events.append("pause")

    def resume_writing(self):
        self.events.append("resume")

    def connection_lost(self, exc):
        self.events.append("lost")
        self.lost.set_result(exc)


async def echo(reader, writer):
    try:
        while data := await reader.read(65536):
            writer.write(data)
            await writer.drain()
    finally:
        writer.close()


def test_streams_echo_many_clients_at_once(aloop):
    async def client(port, n):
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        payload = os.urandom(100_000 + n)
        writer.write(payload)
        writer.write_eof()
        assert await reader.read() == payload
        writer.close()
        await writer.wait_closed()

    async def main():
        async with await asyncio.start_server(echo, "127.0.0.1", 0) as server:
            port = server.sockets[0].getsockname()[1]
            await asyncio.gather(*(client(port, n) for n in range(20)))

    run(aloop, main())


def test_connection_transport_is_an_asyncio_transport_with_extra_info(aloop):
    async def main():
        server = await asyncio.start_server(echo, "127.0.0.1", 0)
        address = server.sockets[0].getsockname()
        tr, proto = await aloop.create_connection(lambda: Recorder(aloop), *address)
        assert isinstance(tr, asyncio.Transport)
        assert proto.transport is tr and proto.events == ["made"]
        assert tr.get_extra_info("peername") == address
        assert tr.get_extra_info("sockname") == tr.get_extra_info("socket").getsockname()
        assert tr.get_extra_info("socket").getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY)
        assert tr.get_extra_info("nothing", 42) == 42
        assert tr.get_protocol() is proto and tr.is_reading() and not tr.is_closing()
        tr.write(b"ping")
        while proto.data != b"ping":
            await asyncio.sleep(0.001)
        tr.close()
        assert tr.is_closing()
        assert await proto.lost is None
        assert proto.events == ["made", "lost"]
        server.close()
        await server.wait_closed()

    run(aloop, main())


def test_create_connection_resolves_binds_and_races(aloop):
    async def main():
        server = await asyncio.start_server(echo, "127.0.0.1", 0)
        port = server.sockets[0].getsockname()[1]
        tr, _ = await aloop.create_connection(
            asyncio.Protocol,
            "localhost",
            port,
            family=socket.AF_INET,
            local_addr=("127.0.0.1", 0),
            happy_eyeballs_delay=0.05,
        )
        assert tr.get_extra_info("peername") == ("127.0.0.1", port)
        tr.close()
        # Only the last address listens: the race moves past the others.
        infos = [
            (socket.AF_INET, socket.SOCK_STREAM, 6, "", ("127.0.0.1", p)) for p in (closed_port(), closed_port(), port)
        ]

        async def getaddrinfo(*args, **kwargs):
            return infos

        aloop.getaddrinfo = getaddrinfo
        tr, _ = await aloop.create_connection(asyncio.Protocol, "any", port, happy_eyeballs_delay=0.01)
        assert tr.get_extra_info("peername") == ("127.0.0.1", port)
        tr.close()
        infos.pop()
        with pytest.raises(ExceptionGroup) as group:
            await aloop.create_connection(asyncio.Protocol, "any", port, all_errors=True)
        assert [type(e) for e in group.value.exceptions] == [ConnectionRefusedError] * 2
        with pytest.raises(OSError, match="Multiple exceptions"):
            await aloop.create_connection(asyncio.Protocol, "any", port)
        server.close()
        await server.wait_closed()

    try:
        run(aloop, main())
    finally:
        aloop.__dict__.pop("getaddrinfo", None)


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def test_half_close_and_peer_eof(aloop):
    async def main():
        server_side = aloop.create_future()

        def factory():
            proto = Recorder(aloop)
            proto.keep_open_on_eof = True
            server_side.set_result(proto)
            return proto

        server = await aloop.create_server(factory, "127.0.0.1", 0)
        address = server.sockets[0].getsockname()
        tr, client = await aloop.create_connection(lambda: Recorder(aloop), *address)
        assert tr.can_write_eof()
        tr.write(b"question")
        tr.write_eof()
        with pytest.raises(RuntimeError):
            tr.write(b"more")
        srv = await server_side
        await srv.got_eof
        assert srv.data == b"question"
        # Half-closed: the server still answers, then closes.
        srv.transport.write(b"answer")
        srv.transport.close()
        assert await client.lost is None
        assert client.data == b"answer" and client.events == ["made", "eof", "lost"]
        server.close()
        await server.wait_closed()

    run(aloop, main())


def test_writer_is_paused_by_a_peer_that_does_not_read_and_resumed_when_it_does(aloop):
    async def main():
        a, b = socket.socketpair()
        b.setblocking(False)
        tr, proto = await aloop.connect_accepted_socket(lambda: Recorder(aloop), a)
        tr.set_write_buffer_limits(high=64 * 1024)
        assert tr.get_write_buffer_limits() == (16 * 1024, 64 * 1024)
        chunk = b"x" * 256 * 1024
        total = 0
        while "pause" not in proto.events:
            tr.write(chunk)
            total += len(chunk)
            await asyncio.sleep(0)
        received = 0
        while received < total:
            received += len(await aloop.sock_recv(b, 1024 * 1024))
        assert proto.events == ["made", "pause", "resume"]
        assert tr.get_write_buffer_size() == 0
        tr.abort()
        await proto.lost
        b.close()

    run(aloop, main())


def test_peer_reset_reaches_connection_lost_and_reading_can_pause(aloop):
    async def main():
        a, b = socket.socketpair()
        tr, proto = await aloop.connect_accepted_socket(lambda: Recorder(aloop), a)
        tr.pause_reading()
        assert not tr.is_reading()
        b.send(b"held")
        await asyncio.sleep(0.05)
        # A receive already in flight may deliver; nothing after that.
        assert proto.data in (b"", b"held")
        tr.resume_reading()
        while proto.data != b"held":
            await asyncio.sleep(0.001)
        b.close()
        assert await proto.lost is None
        assert proto.events[-2:] == ["eof", "lost"]

    run(aloop, main())


def test_tls_connection_and_start_tls_upgrade(aloop):
    server_ctx = tu.simple_server_sslcontext()
    client_ctx = tu.simple_client_sslcontext()

    async def upgrade_then_echo(reader, writer):
        assert await reader.readline() == b"STARTTLS\n"
        writer.write(b"OK\n")
        await writer.drain()
        await writer.start_tls(server_ctx)
        await echo(reader, writer)

    async def main():
        tls_server = await asyncio.start_server(echo, "127.0.0.1", 0, ssl=server_ctx)
        port = tls_server.sockets[0].getsockname()[1]
        reader, writer = await asyncio.open_connection(
            "127.0.0.1", port, ssl=client_ctx, server_hostname="", ssl_handshake_timeout=5
        )
        assert writer.get_extra_info("ssl_object") is not None
        payload = os.urandom(300_000)
        writer.write(payload)
        assert await reader.readexactly(len(payload)) == payload
        writer.close()
        await writer.wait_closed()
        tls_server.close()
        await tls_server.wait_closed()

        plain_server = await asyncio.start_server(upgrade_then_echo, "127.0.0.1", 0)
        port = plain_server.sockets[0].getsockname()[1]
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        writer.write(b"STARTTLS\n")
        assert await reader.readline() == b"OK\n"
        await writer.start_tls(client_ctx, server_hostname="")
        assert isinstance(writer.get_extra_info("ssl_object"), ssl.SSLObject)
        writer.write(b"secret")
        assert await reader.readexactly(6) == b"secret"
        writer.close()
        await writer.wait_closed()
        plain_server.close()
        await plain_server.wait_closed()

    run(aloop, main())


async def recv_all(loop, sock):
    sock.setblocking(False)
    got = bytearray()
    while chunk := await loop.sock_recv(sock, 1 << 20):
        got += chunk
    return bytes(got)


def test_writes_reach_the_peer_until_a_graceful_close_has_drained(aloop, caplog):
    async def main():
        with socket.create_server(("127.0.0.1", 0)) as listener:
            # Small kernel buffers: most of the payload is still queued in
            # the transport when it is closed, on every loop.
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 65536)
            sock = socket.socket()
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 65536)
            sock.connect(listener.getsockname())
            tr, proto = await aloop.create_connection(lambda: Recorder(aloop), sock=sock)
            peer, _ = listener.accept()
        with peer:
            payload = os.urandom(4 << 20)
            tr.write(payload)
            tr.close()
            tr.writelines([b"after ", b"close"])
            assert await recv_all(aloop, peer) == payload + b"after close"
        assert await proto.lost is None
        # Lost now: dropped, and a writer that goes on hears about it.
        with caplog.at_level(logging.WARNING, "asyncio"):
            for _ in range(5):
                tr.write(b"nowhere")
        assert [r.getMessage() for r in caplog.records] == ["socket.send() raised exception."]

    run(aloop, main())


@pytest.mark.parametrize("tls", [False, True], ids=["tcp", "tls"])
@pytest.mark.parametrize("side", ["client", "server"])
def test_write_then_abort_delivers_the_write(aloop, tls, side):
    reply = b"error: go away\n"

    async def write_then_abort(reader, writer):
        writer.write(reply)
        if side == "client":
            await writer.drain()  # below the high-water mark: returns at once
        writer.transport.abort()

    async def main():
        got = aloop.create_future()

        async def handler(reader, writer):
            if side == "server":
                await write_then_abort(reader, writer)
            else:
                got.set_result(await reader.readexactly(len(reply)))
                writer.close()

        server = await asyncio.start_server(handler, "127.0.0.1", 0, ssl=tu.simple_server_sslcontext() if tls else None)
        reader, writer = await asyncio.open_connection(
            *server.sockets[0].getsockname(),
            ssl=tu.simple_client_sslcontext() if tls else None,
            server_hostname="" if tls else None,
        )
        if side == "client":
            await write_then_abort(reader, writer)
            assert await got == reply
        else:
            assert await reader.readexactly(len(reply)) == reply
            writer.close()
            with contextlib.suppress(ConnectionError):
                await writer.wait_closed()
        server.close()
        await server.wait_closed()

    run(aloop, main())


cv = contextvars.ContextVar("cv", default="unset")
seen = contextvars.ContextVar("seen", default=None)


class ContextRecorder(Recorder):
    """Notes cv's value in every callback; connection_made and the read side
    also note what the one before them left in `seen`."""

    def __init__(self, loop):
        super().__init__(loop)
        self.calls = []

    def note(self, name, chain=True):
        self.calls.append((name, cv.get(), seen.get() if chain else "-"))
        if chain:
            seen.set(name)

    def connection_made(self, transport):
        super().connection_made(transport)
        self.note("made")

    def data_received(self, data):
        super().data_received(data)
        self.note("data")
        if self.data == b"first":
            self.transport.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 65536)
            self.transport.write(b"x" * (1 << 20))  # pauses, resumes as the peer reads
        elif self.data == b"firstsecond":
            self.transport.close()

    def eof_received(self):
        self.note("eof")
        return super().eof_received()

    def pause_writing(self):
        self.note("pause", chain=False)

    def resume_writing(self):
        self.note("resume", chain=False)

    def connection_lost(self, exc):
        self.note("lost")
        super().connection_lost(exc)


@pytest.mark.parametrize("how", ["create_connection", "connect_accepted_socket", "tls"])
def test_protocol_callbacks_run_in_the_context_the_transport_was_made_in(aloop, how):
    tls = how == "tls"

    async def main():
        servers = []

        def factory():
            cv.set(f"server {len(servers)}")  # per connection, as request-scoped code does
            servers.append(ContextRecorder(aloop))
            return servers[-1]

        server = await aloop.create_server(factory, "127.0.0.1", 0, ssl=tu.simple_server_sslcontext() if tls else None)
        address = server.sockets[0].getsockname()
        cv.set("client")
        if how == "connect_accepted_socket":
            sock = await asyncio.to_thread(socket.create_connection, address)
            tr, client = await aloop.connect_accepted_socket(lambda: ContextRecorder(aloop), sock)
        else:
            tr, client = await aloop.create_connection(
                lambda: ContextRecorder(aloop),
                *address,
                ssl=tu.simple_client_sslcontext() if tls else None,
                server_hostname="" if tls else None,
            )
        cv.set("elsewhere")
        seen.set("elsewhere")
        tr.write(b"first")
        while len(client.data) < 1 << 20:
            await asyncio.sleep(0.001)
        tr.write(b"second")
        await client.lost
        await servers[0].lost
        server.close()
        await server.wait_closed()
        return servers[0], client

    srv, cli = run(aloop, main())
    for proto, value in ((srv, "server 0"), (cli, "client")):
        assert {v for _, v, _ in proto.calls} == {value}
        # connection_made runs in a copy of its own; over TLS the TLS layer
        # calls it from the transport's first receive.
        chain = [(name, prev) for name, _, prev in proto.calls if prev != "-"]
        reads = [name for name, _ in chain[1:-1]]
        assert chain[0] == ("made", None)
        assert chain[1][1] == ("made" if tls else None)
        assert all(prev == before for (_, prev), before in zip(chain[2:], reads))
    if not tls:  # the TLS layer pauses its writer on its own backlog only
        assert [n for n, _, _ in srv.calls if n in ("pause", "resume")] == ["pause", "resume"]
    assert [n for n, _, _ in cli.calls][-2:] == ["eof", "lost"]


@pytest.mark.parametrize(
    "tls, failure",
    [
        (False, "reset"),
        (False, "broken pipe"),
        (False, "timeout"),
        (True, "reset"),
        (True, "timeout"),
    ],
)
def test_transport_errors_carry_the_kernels_errno(aloop, tls, failure):
    number, kind = {
        "reset": (errno.ECONNRESET, ConnectionResetError),
        "broken pipe": (errno.EPIPE, BrokenPipeError),
        "timeout": (errno.ETIMEDOUT, TimeoutError),
    }[failure]

    async def main():
        peers = asyncio.Queue()
        server = await asyncio.start_server(
            lambda r, w: peers.put_nowait(w), "127.0.0.1", 0, ssl=tu.simple_server_sslcontext() if tls else None
        )
        sock = socket.socket()
        sock.setblocking(False)
        if failure == "timeout":  # unacknowledged data times out after 300 ms
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_USER_TIMEOUT, 300)
        await aloop.sock_connect(sock, server.sockets[0].getsockname())
        reader, writer = await asyncio.open_connection(
            sock=sock, ssl=tu.simple_client_sslcontext() if tls else None, server_hostname="" if tls else None
        )
        peer = await peers.get()
        if failure == "reset":
            peer.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            peer.transport.abort()
        else:
            if failure == "broken pipe":  # the peer's reset answers a write after its FIN
                peer.close()
                assert await reader.read() == b""
            else:
                peer.transport.pause_reading()
            # The standard loop's drain() may only say "Connection lost".
            with contextlib.suppress(ConnectionError, TimeoutError):
                while True:
                    writer.write(b"x" * 65536)
                    await writer.drain()
                    await asyncio.sleep(0.001)
        # Each gives what connection_lost got.
        for aw in (reader.read(), writer.drain(), writer.wait_closed()):
            with pytest.raises(kind) as info:
                await aw
            assert (info.value.errno, info.value.strerror) == (number, os.strerror(number))
        writer.close()
        peer.close()
        server.close()
        await server.wait_closed()

    run(aloop, main())


def tls_peer_that_shuts_down_first(listener, go, outcome):
    """A TLS server driven by hand: once `go` is set it sends close_notify,
    then reads on; reports the bytes read and how the stream ended."""
    conn, _ = listener.accept()
    conn.settimeout(10)
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = tu.simple_server_sslcontext().wrap_bio(incoming, outgoing, server_side=True)
    while True:
        try:
            tls.do_handshake()
            break
        except ssl.SSLWantReadError:
            conn.sendall(outgoing.read())
            incoming.write(conn.recv(65536))
    conn.sendall(outgoing.read())
    go.wait(10)
    got, shut_down = 0, False
    while True:
        try:
            while True:
                got += len(tls.read(1 << 20))
        except ssl.SSLWantReadError:
            pass
        except ssl.SSLZeroReturnError:
            outcome.extend((got, "close_notify"))
            break
        if not shut_down:  # after reading what is buffered: the shutdown refuses data
            shut_down = True
            with contextlib.suppress(ssl.SSLWantReadError):
                tls.unwrap()
            conn.sendall(outgoing.read())
        chunk = conn.recv(1 << 20)
        if not chunk:
            outcome.extend((got, "end of stream without close_notify"))
            break
        incoming.write(chunk)
    conn.close()


def test_tls_tail_written_after_the_peer_began_the_shutdown_arrives(aloop):
    # The peer's close_notify makes asyncio's TLS layer call close() on the
    # transport while it still holds records of its own (its writer is
    # paused); it writes them, and its close_notify, as the transport drains.
    async def main():
        go, outcome = threading.Event(), []
        with socket.create_server(("127.0.0.1", 0)) as listener:
            peer = threading.Thread(target=tls_peer_that_shuts_down_first, args=(listener, go, outcome))
            peer.start()
            try:
                reader, writer = await asyncio.open_connection(
                    *listener.getsockname(), ssl=tu.simple_client_sslcontext(), server_hostname=""
                )
                for _ in range(64):  # no drain: the TLS layer buffers what the transport refuses
                    writer.write(b"x" * 65536)
                go.set()
                assert await reader.read() == b""
                writer.close()
                with contextlib.suppress(ConnectionError):
                    await writer.wait_closed()
            finally:
                go.set()
                await asyncio.to_thread(peer.join, 10)
        assert outcome == [64 * 65536, "close_notify"]

    run(aloop, main())


@pytest.fixture
def datafile(tmp_path):
    data = os.urandom(1_000_000)
    (tmp_path / "data").write_bytes(data)
    with open(tmp_path / "data", "rb") as f:
        yield f, data


@pytest.mark.parametrize("kind", ["native", "fallback", "tls"])
def test_transport_sendfile_after_queued_writes(aloop, datafile, kind):
    f, data = datafile
    file = io.BytesIO(data) if kind == "fallback" else f
    tls = kind == "tls"
    errors = []
    aloop.set_exception_handler(lambda loop, context: errors.append(context))

    async def main():
        received = aloop.create_future()

        async def collect(reader, writer):
            received.set_result(await reader.read())
            writer.close()

        server = await asyncio.start_server(collect, "127.0.0.1", 0, ssl=tu.simple_server_sslcontext() if tls else None)
        port = server.sockets[0].getsockname()[1]
        _, writer = await asyncio.open_connection(
            "127.0.0.1", port, ssl=tu.simple_client_sslcontext() if tls else None, server_hostname="" if tls else None
        )
        # Queued in the transport first, past the high-water mark: the
        # stream's protocol is paused when the file goes out.
        writer.write(b"header:" * 20_000)
        sending = asyncio.ensure_future(aloop.sendfile(writer.transport, file, 10, len(data) - 20))
        await asyncio.sleep(0)
        if kind == "native" and is_ombrel(aloop):
            with pytest.raises(RuntimeError, match="sendfile is in progress"):
                writer.write(b"mixed in")
        assert await sending == len(data) - 20
        assert file.tell() == len(data) - 10
        writer.write(b"trailer")
        await writer.drain()  # hangs if the stream was left paused
        writer.close()  # TLS transports have no write_eof
        got = await received
        assert got == b"header:" * 20_000 + data[10:-10] + b"trailer"
        await writer.wait_closed()
        server.close()
        await server.wait_closed()

    run(aloop, main())
    assert errors == []


def test_unix_connection_and_server_cleanup(aloop, tmp_path):
    path = str(tmp_path / "srv.sock")

    async def main():
        server = await asyncio.start_unix_server(echo, path)
        assert os.path.exists(path)
        reader, writer = await asyncio.open_unix_connection(path)
        writer.write(b"over unix")
        assert await reader.readexactly(9) == b"over unix"
        assert writer.get_extra_info("peername") == path
        writer.close()
        await writer.wait_closed()
        server.close()
        await server.wait_closed()
        assert not os.path.exists(path)
        with pytest.raises((FileNotFoundError, ConnectionRefusedError)):
            await asyncio.open_unix_connection(path)

    run(aloop, main())
