"""Echo server for the stress runs, in a process of its own (ten thousand
connections need more descriptors than one process may hold for both
ends). Accepts with _sock_accept and echoes through stream transports on
the native loop; each transport closes after the client's end of stream.

With --package, the server is asyncio.start_server on ombrel instead,
echoing through asyncio streams.

Prints the port, then answers each line on standard input with one JSON
line of counters (transports made and lost, how they were lost, loop
exception-handler calls, unraisable errors, RSS before and after
malloc_trim, open descriptors); ends
at the end of its standard input.
"""

import asyncio
import ctypes
import gc
import json
import os
import socket
import sys

import _ombrel


libc = ctypes.CDLL(None)


class MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()
    ]


libc.mallinfo2.restype = MallInfo2


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


class Loop(_ombrel.Loop):
    def __init__(self):
        super().__init__()
        self.handler_calls = []

    def call_exception_handler(self, context):
        self.handler_calls.append(repr(context.get("exception")) + " " + str(context.get("message")))


class Echo(asyncio.Protocol):
    def __init__(self, stats):
        self.stats = stats

    def connection_made(self, transport):
        self.transport = transport
        self.stats["made"] += 1

    def data_received(self, data):
        self.transport.write(data)

    def eof_received(self):
        return None  # close once the echoed bytes are out

    def connection_lost(self, exc):
        self.stats["lost"] += 1
        key = "lost_clean" if exc is None else "lost_" + type(exc).__name__
        self.stats[key] = self.stats.get(key, 0) + 1


def package_main():
    import ombrel

    unraisable = []
    sys.unraisablehook = lambda u: unraisable.append(f"{u.err_msg}: {u.exc_value!r}")
    stats = {"made": 0, "lost": 0, "lost_clean": 0, "accept_errors": []}
    handler_calls = []

    async def echo(reader, writer):
        stats["made"] += 1
        try:
            while data := await reader.read(65536):
                writer.write(data)
                await writer.drain()
            writer.close()
            await writer.wait_closed()
            stats["lost_clean"] += 1
        except Exception as e:
            stats["lost_" + type(e).__name__] = stats.get("lost_" + type(e).__name__, 0) + 1
        finally:
            stats["lost"] += 1

    async def serve():
        loop = asyncio.get_running_loop()
        loop.set_exception_handler(lambda lp, ctx: handler_calls.append(str(ctx.get("message"))))
        server = await asyncio.start_server(echo, "127.0.0.1", 0, backlog=4096)
        print(server.sockets[0].getsockname()[1], flush=True)
        reader = asyncio.StreamReader()
        await loop.connect_read_pipe(lambda: asyncio.StreamReaderProtocol(reader), sys.stdin)
        while await reader.readline():
            gc.collect()
            raw = rss_mb()
            libc.malloc_trim(0)
            report = dict(
                stats,
                handler_calls=handler_calls[:5],
                unraisable=unraisable[:5],
                rss_mb=round(raw, 1),
                rss_trimmed_mb=round(rss_mb(), 1),
                c_heap_mb=round((libc.mallinfo2().uordblks + libc.mallinfo2().hblkhd) / 2**20, 2),
                fds=len(os.listdir("/proc/self/fd")),
            )
            sys.stdout.write(json.dumps(report) + "\n")
            sys.stdout.flush()
        server.close()
        await server.wait_closed()

    ombrel.run(serve())


def main():
    unraisable = []
    sys.unraisablehook = lambda u: unraisable.append(f"{u.err_msg}: {u.exc_value!r}")
    loop = Loop()
    listener = socket.create_server(("127.0.0.1", 0), backlog=4096)
    stats = {"made": 0, "lost": 0, "accept_errors": []}

    def accept_next(fut=None):
        if fut is not None:
            if fut.exception() is not None:
                stats["accept_errors"].append(repr(fut.exception()))
            else:
                sock = socket.socket(fileno=fut.result())
                sock.setblocking(False)
                proto = Echo(stats)
                tr = loop._make_transport(sock, proto, {}, None)
                proto.connection_made(tr)
                tr._start_reading()
        loop._sock_accept(listener.fileno()).add_done_callback(accept_next)

    for _ in range(64):
        accept_next()

    stdin = sys.stdin.fileno()
    os.set_blocking(stdin, False)
    pending = bytearray()

    def on_stdin():
        try:
            chunk = os.read(stdin, 4096)
        except BlockingIOError:
            return
        if not chunk:
            loop._remove_poller(stdin, 0)
            loop.stop()
            return
        pending.extend(chunk)
        while b"\n" in pending:
            del pending[: pending.index(b"\n") + 1]
            gc.collect()
            raw = rss_mb()
            libc.malloc_trim(0)  # what the C allocator keeps for reuse is no leak
            report = dict(
                stats,
                handler_calls=loop.handler_calls[:5],
                unraisable=unraisable[:5],
                rss_mb=round(raw, 1),
                rss_trimmed_mb=round(rss_mb(), 1),
                c_heap_mb=round((libc.mallinfo2().uordblks + libc.mallinfo2().hblkhd) / 2**20, 2),
                fds=len(os.listdir("/proc/self/fd")),
            )
            sys.stdout.write(json.dumps(report) + "\n")
            sys.stdout.flush()

    loop._add_poller(stdin, 0, on_stdin)
    print(listener.getsockname()[1], flush=True)
    loop.run_forever()
    listener.close()
    loop.close()


if __name__ == "__main__":
    package_main() if "--package" in sys.argv[1:] else main()
