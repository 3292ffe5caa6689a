"""Servers: create_server and the asyncio.Server API over the loop's accept
loop, on ombrel and on the standard loop."""

import asyncio
import errno
import socket

import pytest

from helpers import run

pytestmark = pytest.mark.timeout(30)


async def wait_until(predicate, timeout=5):
    async with asyncio.timeout(timeout):
        while not predicate():
            await asyncio.sleep(0.001)


class Conn(asyncio.Protocol):
    """Server side of a connection: registers itself, keeps the data."""

    def __init__(self, registry):
        registry.append(self)
        self.data = bytearray()
        self.lost = asyncio.get_running_loop().create_future()

    def connection_made(self, transport):
        self.transport = transport

    def data_received(self, data):
        self.data += data

    def connection_lost(self, exc):
        self.lost.set_result(exc)


def refused(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) == errno.ECONNREFUSED


def test_serving_lifecycle_start_close_and_wait_closed(aloop):
    async def main():
        conns = []
        server = await aloop.create_server(lambda: Conn(conns), "127.0.0.1", 0, start_serving=False)
        assert not server.is_serving() and server.get_loop() is aloop
        port = server.sockets[0].getsockname()[1]
        await server.start_serving()
        assert server.is_serving()
        _, writer = await asyncio.open_connection("127.0.0.1", port)
        writer.write(b"hi")
        await wait_until(lambda: conns and conns[0].data == b"hi")
        waiter = asyncio.ensure_future(server.wait_closed())
        server.close()
        # Closing stops the listening at once; the open connection is left.
        assert refused(port)
        assert not server.is_serving() and server.sockets == ()
        await asyncio.sleep(0.02)
        assert not waiter.done()
        writer.close()
        await asyncio.wait_for(waiter, 5)
        assert await conns[0].lost is None
        await server.wait_closed()  # returns at once now

    run(aloop, main())


@pytest.mark.parametrize("how", ["close_clients", "abort_clients"])
def test_close_and_abort_clients_end_every_connection(aloop, how):
    async def main():
        conns = []
        server = await aloop.create_server(lambda: Conn(conns), "127.0.0.1", 0)
        port = server.sockets[0].getsockname()[1]
        clients = [await asyncio.open_connection("127.0.0.1", port) for _ in range(3)]
        await wait_until(lambda: len(conns) == 3)
        if how == "abort_clients":  # one with a send stuck on a client that does not read
            conns[0].transport.write(b"x" * (8 << 20))
        waiter = asyncio.create_task(server.wait_closed())
        await asyncio.sleep(0)
        server.close()
        getattr(server, how)()
        # Every connection_lost, and so the waiter's wake-up, comes in the
        # next iteration, as asyncio's own tests expect.
        await asyncio.sleep(0)
        await asyncio.sleep(0)
        assert waiter.done()
        for conn in conns:
            assert conn.lost.done()
        for reader, writer in clients:
            await reader.read()  # end of stream (or reset) for each client
            writer.close()

    run(aloop, main())


def test_serve_forever_cancelled_closes_everything(aloop):
    async def main():
        conns = []
        server = await aloop.create_server(lambda: Conn(conns), "127.0.0.1", 0, start_serving=False)
        port = server.sockets[0].getsockname()[1]
        serving = asyncio.ensure_future(server.serve_forever())
        await asyncio.sleep(0)
        with pytest.raises(RuntimeError, match="already being awaited"):
            await server.serve_forever()
        reader, writer = await asyncio.open_connection("127.0.0.1", port)
        await wait_until(lambda: conns)
        serving.cancel()
        with pytest.raises(asyncio.CancelledError):
            await serving
        assert await reader.read() == b""
        assert refused(port)
        writer.close()
        with pytest.raises(RuntimeError, match="is closed"):
            await server.serve_forever()

    run(aloop, main())


def test_multiple_hosts_reuse_port_and_context_manager(aloop):
    async def main():
        conns = []
        async with await aloop.create_server(
            lambda: Conn(conns), ["127.0.0.1", "localhost"], 0, family=socket.AF_INET, reuse_port=True, backlog=5
        ) as server:
            sockets = server.sockets
            # localhost is 127.0.0.1 again: bound once.
            assert len(sockets) == 1
            sock = sockets[0]
            assert sock.getsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR)
            assert sock.getsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT)
            port = sock.getsockname()[1]
            # A second server on the same port, allowed by SO_REUSEPORT.
            twin = await aloop.create_server(asyncio.Protocol, "127.0.0.1", port, reuse_port=True)
            twin.close()
        assert not server.is_serving()
        assert refused(port)

    run(aloop, main())


# The standard loop leaves the socket of a failed protocol factory to the
# garbage collector, which warns.
@pytest.mark.filterwarnings("ignore::ResourceWarning")
def test_accept_burst_and_failing_protocol_factory(aloop):
    async def main():
        conns = []
        failures = []

        def factory():
            if len(failures) < 2:
                failures.append(1)
                raise ZeroDivisionError
            return Conn(conns)

        server = await aloop.create_server(factory, "127.0.0.1", 0)
        port = server.sockets[0].getsockname()[1]
        # Clients whose protocol could not be made are dropped; the server
        # goes on accepting.
        clients = [await asyncio.open_connection("127.0.0.1", port) for _ in range(12)]
        await wait_until(lambda: len(conns) == 10)

        async def was_dropped(reader, writer):
            writer.write(b"x")
            try:
                return await asyncio.wait_for(reader.read(1), 0.3) == b""
            except TimeoutError:
                return False
            except ConnectionError:
                return True
            finally:
                writer.close()

        dropped = sum(await asyncio.gather(*(was_dropped(*c) for c in clients)))
        assert dropped == 2
        server.close()
        await server.wait_closed()

    run(aloop, main())


def test_server_on_a_given_socket_makes_it_nonblocking_and_closes_it(aloop):
    async def main():
        listener = socket.create_server(("127.0.0.1", 0))
        conns = []
        server = await aloop.create_server(lambda: Conn(conns), sock=listener)
        assert server.sockets[0].fileno() == listener.fileno()
        assert listener.gettimeout() == 0
        port = listener.getsockname()[1]
        _, writer = await asyncio.open_connection("127.0.0.1", port)
        await wait_until(lambda: conns)
        peer = conns[0].transport.get_extra_info("peername")
        assert peer == writer.get_extra_info("sockname")
        writer.close()
        server.close()
        await server.wait_closed()
        assert listener.fileno() == -1

    run(aloop, main())


def test_loop_closed_under_a_listening_server_then_server_closed(loop_factory):
    loop = loop_factory()
    server = loop.run_until_complete(loop.create_server(asyncio.Protocol, "127.0.0.1", 0))
    sock = server.sockets[0]
    loop.close()  # an accept is in flight
    server.close()  # and is cancelled after the loop is gone
    assert sock.fileno() == -1
