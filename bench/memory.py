"""Memory per connection: the resident set a stream server on one loop holds
for each idle connection, for each connection that received one message
and went idle again, and what a server keeps once many connections have
come and gone.

    python3.14 bench/memory.py --loop ombrel|uvloop|asyncio [--conns 10000] [--message 65536]
                               [--churn 2000]

The server (this program with --serve, on the loop measured, in its own
process) runs `asyncio.start_server` with a handler that reads and discards
until end of stream, and prints how many connections it serves and how many
bytes it has read whenever that changes. This process opens the connections
(blocking sockets), waits until the server serves all of them and its RSS
settles, then sends each one message (in batches the server reads before
the next is sent) and measures again once the connections have been idle for
two seconds. Prints one JSON line:
`idle_kb_per_conn` and `after_message_kb_per_conn` (RSS growth over the
server's RSS before the first connection, divided by the count, in KB of
1000 bytes), with the raw RSS figures.

The churn phase (skipped with --churn 0) starts a second server, one with a
plain and a TLS listener (a self-signed certificate made by `openssl` in a
temporary folder), whose handler reads a request, answers it and waits for
the end of stream. After a few warm-up connections this process opens
--churn connections, every tenth over TLS, all open at once, each sending
one request and reading its answer, then closes them all; once the server
has finished every one and idled, `churn_growth_mb` is its RSS growth over
the warmed-up RSS, in MB of 10^6 bytes.
"""

import argparse
import asyncio
import os
import resource
import selectors
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import time

from benchlib import LOOPS, Skip, emit, guarded, pin, run

READ_SIZE = 65536
IDLE_WAIT = 2.0  # seconds without traffic before "gone idle again" is measured
REQUEST = 4096  # the churn phase's request and response sizes
RESPONSE = 8192
TLS_EVERY = 10  # every tenth churn connection is over TLS
CHURN_WARM = 20


# -- the server --------------------------------------------------------------


async def serve(host):
    loop = asyncio.get_running_loop()
    state = {"conns": 0, "bytes": 0}
    said = None

    async def handle(reader, writer):
        state["conns"] += 1
        try:
            while data := await reader.read(READ_SIZE):
                state["bytes"] += len(data)
        except OSError:
            pass
        finally:
            writer.close()

    def report():
        nonlocal said
        now = (state["conns"], state["bytes"])
        if now != said:
            said = now
            print(f"COUNT {now[0]} {now[1]}", flush=True)
        loop.call_later(0.05, report)

    server = await asyncio.start_server(handle, host, 0, backlog=4096)
    print(f"READY {server.sockets[0].getsockname()[1]}", flush=True)
    report()
    await server.serve_forever()


async def serve_churn(host, cert, key):
    """Counts the connections accepted and those finished (answered, closed
    by the peer and closed here) on a plain and a TLS listener."""
    loop = asyncio.get_running_loop()
    state = {"conns": 0, "done": 0}
    said = None
    answer = b"r" * RESPONSE

    async def handle(reader, writer):
        state["conns"] += 1
        try:
            await reader.readexactly(REQUEST)
            writer.write(answer)
            await writer.drain()
            await reader.read()  # the end of stream (or an error for TLS)
        except (OSError, asyncio.IncompleteReadError):
            pass
        finally:
            writer.close()
            try:
                await writer.wait_closed()
            except OSError:
                pass
            state["done"] += 1

    def report():
        nonlocal said
        now = (state["conns"], state["done"])
        if now != said:
            said = now
            print(f"COUNT {now[0]} {now[1]}", flush=True)
        loop.call_later(0.05, report)

    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)
    plain = await asyncio.start_server(handle, host, 0, backlog=4096)
    tls = await asyncio.start_server(handle, host, 0, backlog=4096, ssl=ctx)
    print(f"READY {plain.sockets[0].getsockname()[1]} {tls.sockets[0].getsockname()[1]}", flush=True)
    report()
    await asyncio.gather(plain.serve_forever(), tls.serve_forever())


