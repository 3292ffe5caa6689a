"""Ten thousand echo connections held open at once, on loopback.

Native round: clients connect, send and read with the loop's socket
operations (_sock_connect, _sock_sendall, _sock_recv); the server accepts
with _sock_accept and echoes through stream transports. Every connection is
established before any byte is sent, so all of them are held at the same
time; each client then sends a message of its own and must read back
exactly those bytes and an end of stream. Package round: the same through
asyncio.start_server/open_connection on ombrel, when the package offers
them.
"""

import asyncio
import json
import os
import random
import socket
import subprocess
import sys

import pytest

from conftest import ROUNDS_DEFAULT, Rounds, open_fds, raise_nofile, record, rss_stable, run_until, scaled, spin

HERE = os.path.dirname(os.path.abspath(__file__))
CONNECTIONS = scaled(10000, least=10)
ROUNDS = ROUNDS_DEFAULT


class Client:
    def __init__(self, loop, message, errors):
        self.loop, self.message, self.errors = loop, message, errors
        self.sock = socket.socket()
        self.sock.setblocking(False)
        self.got = bytearray()
        self.eof = False
        self.callbacks = 0
        self.recvs = 0  # receives started

    def connect(self, port):
        fut = self.loop._sock_connect(self.sock.fileno(), "127.0.0.1", port)
        fut.add_done_callback(self.connected)

    def connected(self, fut):
        self.callbacks += 1
        if fut.exception() is not None:
            self.errors.append(("connect", fut.exception()))
        self.is_connected = fut.exception() is None

    def start(self):
        self.loop._sock_sendall(self.sock.fileno(), self.message).add_done_callback(self.sent)
        self.recv()

    def recv(self):
        self.recvs += 1
        self.loop._sock_recv(self.sock.fileno(), 65536).add_done_callback(self.received)

    def sent(self, fut):
        self.callbacks += 1
        if fut.exception() is not None:
            self.errors.append(("send", fut.exception()))
            return
        self.sock.shutdown(socket.SHUT_WR)  # the server closes after echoing

    def received(self, fut):
        self.callbacks += 1
        if fut.exception() is not None:
            self.errors.append(("recv", fut.exception()))
            return
        data = fut.result()
        if not data:
            self.eof = True
            return
        self.got += data
        self.recv()


class Server:
    """The echo server in a child process (see echo_server.py)."""

    def __init__(self, *options):
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "echo_server.py"), *options],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env=env,
        )
        self.port = int(self.proc.stdout.readline())

    def stats(self):
        self.proc.stdin.write("stats\n")
        self.proc.stdin.flush()
        return json.loads(self.proc.stdout.readline())

    def close(self):
        self.proc.stdin.close()
        try:
            assert self.proc.wait(60) == 0
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()


@pytest.fixture
def server():
    srv = Server()
    yield srv
    srv.close()


@pytest.fixture
def package_server():
    srv = Server("--package")
    yield srv
    srv.close()


def echo_round(loop, server, rnd, n):
    errors = []
    before = server.stats()
    payload = rnd.randbytes(1 << 16)
    clients = []
    for i in range(n):
        size = rnd.randrange(1, 8192)
        start = rnd.randrange(0, len(payload) - size)
        clients.append(Client(loop, payload[start : start + size], errors))
    for c in clients:
        c.connect(server.port)
    run_until(loop, lambda: errors or all(c.callbacks == 1 for c in clients), 120, "all connections established")
    assert errors == []
    # Every connection is up on both sides before the first byte is sent.
    run_until(loop, lambda: server.stats()["made"] - before["made"] == n, 60, "the server accepting all", step=0.05)
    during = server.stats()
    held = sum(c.is_connected for c in clients)
    for c in clients:
        c.start()
    run_until(loop, lambda: errors or all(c.eof for c in clients), 180, "every echo and end of stream")
    spin(loop, 0.01)
    assert errors == []
    wrong = [i for i, c in enumerate(clients) if bytes(c.got) != c.message]
    assert wrong == [], f"{len(wrong)} clients got other bytes than they sent"
    # Each operation started was finished once: a second resolution of a
    # future would have been reported as unraisable.
    assert all(c.callbacks == 2 + c.recvs for c in clients)
    for c in clients:
        c.sock.close()
    after = server.stats()
    assert after["lost"] - before["lost"] == n and after["lost_clean"] - before.get("lost_clean", 0) == n, after
    assert after["made"] == after["lost"] and after["accept_errors"] == [], after
    assert after["handler_calls"] == [] and after["unraisable"] == [], after
    return held, during["made"] - during["lost"], sum(len(c.message) for c in clients), after


