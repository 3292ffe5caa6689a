"""Cancellation storms: receives, sends, accepts, file reads and file work
started by the thousand and cancelled at random moments (at once, after a
few loop iterations, or while completing). Every future ends exactly once,
cancelled or with its own result; what was cancelled leaves no descriptor
behind; what completed carries the right bytes; RSS is stable across
rounds."""

import os
import random
import socket

from conftest import ROUNDS_DEFAULT, Rounds, open_fds, raise_nofile, record, run_until, scaled, spin

ROUNDS = ROUNDS_DEFAULT


class Storm:
    """Cancels futures at random moments: now, or after some iterations."""

    def __init__(self, loop, rnd, ratio):
        self.loop, self.rnd, self.ratio = loop, rnd, ratio
        self.cancel_calls = 0

    def maybe_cancel(self, fut):
        if self.rnd.random() >= self.ratio:
            return
        self.cancel_calls += 1
        when = self.rnd.choice(["now", "soon", "later"])
        if when == "now":
            fut.cancel()
        elif when == "soon":
            self.loop.call_soon(fut.cancel)
        else:
            self.loop.call_later(self.rnd.random() * 0.005, fut.cancel)


def stream_bytes(n):
    """A stream in which every 8-byte-aligned block names its position."""
    return b"".join((i * 8).to_bytes(8, "big") for i in range((n + 7) // 8))[:n]


# ---- receives ---------------------------------------------------------------


class Receiver:
    def __init__(self, loop, sock, storm):
        self.loop, self.sock, self.storm = loop, sock, storm
        self.chunks = []
        self.done_calls = self.started = self.cancelled = 0
        self.stopped = False
        self.current = None

    def start(self):
        self.started += 1
        self.current = fut = self.loop._sock_recv(self.sock.fileno(), 1 << 12)
        fut.add_done_callback(self.finished)
        self.storm.maybe_cancel(fut)

    def stop(self):
        self.stopped = True
        self.current.cancel()  # the last receive waits for bytes that never come

    def finished(self, fut):
        self.done_calls += 1
        if fut.cancelled():
            self.cancelled += 1
        else:
            self.chunks.append(fut.result())
        if not self.stopped:
            self.start()


def test_receive_storm(loop):
    raise_nofile(4096)
    rnd = random.Random(21)
    pairs_n, per_pair = scaled(500, 10), scaled(64 << 10, 4096)
    stream = stream_bytes(per_pair)
    rounds = Rounds("recv-storm")
    fds = open_fds()
    totals = {"recv_started": 0, "recv_cancelled": 0, "bytes_sent": 0, "bytes_received": 0, "bytes_discarded": 0}
    for _ in range(ROUNDS):
        storm = Storm(loop, rnd, 0.4)
        pairs = [socket.socketpair() for _ in range(pairs_n)]
        receivers = []
        for a, b in pairs:
            a.setblocking(False)
            b.setblocking(False)
            r = Receiver(loop, a, storm)
            r.start()
            receivers.append(r)
        sent = [0] * pairs_n

        def feed():
            for i, (a, b) in enumerate(pairs):
                if sent[i] < per_pair:
                    try:
                        sent[i] += b.send(stream[sent[i] : sent[i] + rnd.randrange(1, 8192)])
                    except BlockingIOError:
                        pass

        run_until(loop, lambda: feed() or all(s == per_pair for s in sent), 120, "all data sent")
        spin(loop, 0.02)
        for r in receivers:
            r.stop()
        run_until(loop, lambda: all(r.done_calls == r.started for r in receivers), 30, "the last receives")
        for (a, b), r in zip(pairs, receivers):
            rest = bytearray()
            try:
                while chunk := a.recv(1 << 16):
                    rest += chunk
            except BlockingIOError:
                pass
            # In order, each chunk where the stream says; a gap is a receive
            # that completed in the kernel and was then reaped as cancelled.
            pos = discarded = 0
            for chunk in r.chunks + [bytes(rest)]:
                if not chunk:
                    continue
                at = stream.find(chunk, pos)
                assert at >= pos, "bytes out of order or not from the stream"
                discarded += at - pos
                pos = at + len(chunk)
            discarded += per_pair - pos
            totals["bytes_discarded"] += discarded
            totals["bytes_received"] += per_pair - discarded
            totals["recv_started"] += r.started
            totals["recv_cancelled"] += r.cancelled
            assert r.done_calls == r.started
            a.close()
            b.close()
        totals["bytes_sent"] += pairs_n * per_pair
        del pairs, receivers, r, rest  # the test's data, not the loop's
        rounds.done()
    assert open_fds() == fds
    record("recv-storm", sockets=pairs_n, rounds=ROUNDS, **totals, rss_mb=rounds.check())


# ---- sends ------------------------------------------------------------------


def test_send_storm(loop):
    raise_nofile(4096)
    rnd = random.Random(22)
    pairs_n, messages = scaled(300, 10), 40
    rounds = Rounds("send-storm")
    fds = open_fds()
    totals = {"sends": 0, "sends_cancelled": 0, "bytes_sent": 0}
    for _ in range(ROUNDS):
        storm = Storm(loop, rnd, 0.3)
        pairs = [socket.socketpair() for _ in range(pairs_n)]
        plans = [[rnd.randrange(1, 60000) for _ in range(messages)] for _ in pairs]
        outcome = [[None] * messages for _ in pairs]
        received = [bytearray() for _ in pairs]

        def send(p, m):
            a = pairs[p][0]
            fut = loop._sock_sendall(a.fileno(), bytes([m % 250 + 1]) * plans[p][m])

            def finished(f):
                assert outcome[p][m] is None, "a send finished twice"
                outcome[p][m] = "cancelled" if f.cancelled() else f.exception() or "sent"
                if m + 1 < messages:
                    send(p, m + 1)

            fut.add_done_callback(finished)
            storm.maybe_cancel(fut)

        for p, (a, b) in enumerate(pairs):
            a.setblocking(False)
            b.setblocking(False)
            send(p, 0)

        def drain():
            for p, (a, b) in enumerate(pairs):
                try:
                    while chunk := b.recv(1 << 20):
                        received[p] += chunk
                except BlockingIOError:
                    pass

        run_until(loop, lambda: drain() or all(o[-1] is not None for o in outcome), 120, "every send")
        drain()
        for p in range(pairs_n):
            # The peer sees, message by message, all of a completed send and a
            # prefix (maybe empty) of a cancelled one, in order.
            data, pos = received[p], 0
            for m in range(messages):
                fill = m % 250 + 1
                end = pos
                while end < len(data) and data[end] == fill:
                    end += 1
                if outcome[p][m] == "sent":
                    assert end - pos == plans[p][m], (p, m, end - pos, plans[p][m])
                else:
                    assert outcome[p][m] == "cancelled" and end - pos <= plans[p][m], (p, m, outcome[p][m])
                    totals["sends_cancelled"] += 1
                pos = end
            assert pos == len(data), "bytes that no send wrote"
            totals["bytes_sent"] += len(data)
        totals["sends"] += pairs_n * messages
        for a, b in pairs:
            a.close()
            b.close()
        del received, data  # the test's, not the loop's
        rounds.done()
    assert open_fds() == fds
    record("send-storm", sockets=pairs_n, rounds=ROUNDS, **totals, rss_mb=rounds.check())


# ---- accepts ----------------------------------------------------------------


def test_accept_storm(loop):
    raise_nofile(8192)
    rnd = random.Random(23)
    clients_n = scaled(2000, 20)
    rounds = Rounds("accept-storm")
    fds = open_fds()
    totals = {"accepts": 0, "accepts_cancelled": 0, "connections": 0, "closed_by_the_loop": 0}
    for _ in range(ROUNDS):
        storm = Storm(loop, rnd, 0.3)
        listener = socket.create_server(("127.0.0.1", 0), backlog=4096)
        accepted = []
        state = {"started": 0, "done": 0, "cancelled": 0, "stop": False}
        armed = set()

        def start():
            state["started"] += 1
            fut = loop._sock_accept(listener.fileno())
            armed.add(fut)
            fut.add_done_callback(finished)
            storm.maybe_cancel(fut)

        def finished(fut):
            armed.discard(fut)
            state["done"] += 1
            if fut.cancelled():
                state["cancelled"] += 1
            else:
                accepted.append(socket.socket(fileno=fut.result()))
            if not state["stop"]:
                start()

        for _ in range(32):
            start()
        clients = []
        for i in range(clients_n):
            c = socket.create_connection(listener.getsockname())
            c.sendall(i.to_bytes(4, "big"))
            clients.append(c)
            if i % 100 == 0:
                spin(loop, 0)
        # Every client is either accepted, or closed by the loop because the
        # accept that took it had been cancelled: nothing stays queued.
        listener.setblocking(False)
        run_until(
            loop,
            lambda: len(accepted) + sum(1 for c in clients if _closed(c)) >= clients_n,
            60,
            "every connection taken",
        )
        state["stop"] = True
        ids = set()
        for s in accepted:
            s.settimeout(5)
            ids.add(int.from_bytes(s.recv(4), "big"))
        closed = {i for i, c in enumerate(clients) if _closed(c)}
        assert ids.isdisjoint(closed) and ids | closed == set(range(clients_n))
        with socket.socket(fileno=os.dup(listener.fileno())) as probe:
            probe.setblocking(False)
            try:
                probe.accept()
                raise AssertionError("a connection was left in the backlog")
            except BlockingIOError:
                pass
        totals["accepts"] += state["started"]
        totals["accepts_cancelled"] += state["cancelled"]
        totals["connections"] += clients_n
        totals["closed_by_the_loop"] += len(closed)
        # The accepts still armed are cancelled (closing the listener would
        # not end them: the ring holds its own reference to the socket).
        for fut in list(armed):
            fut.cancel()
        run_until(loop, lambda: state["done"] == state["started"], 30, "the armed accepts ending")
        for s in accepted + clients:
            s.close()
        listener.close()
        rounds.done()
    assert open_fds() == fds
    record("accept-storm", rounds=ROUNDS, **totals, rss_mb=rounds.check())


def _closed(sock):
    """True when the peer closed this client's connection (end of stream or
    reset)."""
    sock.setblocking(False)
    try:
        return sock.recv(1, socket.MSG_PEEK) == b""
    except BlockingIOError:
        return False
    except ConnectionResetError:
        return True


# ---- file reads and file work -----------------------------------------------


def test_file_read_storm(loop, tmp_path):
    rnd = random.Random(24)
    size = scaled(64 << 20, 1 << 20)
    data = rnd.randbytes(1 << 20) * (size >> 20)
    path = tmp_path / "big"
    path.write_bytes(data)
    ops = scaled(20000, 200)
    rounds = Rounds("file-read-storm")
    fds = open_fds()
    totals = {"reads": 0, "reads_cancelled": 0, "bytes_checked": 0}
    for _ in range(ROUNDS):
        storm = Storm(loop, rnd, 0.5)
        fd = os.open(path, os.O_RDONLY)
        futures = []
        for _ in range(ops):
            n = rnd.randrange(1, 1 << 17)
            off = rnd.randrange(0, size)
            f = loop._file_pread(fd, n, off)
            futures.append((f, n, off))
            storm.maybe_cancel(f)
        stream = []
        for _ in range(ops // 10):
            f = loop._file_read(fd, 4096)
            stream.append(f)
            storm.maybe_cancel(f)
        run_until(
            loop, lambda: all(f.done() for f, _, _ in futures) and all(f.done() for f in stream), 120, "every read"
        )
        for f, n, off in futures:
            if f.cancelled():
                totals["reads_cancelled"] += 1
            else:
                assert f.result() == data[off : off + n]
                totals["bytes_checked"] += len(f.result())
        # Streaming reads share the file position, so they may finish in any
        # order: each chunk is checked to come from the file.
        window = data[: 2 << 20]  # the file repeats one MiB: any chunk lies within two
        for chunk in (f.result() for f in stream if not f.cancelled()):
            assert chunk in window
        totals["reads"] += ops + len(stream)
        totals["reads_cancelled"] += sum(f.cancelled() for f in stream)
        os.close(fd)
        del futures, stream, f  # the results are the test's, not the loop's
        rounds.done()
    assert open_fds() == fds
    record("file-read-storm", file_mb=size >> 20, rounds=ROUNDS, **totals, rss_mb=rounds.check())


def test_file_work_storm(loop, tmp_path):
    """Truncations, syncs and size queries, cancelled at random. Only work the
    ring cannot do goes to the loop's thread pool; on kernels with ring
    truncation none of these does (the kernel's own io-wq workers, named
    iou-wrk-*, do the blocking part). The threads of each kind are reported."""
    rnd = random.Random(25)
    ops = scaled(20000, 200)
    rounds = Rounds("file-work-storm")
    fds = open_fds()
    threads_before = _threads()
    seen = {"pool": 0, "io-wq": 0}
    totals = {"ops": 0, "cancelled": 0}
    for _ in range(ROUNDS):
        storm = Storm(loop, rnd, 0.5)
        files = [os.open(tmp_path / f"w{i}", os.O_RDWR | os.O_CREAT, 0o600) for i in range(16)]
        futures = []
        for i in range(ops):
            fd = files[i % len(files)]
            kind = rnd.choice(["truncate", "fsync", "size"])
            if kind == "truncate":
                f = loop._file_truncate(fd, rnd.randrange(0, 1 << 20))
            elif kind == "fsync":
                f = loop._file_fsync(fd, rnd.random() < 0.5)
            else:
                f = loop._file_size(fd)
            futures.append(f)
            storm.maybe_cancel(f)
            if i % 1000 == 0:
                spin(loop, 0)
                now = _threads()
                seen = {k: max(seen[k], now[k] - threads_before[k]) for k in seen}
        run_until(loop, lambda: all(f.done() for f in futures), 120, "all file work")
        for f in futures:
            if f.cancelled():
                totals["cancelled"] += 1
            else:
                assert f.exception() is None and f.result() is None or isinstance(f.result(), int)
        # A last truncation per file decides its size.
        final = [loop._file_truncate(fd, 1234 + i) for i, fd in enumerate(files)]
        run_until(loop, lambda: all(f.done() for f in final), 30, "the last truncations")
        assert [os.fstat(fd).st_size for fd in files] == [1234 + i for i in range(len(files))]
        for fd in files:
            os.close(fd)
        totals["ops"] += ops
        rounds.done()
    assert open_fds() == fds
    record(
        "file-work-storm",
        rounds=ROUNDS,
        **totals,
        pool_threads_seen=seen["pool"],
        kernel_io_wq_threads_seen=seen["io-wq"],
        rss_mb=rounds.check(),
    )


def _threads():
    counts = {"pool": 0, "io-wq": 0}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                name = f.read()
        except FileNotFoundError:
            continue
        counts["io-wq" if name.startswith("iou-") else "pool"] += 1
    return counts
