"""Low-level socket methods (sock_recv, sock_connect, sock_accept, ...) on
real sockets, on ombrel and on the standard loop."""

import asyncio
import errno
import io
import itertools
import os
import socket
import threading
import time

import pytest

from helpers import is_ombrel, run

pytestmark = pytest.mark.timeout(30)


@pytest.fixture
def socks():
    """Factory of sockets that are closed after the test."""
    made = []

    def make(*args, blocking=False, **kwargs):
        s = socket.socket(*args, **kwargs)
        s.setblocking(blocking)
        made.append(s)
        return s

    def pair(blocking=True):
        a, b = socket.socketpair()
        for s in (a, b):
            s.setblocking(blocking)
            made.append(s)
        return a, b

    make.keep = made.append
    make.pair = pair
    yield make
    for s in made:
        s.close()


def listener(socks, family=socket.AF_INET, host="127.0.0.1"):
    srv = socks(family, socket.SOCK_STREAM)
    srv.bind((host, 0))
    srv.listen(8)
    return srv


@pytest.mark.parametrize("size", [5, 4 * 1024 * 1024])
def test_accept_connect_and_exchange_both_ways(aloop, socks, size):
    srv = listener(socks)
    data = os.urandom(size)

    async def main():
        client = socks()
        accepting = asyncio.ensure_future(aloop.sock_accept(srv))
        await aloop.sock_connect(client, srv.getsockname())
        conn, address = await accepting
        socks.keep(conn)
        assert address == client.getsockname()
        assert conn.gettimeout() == 0 and not conn.get_inheritable()
        assert (conn.family, conn.type) == (socket.AF_INET, socket.SOCK_STREAM)

        async def receive(sock, n):
            got = bytearray()
            while len(got) < n:
                chunk = await aloop.sock_recv(sock, 65536)
                assert chunk, "early end of stream"
                got += chunk
            return bytes(got)

        sending = asyncio.ensure_future(aloop.sock_sendall(client, data))
        assert await receive(conn, size) == data
        assert await sending is None
        # The other way, into a caller's buffer.
        await aloop.sock_sendall(conn, memoryview(b"reply"))
        buf = bytearray(16)
        n = await aloop.sock_recv_into(client, buf)
        assert buf[:n] == b"reply"[:n]
        client.close()
        assert await aloop.sock_recv(conn, 10) == b""

    run(aloop, main())


def test_connect_resolves_names_and_reports_refusal_like_the_socket_module(aloop, socks):
    srv = listener(socks)
    port = srv.getsockname()[1]
    probe = socket.socket()
    probe.bind(("127.0.0.1", 0))
    closed_port = probe.getsockname()[1]
    probe.close()

    async def main():
        by_name = socks()
        await aloop.sock_connect(by_name, ("localhost", port))
        assert by_name.getpeername() == ("127.0.0.1", port)
        refused = socks()
        with pytest.raises(ConnectionRefusedError) as info:
            await aloop.sock_connect(refused, ("127.0.0.1", closed_port))
        assert info.value.errno == errno.ECONNREFUSED

    run(aloop, main())


def test_connect_over_ipv6_and_unix_sockets(aloop, socks, tmp_path):
    path = str(tmp_path / "sock")
    userv = socks(socket.AF_UNIX, socket.SOCK_STREAM)
    userv.bind(path)
    userv.listen(1)
    try:
        v6 = listener(socks, socket.AF_INET6, "::1")
    except OSError:
        v6 = None

    async def main():
        client = socks(socket.AF_UNIX, socket.SOCK_STREAM)
        accepting = asyncio.ensure_future(aloop.sock_accept(userv))
        await aloop.sock_connect(client, path)
        conn, address = await accepting
        socks.keep(conn)
        assert address == "" and conn.family == socket.AF_UNIX
        await aloop.sock_sendall(client, b"unix")
        assert await aloop.sock_recv(conn, 10) == b"unix"
        if v6 is not None:
            client6 = socks(socket.AF_INET6)
            await aloop.sock_connect(client6, v6.getsockname()[:2])
            conn6, address6 = await aloop.sock_accept(v6)
            socks.keep(conn6)
            assert address6[:2] == client6.getsockname()[:2]
            # An IPv4 listener reached through an IPv4-mapped address.
            v4 = listener(socks)
            mapped = socks(socket.AF_INET6)
            await aloop.sock_connect(mapped, ("::ffff:127.0.0.1", v4.getsockname()[1]))
            conn4, _ = await aloop.sock_accept(v4)
            socks.keep(conn4)

    run(aloop, main())


def test_cancelled_receive_and_accept_lose_nothing_that_comes_later(aloop, socks):
    srv = listener(socks)

    async def main():
        accepting = asyncio.ensure_future(aloop.sock_accept(srv))
        await asyncio.sleep(0.01)
        accepting.cancel()
        with pytest.raises(asyncio.CancelledError):
            await accepting
        # The client arriving now is for the next accept.
        client = socks()
        await aloop.sock_connect(client, srv.getsockname())
        conn, _ = await aloop.sock_accept(srv)
        socks.keep(conn)

        with pytest.raises(TimeoutError):
            await asyncio.wait_for(aloop.sock_recv(conn, 10), 0.02)
        await aloop.sock_sendall(client, b"after")
        assert await aloop.sock_recv(conn, 10) == b"after"

    run(aloop, main())


