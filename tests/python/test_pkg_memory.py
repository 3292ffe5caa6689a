"""What connections cost while idle: receive buffers hold no memory once a
connection has been quiet for a while, and giving it back loses nothing; a
finished connection holds nothing of its objects."""

import asyncio
import gc
import os
import socket
import threading
import weakref

import pytest
from test.test_asyncio import utils as tu

import ombrel


def rss_anon():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no RssAnon")


class Collect(asyncio.Protocol):
    def __init__(self):
        self.data = bytearray()
        self.lost = None
        self.closed = False

    def connection_made(self, transport):
        self.transport = transport

    def data_received(self, data):
        self.data += data

    def connection_lost(self, exc):
        self.lost = exc
        self.closed = True


def test_idle_connections_give_back_receive_buffer_pages():
    conns, size = 64, 65536
    loop = ombrel.new_event_loop()

    async def until(cond, timeout=30):
        async with asyncio.timeout(timeout):
            while not cond():
                await asyncio.sleep(0.01)

    async def main():
        protos = []
        peers = []
        for _ in range(conns):
            a, b = socket.socketpair()
            _, proto = await loop.create_connection(Collect, sock=a)
            protos.append(proto)
            peers.append(b)
        first = [bytes([i]) * size for i in range(conns)]
        for peer, msg in zip(peers, first):
            peer.sendall(msg)
        await until(lambda: all(len(p.data) == size for p in protos))
        filled = rss_anon()
        # Idle: each receive waits long enough to be cancelled, its pages
        # given back, and armed again.
        await asyncio.sleep(2.5)
        released = filled - rss_anon()
        for i, peer in enumerate(peers):
            peer.sendall(b"after %d" % i)
        await until(lambda: all(len(p.data) > size for p in protos))
        for i, (p, msg) in enumerate(zip(protos, first)):
            assert bytes(p.data) == msg + b"after %d" % i
            assert p.lost is None and not p.transport.is_closing()
            p.transport.close()
        for peer in peers:
            peer.close()
        return released

    try:
        released = loop.run_until_complete(main())
    finally:
        loop.close()
    # 4 MiB were written into the buffers; most of it goes back (the rest of
    # the process may grow a little meanwhile).
    assert released >= conns * size // 2, released


def test_transport_methods_behave_as_bound_methods(aloop):
    """The transport's methods are reached without per-connection bound
    methods, and the socket's names are found late: calls, attribute reads,
    argument errors and the extra info after the connection is lost still
    behave."""

    async def main():
        a, b = socket.socketpair()
        transport, proto = await aloop.create_connection(Collect, sock=a)
        write = transport.write
        write(b"one")
        transport.writelines([b"two", b"three"])
        await asyncio.sleep(0.05)  # ombrel sends after the callbacks of the iteration
        b.settimeout(10)
        assert b.recv(100) == b"onetwothree"
        assert transport.get_extra_info("nothing", 5) == 5
        transport.set_write_buffer_limits(high=1000)
        assert transport.get_write_buffer_limits() == (250, 1000)
        for bad in (lambda: transport.write(), lambda: transport.close(1), lambda: transport.write(b"", x=1)):
            try:
                bad()
            except TypeError:
                pass
            else:
                raise AssertionError("no TypeError")
        names = {k: transport.get_extra_info(k) for k in ("peername", "sockname")}
        transport.close()
        await asyncio.sleep(0.01)
        assert proto.closed and proto.lost is None and transport.is_closing()
        assert {k: transport.get_extra_info(k) for k in ("peername", "sockname")} == names
        assert transport.get_extra_info("socket") is not None
        b.close()

    aloop.run_until_complete(main())


def test_socket_names_survive_the_connection_unasked(aloop):
    async def main():
        server = await aloop.create_server(Collect, "127.0.0.1", 0)
        port = server.sockets[0].getsockname()[1]
        transport, proto = await aloop.create_connection(Collect, "127.0.0.1", port)
        transport.close()
        while not proto.closed:
            await asyncio.sleep(0.01)
        assert transport.get_extra_info("peername") == ("127.0.0.1", port)
        assert transport.get_extra_info("sockname")[0] == "127.0.0.1"
        assert transport.get_extra_info("socket") is not None
        server.close()

    aloop.run_until_complete(main())


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer's allocator keeps its own")
def test_memory_of_a_passed_burst_goes_back_once_quiet():
    """Connections that come and go leave what they freed in the C
    allocator's arenas (here a 96 KiB buffer each, as TLS keeps, between
    blocks still in use); once no connection has come or gone for a second,
    the idle loop gives those pages back."""
    conns, size = 80, 96 * 1024
    loop = ombrel.new_event_loop()

    class Holding(Collect):
        def __init__(self):
            super().__init__()
            self.buf = bytearray(size)  # from the C heap, every page written

    async def main():
        protos, peers, pins = [], [], []
        for _ in range(conns):
            a, b = socket.socketpair()
            _, proto = await loop.create_connection(Holding, sock=a)
            protos.append(proto)
            peers.append(b)
            pins.append(bytes(1024))  # in use above each buffer: no top of heap to shrink
        for p, peer in zip(protos, peers):
            p.transport.close()
            peer.close()
        async with asyncio.timeout(10):
            while not all(p.closed for p in protos):
                await asyncio.sleep(0.01)
        protos.clear()  # the transports and their buffers are freed here
        freed = rss_anon()
        await asyncio.sleep(2.5)
        return freed - rss_anon()

    try:
        released = loop.run_until_complete(main())
    finally:
        loop.close()
    assert released >= conns * size // 2, released


