"""Stream transports ended by every path at random moments, thousands at a
time, while both sides write: close, abort, write_eof then close, the peer's
end of stream, a peer reset, and the loop's own close. Each transport calls
connection_lost exactly once, with the error its path implies; the peer
receives exactly what was written when the path is graceful (writes made
while a graceful close still drains included) and a prefix otherwise; descriptors and memory come back.

A graceful close is exact only while the peer is quiet: closing a socket
whose input was not all read makes the kernel answer with a reset and drop
what it still held to send, whatever the loop. "close_peer_writes" covers
that case and asks for a prefix."""

import asyncio
import random
import socket
import struct

from conftest import ROUNDS_DEFAULT, RecordingLoop, Rounds, open_fds, raise_nofile, record, run_until, scaled, spin

PAIRS = scaled(1500, 20)
ROUNDS = ROUNDS_DEFAULT
PATHS = ["close", "abort", "write_eof", "peer_eof", "peer_reset", "loop_close", "close_peer_writes"]
QUIET_PEER = ("close", "write_eof")  # exact delivery asserted


class Proto(asyncio.Protocol):
    def __init__(self):
        self.lost = []
        self.flow = []
        self.received = bytearray()
        self.eofs = 0

    def connection_made(self, transport):
        self.transport = transport

    def data_received(self, data):
        assert not self.lost
        self.received += data

    def eof_received(self):
        self.eofs += 1
        return None

    def pause_writing(self):
        self.flow.append("pause")

    def resume_writing(self):
        self.flow.append("resume")

    def connection_lost(self, exc):
        self.lost.append(exc)


class Pair:
    def __init__(self, loop, a, b, path, rnd, payload):
        self.loop, self.sock, self.peer, self.path, self.rnd = loop, a, b, path, rnd
        self.payload = payload
        self.proto = Proto()
        self.tr = loop._make_transport(a, self.proto, {}, None)
        self.proto.connection_made(self.tr)
        self.tr._start_reading()
        self.expected = bytearray()  # written while the transport was open
        self.peer_got = bytearray()
        self.peer_sent = bytearray()
        self.peer_done = False

    def write(self):
        if self.proto.lost:
            return
        n = self.rnd.randrange(1, 1 << 17)
        start = self.rnd.randrange(0, len(self.payload) - n)
        data = self.payload[start : start + n]
        # A graceful close takes writes until it has sent its last byte;
        # after an abort they are dropped.
        accepted = not self.tr.is_closing() or (self.path != "abort" and self.tr.get_write_buffer_size() > 0)
        try:
            self.tr.write(data)
        except RuntimeError:  # after write_eof
            assert self.path == "write_eof"
            return
        if accepted:
            self.expected += data

    def peer_write(self):
        if self.peer_done or self.path in QUIET_PEER:
            return
        data = self.payload[: self.rnd.randrange(1, 4096)]
        try:
            self.peer_sent += data[: self.peer.send(data)]
        except (BlockingIOError, BrokenPipeError, ConnectionResetError):
            pass

    def act(self):
        if self.path in ("close", "close_peer_writes"):
            self.tr.close()
        elif self.path == "abort":
            self.tr.abort()
        elif self.path == "write_eof":
            self.tr.write_eof()
            self.loop.call_later(self.rnd.random() * 0.02, self.tr.close)
        elif self.path == "peer_eof":
            self.peer.shutdown(socket.SHUT_WR)
            self.peer_done = True
        elif self.path == "peer_reset":
            self.peer.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.peer.close()
            self.peer_done = True
        # loop_close: left open for the loop's close

    def drain(self):
        if self.path == "peer_reset":
            return
        try:
            while chunk := self.peer.recv(1 << 20):
                self.peer_got += chunk
        except (BlockingIOError, ConnectionResetError):
            pass


def paths_round(rnd):
    loop = RecordingLoop()
    payload = rnd.randbytes(1 << 18)
    pairs = []
    with socket.create_server(("127.0.0.1", 0), backlog=4096) as srv:
        for i in range(PAIRS):
            b = socket.create_connection(srv.getsockname())
            a, _ = srv.accept()
            a.setblocking(False)
            b.setblocking(False)
            pairs.append(Pair(loop, a, b, PATHS[i % len(PATHS)], rnd, payload))
    for p in pairs:
        for _ in range(rnd.randrange(0, 6)):
            loop.call_later(rnd.random() * 0.05, p.write)
            loop.call_later(rnd.random() * 0.05, p.peer_write)
        loop.call_later(rnd.random() * 0.05, p.act)
    spin(loop, 0.06)  # every action has happened

    def drain_all():
        for p in pairs:
            p.drain()

    run_until(
        loop,
        lambda: drain_all() or all(p.proto.lost for p in pairs if p.path != "loop_close"),
        120,
        "every transport but the loop's own to end",
        step=0.002,
    )
    open_left = [p for p in pairs if not p.proto.lost]
    loop.close()
    drain_all()
    assert loop.handler_calls == []
    outcome = {path: 0 for path in PATHS}
    for p in pairs:
        assert len(p.proto.lost) == 1, (p.path, p.proto.lost)
        exc = p.proto.lost[0]
        if p.path == "peer_reset":
            assert isinstance(exc, (ConnectionResetError, BrokenPipeError)), exc
        else:
            assert exc is None, (p.path, exc)
        assert p.tr.get_write_buffer_size() == 0
        assert p.peer_got == p.expected[: len(p.peer_got)], p.path  # in order, nothing foreign
        if p.path in ("close", "write_eof", "peer_eof"):
            assert len(p.peer_got) == len(p.expected), (p.path, len(p.peer_got), len(p.expected))
            assert p.proto.flow.count("pause") == p.proto.flow.count("resume")
        assert p.proto.received == p.peer_sent[: len(p.proto.received)]
        assert p.proto.eofs <= 1
        outcome[p.path] += 1
    for p in pairs:
        p.sock.close()
        if not p.peer_done or p.path == "peer_eof":
            p.peer.close()
    return open_left, outcome, sum(len(p.peer_got) for p in pairs)


def test_transports_ended_by_every_path(unraisable):
    raise_nofile(2 * PAIRS + 1000)
    rnd = random.Random(31)
    rounds = Rounds("transport-paths")
    fds = open_fds()
    totals = {path: 0 for path in PATHS}
    received = 0
    closed_by_loop = []
    for _ in range(ROUNDS):
        left, outcome, got = paths_round(rnd)
        closed_by_loop.append(len(left))
        del left
        for k, v in outcome.items():
            totals[k] += v
        received += got
        rounds.done()
    assert open_fds() == fds
    assert all(n >= PAIRS // len(PATHS) for n in closed_by_loop)
    record(
        "transport-paths",
        transports=PAIRS * ROUNDS,
        ended_by=totals,
        closed_by_loop_close=closed_by_loop,
        bytes_received_by_peers=received,
        rss_mb=rounds.check(),
    )