def test_results_of_operations_whose_task_was_cancelled_go_to_the_next_call(aloop, socks):
    """The task is cancelled after its operation completed but before it
    resumed (ombrel), or never suspends (the standard loop): either way the
    data and the client are the next call's, never lost."""
    srv = listener(socks)
    a, b = socks.pair()
    b.setblocking(False)

    async def race(coro, before_cancel=lambda: None):
        task = asyncio.ensure_future(coro)
        await asyncio.sleep(0)  # the task waits on its operation now
        before_cancel()
        aloop.call_soon(task.cancel)  # runs before the task's wake-up
        try:
            return await task
        except asyncio.CancelledError:
            return None

    async def recv_into():
        buf = bytearray(100)
        return bytes(buf[: await aloop.sock_recv_into(b, buf)])

    async def main():
        for recv in (lambda: aloop.sock_recv(b, 100), recv_into):
            a.send(b"abc")
            got = await race(recv()) or b""
            a.send(b"def")
            while len(got) < 6:
                got += await recv()
            assert got == b"abcdef"
        client = socks(blocking=True)
        first = await race(aloop.sock_accept(srv), lambda: client.connect(srv.getsockname()))
        conn, address = first or await aloop.sock_accept(srv)
        socks.keep(conn)
        assert address == client.getsockname()

    run(aloop, main())


def test_receives_under_tiny_timeouts_lose_and_duplicate_nothing(aloop):
    if not is_ombrel(aloop):
        pytest.skip("the standard loop loses a result that arrives with the timeout")
    a, b = socket.socketpair()
    b.setblocking(False)
    data = b"".join(i.to_bytes(4, "little") for i in range(20_000))

    def writer():
        for i in range(0, len(data), 64):
            a.sendall(data[i : i + 64])
            if i % 512 == 0:
                time.sleep(0.00005)
        a.shutdown(socket.SHUT_WR)

    async def main():
        got = bytearray()
        buf = bytearray(100)
        timeouts = [0.00001, 0.00005, 0.0002, 0.001]
        for n in itertools.count():
            try:
                if n % 2:
                    chunk = await asyncio.wait_for(aloop.sock_recv(b, 100), timeouts[n % 4])
                else:
                    k = await asyncio.wait_for(aloop.sock_recv_into(b, buf), timeouts[n % 4])
                    chunk = bytes(buf[:k])
            except TimeoutError:
                continue
            if not chunk:
                return got
            got += chunk

    t = threading.Thread(target=writer)
    t.start()
    try:
        assert run(aloop, main(), timeout=60) == data
    finally:
        t.join(60)
        a.close()
        b.close()


def test_bytes_a_cancelled_receive_took_reach_a_transport_over_the_socket(aloop, socks):
    a, b = socks.pair()
    b.setblocking(False)

    async def main():
        a.send(b"early")
        task = asyncio.ensure_future(aloop.sock_recv(b, 100))
        await asyncio.sleep(0)
        task.cancel()  # ombrel: before the receive reaches the kernel
        try:
            first = await task
        except asyncio.CancelledError:
            first = b""
        reader, writer = await asyncio.open_connection(sock=b)
        a.send(b" late")
        a.shutdown(socket.SHUT_WR)
        rest = await reader.read()
        writer.close()
        await writer.wait_closed()
        assert first + rest == b"early late"

    run(aloop, main())


def test_a_client_accepted_as_its_server_closes_is_not_left_hanging(aloop, socks):
    async def main():
        server = await aloop.create_server(asyncio.Protocol, "127.0.0.1", 0)
        await asyncio.sleep(0.01)  # the accept waits in the kernel
        client = socks(blocking=True)
        client.connect(server.sockets[0].getsockname())
        aloop.call_soon(server.close)  # before the accepted connection is served
        await asyncio.sleep(0.01)
        # ombrel's ring accepted it before the close: it is served, as one
        # of the server's clients; the standard loop never accepted it.
        server.close_clients()
        await asyncio.sleep(0.01)
        client.settimeout(10)
        try:
            assert client.recv(1) == b""
        except ConnectionResetError:
            pass

    run(aloop, main())


def test_a_cancelled_wait_for_readiness_leaves_the_next_ones_watch_alone(aloop, socks):
    a = socks(socket.AF_INET, socket.SOCK_DGRAM)
    b = socks(socket.AF_INET, socket.SOCK_DGRAM)
    b.bind(("127.0.0.1", 0))

    async def main():
        first = asyncio.ensure_future(aloop.sock_recvfrom(b, 100))
        await asyncio.sleep(0)
        first.cancel()  # its clean-up runs after the next receive is waiting
        aloop.call_soon(a.sendto, b"x", b.getsockname())
        data, _ = await aloop.sock_recvfrom(b, 100)
        assert data == b"x"
        assert first.cancelled()

    run(aloop, main())


