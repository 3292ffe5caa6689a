"""Datagram endpoints over real UDP on loopback and AF_UNIX datagram
sockets, on both loops."""

import asyncio
import socket

import pytest

from helpers import run

pytestmark = pytest.mark.timeout(30)


class Endpoint(asyncio.DatagramProtocol):
    def __init__(self):
        loop = asyncio.get_running_loop()
        self.events = []
        self.received = asyncio.Queue()
        self.errors = asyncio.Queue()
        self.lost = loop.create_future()

    def connection_made(self, transport):
        self.events.append("made")
        self.transport = transport

    def datagram_received(self, data, addr):
        self.received.put_nowait((data, addr))

    def error_received(self, exc):
        self.errors.put_nowait(exc)

    def connection_lost(self, exc):
        self.events.append("lost")
        self.lost.set_result(exc)

    def pause_writing(self):
        self.events.append("pause")

    def resume_writing(self):
        self.events.append("resume")


def test_unconnected_and_connected_endpoints_talk(aloop):
    async def main():
        server, sp = await aloop.create_datagram_endpoint(Endpoint, local_addr=("127.0.0.1", 0))
        addr = server.get_extra_info("sockname")
        assert server.get_extra_info("peername") is None
        assert server.get_extra_info("socket").type == socket.SOCK_DGRAM
        client, cp = await aloop.create_datagram_endpoint(Endpoint, remote_addr=addr)
        assert client.get_extra_info("peername") == addr
        client.sendto(b"ping")
        client.sendto(bytearray(b"ping2"), addr)  # its own peer is allowed
        data, caddr = await sp.received.get()
        assert (data, caddr) == (b"ping", client.get_extra_info("sockname"))
        assert (await sp.received.get())[0] == b"ping2"
        server.sendto(memoryview(b"pong"), caddr)
        assert (await cp.received.get()) == (b"pong", addr)
        with pytest.raises(ValueError):
            client.sendto(b"x", ("127.0.0.1", 1))
        with pytest.raises(TypeError):
            server.sendto("text", caddr)
        for t in (client, server):
            t.close()
            assert t.is_closing()
        return await sp.lost, await cp.lost, sp.events

    assert run(aloop, main()) == (None, None, ["made", "lost"])


def test_connected_endpoint_reports_a_refusal_and_stays_open(aloop):
    probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    probe.bind(("127.0.0.1", 0))
    dead = probe.getsockname()
    probe.close()  # nobody listens there now

    async def main():
        client, cp = await aloop.create_datagram_endpoint(Endpoint, remote_addr=dead)
        client.sendto(b"anyone?")
        # The ICMP answer turns up as an error of the next operation.
        exc = await cp.errors.get()
        assert not client.is_closing()
        client.close()
        await cp.lost
        return exc

    assert isinstance(run(aloop, main()), ConnectionRefusedError)


def test_options_local_addr_reuse_port_broadcast_and_family(aloop):
    async def main():
        a, _ = await aloop.create_datagram_endpoint(Endpoint, local_addr=("127.0.0.1", 0), reuse_port=True)
        port = a.get_extra_info("sockname")[1]
        b, _ = await aloop.create_datagram_endpoint(Endpoint, local_addr=("127.0.0.1", port), reuse_port=True)
        sock = b.get_extra_info("socket")
        assert sock.getsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT)
        c, _ = await aloop.create_datagram_endpoint(Endpoint, local_addr=("127.0.0.1", 0), allow_broadcast=True)
        assert c.get_extra_info("socket").getsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST)
        d, _ = await aloop.create_datagram_endpoint(Endpoint, family=socket.AF_INET)
        assert d.get_extra_info("socket").family == socket.AF_INET
        for t in (a, b, c, d):
            t.close()
        with pytest.raises(ValueError, match="unexpected address family"):
            await aloop.create_datagram_endpoint(Endpoint)
        with pytest.raises(TypeError):
            await aloop.create_datagram_endpoint(Endpoint, local_addr="127.0.0.1")
        with pytest.raises(OSError):  # the port is taken
            await aloop.create_datagram_endpoint(Endpoint, local_addr=("127.0.0.1", port))
        await asyncio.sleep(0)

    run(aloop, main())