def test_ten_thousand_echo_connections_native(loop, server):
    raise_nofile(CONNECTIONS + 1000)
    rnd = random.Random(7)
    rounds = Rounds("echo")
    fds_before = open_fds()
    held, server_held, server_rss, server_raw, server_heap = [], [], [], [], []
    total = 0
    for _ in range(ROUNDS):
        h, sh, b, after = echo_round(loop, server, rnd, CONNECTIONS)
        held.append(h)
        server_held.append(sh)
        server_rss.append(after["rss_trimmed_mb"])
        server_raw.append(after["rss_mb"])
        server_heap.append(after["c_heap_mb"])
        total += b
        rounds.done()
    assert open_fds() == fds_before
    assert held == [CONNECTIONS] * ROUNDS and server_held == [CONNECTIONS] * ROUNDS
    assert rss_stable(server_rss), f"server RSS grew across rounds: {server_rss} MB (raw {server_raw})"
    assert server_heap[-1] <= server_heap[1] * 1.02 + 2, f"server native memory kept: {server_heap} MB"
    record(
        "echo-native",
        connections_held=CONNECTIONS,
        rounds=ROUNDS,
        bytes_echoed=2 * total,
        client_rss_mb=rounds.check(),
        server_rss_mb={"trimmed": server_rss, "raw": server_raw, "c_heap": server_heap},
    )


def test_ten_thousand_echo_connections_through_the_package(unraisable, package_server):
    """Both ends through asyncio on ombrel: start_server in the child,
    open_connection here."""
    server = package_server
    ombrel = pytest.importorskip("ombrel")
    raise_nofile(CONNECTIONS + 1000)
    n = CONNECTIONS
    rnd = random.Random(11)
    messages = [rnd.randbytes(rnd.randrange(1, 4096)) for _ in range(n)]

    async def main():
        try:
            first = await asyncio.open_connection("127.0.0.1", server.port)
        except NotImplementedError as e:
            return str(e)
        conns = [first] + list(
            await asyncio.gather(*(asyncio.open_connection("127.0.0.1", server.port) for _ in range(n - 1)))
        )
        # Held on both sides before the first byte: the server's handlers all run.
        for _ in range(600):
            if server.stats()["made"] == n:
                break
            await asyncio.sleep(0.05)
        assert server.stats()["made"] == n

        async def talk(i, reader, writer):
            writer.write(messages[i])
            await writer.drain()
            writer.write_eof()
            back = await reader.read()
            writer.close()
            await writer.wait_closed()
            return back

        return len(conns), await asyncio.gather(*(talk(i, r, w) for i, (r, w) in enumerate(conns)))

    result = ombrel.run(main())
    if isinstance(result, str):
        pytest.skip(f"the package has no networking yet: {result}")
    held, back = result
    assert held == n
    assert [i for i in range(n) if back[i] != messages[i]] == []
    stats = server.stats()
    assert stats["made"] == stats["lost"] == stats["lost_clean"] == n, stats
    assert stats["handler_calls"] == [] and stats["unraisable"] == [], stats
    record("echo-package", connections_held=held, bytes_echoed=2 * sum(map(len, messages)))