def test_debug_mode_refuses_blocking_sockets(aloop, socks):
    aloop.set_debug(True)
    blocking = socks(blocking=True)
    a, b = socks.pair()
    a.setblocking(True)
    calls = [
        aloop.sock_recv(a, 1),
        aloop.sock_recv_into(a, bytearray(1)),
        aloop.sock_sendall(a, b"x"),
        aloop.sock_accept(blocking),
        aloop.sock_connect(blocking, ("127.0.0.1", 1)),
        aloop.sock_sendto(a, b"x", None),
        aloop.sock_recvfrom(a, 1),
        aloop.sock_recvfrom_into(a, bytearray(1)),
    ]
    for coro in calls:
        with pytest.raises(ValueError, match="the socket must be non-blocking"):
            run(aloop, coro)


def test_datagrams_to_and_from(aloop, socks):
    a = socks(socket.AF_INET, socket.SOCK_DGRAM)
    b = socks(socket.AF_INET, socket.SOCK_DGRAM)
    a.bind(("127.0.0.1", 0))
    b.bind(("127.0.0.1", 0))

    async def main():
        receiving = asyncio.ensure_future(aloop.sock_recvfrom(b, 100))
        await asyncio.sleep(0.01)  # the receive waits for readiness
        assert await aloop.sock_sendto(a, b"one", b.getsockname()) == 3
        assert await receiving == (b"one", a.getsockname())
        await aloop.sock_sendto(a, b"two!", b.getsockname())
        buf = bytearray(10)
        assert await aloop.sock_recvfrom_into(b, buf, 3) == (3, a.getsockname())
        assert buf[:3] == b"two"

    run(aloop, main())


@pytest.fixture
def datafile(tmp_path):
    data = os.urandom(300_000)
    path = tmp_path / "data"
    path.write_bytes(data)
    with open(path, "rb") as f:
        yield f, data


@pytest.mark.parametrize("offset, count", [(0, None), (1000, 5000), (299_990, None), (400_000, None)])
def test_sock_sendfile_sends_the_range_and_moves_the_file_position(aloop, socks, datafile, offset, count):
    f, data = datafile
    a, b = socks.pair(blocking=False)
    expected = data[offset : None if count is None else offset + count]

    async def main():
        sending = asyncio.ensure_future(aloop.sock_sendfile(a, f, offset, count))
        got = bytearray()
        while len(got) < len(expected):
            got += await aloop.sock_recv(b, 65536)
        assert await sending == len(expected)
        assert got == expected
        assert f.tell() == offset + len(expected)

    run(aloop, main())


def test_sock_sendfile_fallback_and_argument_checks(aloop, socks, datafile, tmp_path):
    f, _ = datafile
    a, b = socks.pair(blocking=False)
    udp = socks(socket.AF_INET, socket.SOCK_DGRAM)
    text = open(tmp_path / "text", "w+")
    memfile = io.BytesIO(b"not a real file")

    async def main():
        with pytest.raises(asyncio.SendfileNotAvailableError):
            await aloop.sock_sendfile(a, memfile, fallback=False)
        assert await aloop.sock_sendfile(a, memfile, 4) == 11
        assert memfile.tell() == 15
        assert await aloop.sock_recv(b, 100) == b"a real file"
        with pytest.raises(ValueError, match="binary mode"):
            await aloop.sock_sendfile(a, text)
        with pytest.raises(ValueError, match="SOCK_STREAM"):
            await aloop.sock_sendfile(udp, f)
        with pytest.raises(ValueError, match="positive integer"):
            await aloop.sock_sendfile(a, f, 0, 0)
        with pytest.raises(ValueError, match="non-negative"):
            await aloop.sock_sendfile(a, f, -1)
        with pytest.raises(TypeError):
            await aloop.sock_sendfile(a, f, 0, "1")

    try:
        run(aloop, main())
    finally:
        text.close()


def test_sendall_the_kernel_takes_at_once_does_not_yield(aloop, socks):
    a, b = socks.pair(blocking=False)

    async def main():
        ran = []
        aloop.call_soon(ran.append, "other")
        await aloop.sock_sendall(a, b"x" * 1000)
        assert ran == []  # nothing else ran: the task never waited
        assert await aloop.sock_recv(b, 2000) == b"x" * 1000
        b.close()
        with pytest.raises(BrokenPipeError) as info:
            await aloop.sock_sendall(a, b"y")
        assert info.value.errno == errno.EPIPE

    run(aloop, main())


def test_sock_sendfile_to_a_peer_that_closes_midway_moves_the_position_by_what_was_sent(aloop, socks, tmp_path):
    data = os.urandom(8 * 1024 * 1024)
    path = tmp_path / "big"
    path.write_bytes(data)
    a, b = socks.pair(blocking=False)

    async def main():
        with open(path, "rb") as f:
            sending = asyncio.ensure_future(aloop.sock_sendfile(a, f, 100))
            got = b""
            while len(got) < 1024:
                got += await aloop.sock_recv(b, 1024 - len(got))
            b.close()
            with pytest.raises(ConnectionError):
                await sending
            assert 100 + 1024 <= f.tell() < 100 + len(data)

    run(aloop, main())