@pytest.mark.timeout(30)
@pytest.mark.parametrize("tls", [False, True], ids=["plain", "tls"])
def test_a_closed_connection_is_released_by_the_time_the_run_returns(aloop, tls):
    """A client keeps its transport in its protocol and closes it after the
    peer's end of stream, with a last record still queued (its own after a
    half-close, or the TLS layer's). Once run_until_complete returns, with the collector off,
    the connection's objects are gone: a stopped loop keeps no finished
    connection alive until it runs again."""
    server_ctx = tu.simple_server_sslcontext() if tls else None
    client_ctx = tu.simple_client_sslcontext() if tls else None
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(10)

    def serve():
        conn, _ = listener.accept()
        conn.settimeout(10)
        if tls:
            conn = server_ctx.wrap_socket(conn, server_side=True)
        conn.sendall(b"O")
        got = b""
        while len(got) < 5 and (chunk := conn.recv(5 - len(got))):
            got += chunk
        if tls:
            conn = conn.unwrap()
        else:
            conn.shutdown(socket.SHUT_WR)
            while conn.recv(100):
                pass
        conn.close()
        served.append(True)

    class Client(asyncio.Protocol):
        def __init__(self):
            self.data = aloop.create_future()
            self.eof = aloop.create_future()

        def connection_made(self, tr):
            self.tr = tr  # the cycle asyncio's transports break at connection_lost

        def data_received(self, data):
            if not self.data.done():
                self.data.set_result(data)

        def eof_received(self):
            self.eof.set_result(None)
            return not tls  # plain: half-closed, the client closes it

    async def client():
        tr, proto = await aloop.create_connection(
            Client, *listener.getsockname(), ssl=client_ctx, server_hostname="" if tls else None
        )
        assert await proto.data == b"O"
        tr.write(b"hello")
        await proto.eof
        if not tls:
            tr.write(b"bye")
        tr.close()
        return weakref.ref(proto), weakref.ref(tr)

    served = []
    thread = threading.Thread(target=serve)
    thread.start()
    gc.collect()
    gc.disable()
    try:
        proto, tr = aloop.run_until_complete(asyncio.wait_for(client(), 10))
        if tls:
            # The standard loop still has the application protocol's
            # connection_lost queued; the TLS layer let go of the context.
            ctx, client_ctx = weakref.ref(client_ctx), None
            assert ctx() is None
        else:
            assert proto() is None and tr() is None
    finally:
        gc.enable()
        aloop.close()  # the descriptor's close may still wait for the loop
        thread.join(10)
        listener.close()
    assert served, "the peer never saw the end of the connection"


@pytest.mark.timeout(30)
def test_a_served_connection_closed_with_a_reply_queued_is_released_by_the_time_the_run_returns(aloop):
    """The server's side of the same: the accepted connection's protocol
    answers and closes, and the run ends right after; its protocol and
    transport are gone without the collector."""
    done = aloop.create_future()

    class Answer(asyncio.Protocol):
        def connection_made(self, tr):
            self.tr = tr

        def data_received(self, data):
            self.tr.write(b"reply")
            self.tr.close()
            done.set_result((weakref.ref(self), weakref.ref(self.tr)))

    def ask(port):
        with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
            sock.sendall(b"hello")
            while sock.recv(100):
                pass
        served.append(True)

    async def main():
        server = await aloop.create_server(Answer, "127.0.0.1", 0)
        try:
            thread = threading.Thread(target=ask, args=(server.sockets[0].getsockname()[1],))
            thread.start()
            threads.append(thread)
            return await asyncio.wait_for(done, 10)
        finally:
            server.close()  # not waited for: the run ends now

    threads, served = [], []
    gc.collect()
    gc.disable()
    try:
        proto, tr = aloop.run_until_complete(main())
        assert proto() is None and tr() is None
    finally:
        gc.enable()
        aloop.close()
        for thread in threads:
            thread.join(10)
    assert served, "the peer never saw the end of the connection"
