"""Memory per connection: the resident set a stream server on one loop holds
for each idle connection, and for each connection that received one message
and went idle again.

    python3.14 bench/memory.py --loop ombrel|uvloop|asyncio [--conns 10000] [--message 65536]

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
"""

import argparse
import asyncio
import os
import resource
import selectors
import socket
import subprocess
import sys
import time

from benchlib import LOOPS, Skip, emit, guarded, pin, run

READ_SIZE = 65536
IDLE_WAIT = 2.0  # seconds without traffic before "gone idle again" is measured


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


# -- the measuring side ------------------------------------------------------


def rss_bytes(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS")


class ServerProcess:
    def __init__(self, loop_name, cpu):
        cmd = [sys.executable, os.path.abspath(__file__), "--serve", "--loop", loop_name, "--cpu", str(cpu)]
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
        self.port = int(line.split()[1])

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


def measure(loop_name, conns, message, cpu):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard < conns + 64:
        raise Skip(f"the descriptor limit ({hard}) is below {conns} connections")
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
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
    p.add_argument("--serve", action="store_true", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.serve:
        pin(args.cpu)
        run(args.loop, serve, "127.0.0.1")
        return
    pin(0 if args.cpu != 0 else 1)
    emit({"bench": "memory", "loop": args.loop, **measure(args.loop, args.conns, args.message, args.cpu)})


if __name__ == "__main__":
    main()