# -- the measuring side ------------------------------------------------------


def rss_bytes(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS")


class ServerProcess:
    """The server: COUNT lines carry two counts (connections and bytes read,
    or for the churn server connections accepted and finished)."""

    def __init__(self, loop_name, cpu, extra=()):
        cmd = [sys.executable, os.path.abspath(__file__), "--serve", "--loop", loop_name, "--cpu", str(cpu), *extra]
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True)
        self.sel = selectors.DefaultSelector()
        self.sel.register(self.proc.stdout, selectors.EVENT_READ)
        self.conns = self.bytes = 0
        line = self._line(60)
        if line.startswith("{"):  # the skip line
            self.close()
            raise Skip(line)
        if not line.startswith("READY "):
            self.close()
            raise SystemExit(f"memory.py: server said {line!r}")
        self.ports = [int(x) for x in line.split()[1:]]
        self.port = self.ports[0]

    def _line(self, timeout):
        if not self.sel.select(timeout):
            return ""
        line = self.proc.stdout.readline()
        if not line:
            raise SystemExit(f"memory.py: server exited ({self.proc.wait()})")
        return line.strip()

    def wait_for(self, conns, nbytes, timeout):
        deadline = time.monotonic() + timeout
        while self.conns < conns or self.bytes < nbytes:
            left = deadline - time.monotonic()
            if left <= 0:
                raise SystemExit(
                    f"memory.py: server reached {self.conns} conns, {self.bytes} bytes "
                    f"of {conns}, {nbytes} in {timeout:.0f} s"
                )
            line = self._line(left)
            if line.startswith("COUNT "):
                _, c, b = line.split()
                self.conns, self.bytes = int(c), int(b)

    def settled_rss(self):
        """The RSS once two readings 0.3 s apart agree within 1%."""
        prev = rss_bytes(self.proc.pid)
        for _ in range(20):
            time.sleep(0.3)
            cur = rss_bytes(self.proc.pid)
            if abs(cur - prev) <= prev // 100:
                return cur
            prev = cur
        return prev

    def close(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.sel.close()
        self.proc.stdout.close()


def connect(port):
    s = socket.create_connection(("127.0.0.1", port), timeout=30)
    s.setblocking(True)
    return s


def make_certificate(folder):
    """A self-signed certificate and its key, made now in `folder`."""
    openssl = shutil.which("openssl")
    if openssl is None:
        raise Skip("no openssl command to make the TLS certificate")
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    subprocess.run(
        [openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
        + ["-subj", "/CN=localhost", "-days", "1", "-keyout", key, "-out", cert],
        check=True,
        capture_output=True,
        timeout=30,
    )
    return cert, key


def churn_round(server, count, first, client_ctx):
    """Opens `count` connections (every TLS_EVERY-th over TLS, counting from
    `first`), each sends a request and reads the answer; all are open at once,
    then all are closed. Returns the server's RSS while they were open."""
    request = b"q" * REQUEST
    socks = []
    try:
        for i in range(first, first + count):
            s = connect(server.ports[0] if i % TLS_EVERY else server.ports[1])
            if i % TLS_EVERY == 0:
                s = client_ctx.wrap_socket(s, server_hostname="localhost")
            socks.append(s)
            s.sendall(request)
            got = 0
            while got < RESPONSE:
                chunk = s.recv(RESPONSE - got)
                if not chunk:
                    raise SystemExit("memory.py: the churn server closed a connection early")
                got += len(chunk)
        peak = rss_bytes(server.proc.pid)
    finally:
        for s in socks:
            s.close()
    return peak


def measure_churn(loop_name, count, cpu):
    client_ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    client_ctx.check_hostname = False
    client_ctx.verify_mode = ssl.CERT_NONE
    raise_fd_limit(count)
    with tempfile.TemporaryDirectory(prefix="ombrel-bench-") as folder:
        cert, key = make_certificate(folder)
        server = ServerProcess(loop_name, cpu, ("--churn-server", "--cert", cert, "--key", key))
        try:
            # The warm-up pays for what the first connections cost once
            # (imports, the TLS machinery, free lists).
            churn_round(server, CHURN_WARM, 0, client_ctx)
            server.wait_for(CHURN_WARM, CHURN_WARM, 30)
            time.sleep(IDLE_WAIT)
            base = server.settled_rss()
            peak = churn_round(server, count, CHURN_WARM, client_ctx)
            server.wait_for(CHURN_WARM + count, CHURN_WARM + count, 120)
            time.sleep(IDLE_WAIT)
            after = server.settled_rss()
        finally:
            server.close()
    return {
        "churn_growth_mb": round((after - base) / 1e6, 2),
        "churn_conns": count,
        "churn_rss_base": base,
        "churn_rss_peak": peak,
        "churn_rss_after": after,
    }


def raise_fd_limit(conns):
    """Raises this process's descriptor limit (the server inherits it)."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard < conns + 64:
        raise Skip(f"the descriptor limit ({hard}) is below {conns} connections")
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))


def measure(loop_name, conns, message, cpu):
    raise_fd_limit(conns)
    server = ServerProcess(loop_name, cpu)
    socks = []
    try:
        # A few connections first, so that what the first connection costs
        # once (imports, free lists, the first arena) is in the baseline.
        warm = [connect(server.port) for _ in range(16)]
        for s in warm:
            s.sendall(b"x" * message)
        server.wait_for(16, 16 * message, 30)
        for s in warm:
            s.close()
        time.sleep(0.3)
        base = server.settled_rss()
        for i in range(conns):
            socks.append(connect(server.port))
        server.wait_for(16 + conns, 16 * message, 120)
        idle = server.settled_rss()
        # In batches, each read by the server before the next is sent: the
        # figure is what a connection keeps once its message is handled, not
        # the peak of 10,000 messages arriving at once.
        payload = b"m" * message
        for i in range(0, conns, 64):
            for s in socks[i : i + 64]:
                s.sendall(payload)
            server.wait_for(16 + conns, (16 + i + len(socks[i : i + 64])) * message, 120)
        # Idle for a while: a loop may give back per-connection memory it
        # only needs while data flows.
        time.sleep(IDLE_WAIT)
        after = server.settled_rss()
    finally:
        for s in socks:
            s.close()
        server.close()
    return {
        "idle_kb_per_conn": round((idle - base) / conns / 1000, 2),
        "after_message_kb_per_conn": round((after - base) / conns / 1000, 2),
        "conns": conns,
        "message": message,
        "rss_base": base,
        "rss_idle": idle,
        "rss_after_message": after,
    }


@guarded
def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--loop", choices=LOOPS, required=True)
    p.add_argument("--conns", type=int, default=10000)
    p.add_argument("--message", type=int, default=65536)
    p.add_argument("--cpu", type=int, default=1, help="the server's CPU (this side takes the other)")
    p.add_argument("--churn", type=int, default=2000, help="connections of the churn phase (0: none)")
    p.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    p.add_argument("--churn-server", action="store_true", help=argparse.SUPPRESS)
    p.add_argument("--cert", help=argparse.SUPPRESS)
    p.add_argument("--key", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.serve:
        pin(args.cpu)
        if args.churn_server:
            run(args.loop, serve_churn, "127.0.0.1", args.cert, args.key)
        else:
            run(args.loop, serve, "127.0.0.1")
        return
    pin(0 if args.cpu != 0 else 1)
    out = {"bench": "memory", "loop": args.loop}
    if args.conns > 0:
        out.update(measure(args.loop, args.conns, args.message, args.cpu))
    if args.churn > 0:
        out.update(measure_churn(args.loop, args.churn, args.cpu))
    emit(out)


if __name__ == "__main__":
    main()