def test_given_socket_and_refused_combinations(aloop):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", 0))
    stream = socket.socket()

    async def main():
        with pytest.raises(ValueError, match="socket modifier"):
            await aloop.create_datagram_endpoint(Endpoint, sock=sock, local_addr=("127.0.0.1", 0))
        with pytest.raises(ValueError, match="datagram socket was expected"):
            await aloop.create_datagram_endpoint(Endpoint, sock=stream)
        t, p = await aloop.create_datagram_endpoint(Endpoint, sock=sock)
        assert t.get_extra_info("socket").fileno() == sock.fileno()
        assert not sock.getblocking()
        peer = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        peer.sendto(b"via sock", sock.getsockname())
        got = await p.received.get()
        peer.close()
        t.abort()
        await p.lost
        return got[0]

    try:
        assert run(aloop, main()) == b"via sock"
        assert sock.fileno() == -1  # the transport closed it
    finally:
        sock.close()
        stream.close()


def test_unix_datagram_endpoints(aloop, tmp_path):
    server_path = str(tmp_path / "server.sock")
    client_path = str(tmp_path / "client.sock")

    async def main():
        server, sp = await aloop.create_datagram_endpoint(Endpoint, local_addr=server_path, family=socket.AF_UNIX)
        client, cp = await aloop.create_datagram_endpoint(
            Endpoint, local_addr=client_path, remote_addr=server_path, family=socket.AF_UNIX
        )
        client.sendto(b"over unix")
        data, addr = await sp.received.get()
        server.sendto(b"back", addr)
        back = await cp.received.get()
        client.close()
        server.close()
        await sp.lost
        # A stale socket file is replaced by a new endpoint.
        again, _ = await aloop.create_datagram_endpoint(Endpoint, local_addr=server_path, family=socket.AF_UNIX)
        again.close()
        with pytest.raises(TypeError):
            await aloop.create_datagram_endpoint(Endpoint, local_addr=("x", 1), family=socket.AF_UNIX)
        return data, addr, back

    assert run(aloop, main()) == (b"over unix", client_path, (b"back", server_path))


async def unix_pair(loop, tmp_path, name):
    """A connected AF_UNIX datagram endpoint and a plain socket as its peer
    that reads only when told: its queue fills up quickly."""
    b = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    b.bind(str(tmp_path / f"{name}-peer"))
    b.setblocking(False)
    t, p = await loop.create_datagram_endpoint(
        Endpoint, local_addr=str(tmp_path / name), remote_addr=str(tmp_path / f"{name}-peer"), family=socket.AF_UNIX
    )
    t.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)
    return t, p, b


def test_write_flow_control_on_a_full_socket(aloop, tmp_path):
    async def main():
        nonlocal b
        t, p, b = await unix_pair(aloop, tmp_path, "flow")
        t.set_write_buffer_limits(high=4000, low=1000)
        n = 0
        while "pause" not in p.events:
            t.sendto(b"d" * 500)
            n += 1
            assert n < 10_000, "the socket never filled"
        assert t.get_write_buffer_size() > 4000
        got = 0
        while "resume" not in p.events or t.get_write_buffer_size():
            try:
                b.recv(1000)
                got += 1
            except BlockingIOError:
                await asyncio.sleep(0.001)
        t.sendto(b"last")
        t.close()  # waits for the buffer, which is empty
        await p.lost
        while True:
            try:
                b.recv(1000)
                got += 1
            except BlockingIOError:
                break
        return n + 1, got, p.events

    b = None
    try:
        sent, got, events = run(aloop, main())
    finally:
        if b is not None:
            b.close()
    assert got == sent
    assert events == ["made", "pause", "resume", "lost"]


def test_close_with_queued_datagrams_sends_them_first_and_abort_drops_them(aloop, tmp_path):
    async def main():
        results = []
        for how in ("close", "abort"):
            t, p, b = await unix_pair(aloop, tmp_path, how)
            n = 0
            while not t.get_write_buffer_size():
                t.sendto(b"q" * 100)
                n += 1
            t.sendto(b"q" * 100)
            n += 1
            getattr(t, how)()
            got = 0
            while not p.lost.done():
                try:
                    b.recv(200)
                    got += 1
                except BlockingIOError:
                    await asyncio.sleep(0.001)
            while True:
                try:
                    b.recv(200)
                    got += 1
                except BlockingIOError:
                    break
            b.close()
            results.append((how, got == n))
        return results

    assert run(aloop, main()) == [("close", True), ("abort", False)]
