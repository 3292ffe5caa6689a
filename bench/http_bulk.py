"""Client of the large-body HTTP benchmarks: uploads or downloads bodies of
a fixed size to http_server.py over one keep-alive connection, with plain
blocking sockets (no event loop, so the loop under test is the only one),
and checks every byte count. Prints one JSON line: {"value": MiB/s, ...}.

    python3.14 bench/http_bulk.py --port P --op upload|download
        [--framing sized|chunked] [--size 67108864] [--warmup 1] [--duration 2] [--cpu 0]

upload: POST /upload with Content-Length (sized) or Transfer-Encoding:
chunked (1 MiB chunks); the server answers the byte count it read.
download: GET /download/<size>, sized or chunked by the server.
"""

import argparse
import os
import socket
import time

from benchlib import emit, pin

perf = time.perf_counter
BLOCK = 1 << 20


class Conn:
    def __init__(self, host, port):
        self.sock = socket.create_connection((host, port), timeout=60)
        self.buf = bytearray()  # received, not consumed yet
        self.scratch = bytearray(BLOCK)
        self.view = memoryview(self.scratch)

    def _more(self):
        n = self.sock.recv_into(self.scratch, BLOCK)
        if n == 0:
            raise ConnectionError("the server closed the connection")
        self.buf += self.view[:n]

    def line(self):
        while (i := self.buf.find(b"\r\n")) < 0:
            self._more()
        out = bytes(self.buf[:i])
        del self.buf[: i + 2]
        return out

    def skip(self, n):
        """Consumes n body bytes without keeping them (never reads past them).
        MSG_TRUNC on TCP discards in the kernel without copying, so the
        client spends little of its CPU on the body."""
        take = min(n, len(self.buf))
        del self.buf[:take]
        n -= take
        while n > 0:
            got = self.sock.recv_into(self.scratch, min(n, BLOCK), socket.MSG_TRUNC)
            if got == 0:
                raise ConnectionError("the server closed the connection inside a body")
            n -= got

    def read(self, n):
        while len(self.buf) < n:
            self._more()
        out = bytes(self.buf[:n])
        del self.buf[:n]
        return out

    def response(self):
        """Reads one response; returns (status, headers, body size, small body)."""
        status = int(self.line().split()[1])
        headers = {}
        while line := self.line():
            k, _, v = line.decode("latin-1").partition(":")
            headers[k.strip().lower()] = v.strip()
        if headers.get("transfer-encoding", "").lower() == "chunked":
            total = 0
            while (size := int(self.line().split(b";")[0], 16)) > 0:
                self.skip(size)
                total += size
                if self.line():
                    raise ValueError("no CRLF after a chunk")
            while self.line():  # trailers
                pass
            return status, headers, total, b""
        length = int(headers.get("content-length", "0"))
        if length <= 4096:
            return status, headers, length, self.read(length)
        self.skip(length)
        return status, headers, length, b""


def upload(conn, size, chunked):
    data = memoryview(bytes(range(256)) * (BLOCK // 256))
    head = "POST /upload HTTP/1.1\r\nHost: bench\r\n"
    if chunked:
        conn.sock.sendall((head + "Transfer-Encoding: chunked\r\n\r\n").encode())
        left = size
        while left > 0:
            n = min(left, BLOCK)
            conn.sock.sendall(b"%x\r\n" % n)
            conn.sock.sendall(data[:n])
            conn.sock.sendall(b"\r\n")
            left -= n
        conn.sock.sendall(b"0\r\n\r\n")
    else:
        conn.sock.sendall((head + f"Content-Length: {size}\r\n\r\n").encode())
        left = size
        while left > 0:
            n = min(left, BLOCK)
            conn.sock.sendall(data[:n])
            left -= n
    status, _, _, body = conn.response()
    if status != 200 or int(body or b"-1") != size:
        raise SystemExit(f"upload: status {status}, the server read {body!r} bytes of {size}")


def download(conn, size, chunked):
    conn.sock.sendall(f"GET /download/{size}{'?chunked=1' if chunked else ''} HTTP/1.1\r\nHost: bench\r\n\r\n".encode())
    status, headers, got, _ = conn.response()
    framing = "chunked" if "transfer-encoding" in headers else "sized"
    if status != 200 or got != size or framing != ("chunked" if chunked else "sized"):
        raise SystemExit(f"download: status {status}, {got} bytes of {size}, {framing}")


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--op", choices=("upload", "download"), required=True)
    p.add_argument("--framing", choices=("sized", "chunked"), default="sized")
    p.add_argument("--size", type=int, default=64 << 20)
    p.add_argument("--warmup", type=float, default=1.0)
    p.add_argument("--duration", type=float, default=2.0)
    p.add_argument("--cpu", type=int, default=0)
    args = p.parse_args()
    pin(args.cpu)
    conn = Conn(args.host, args.port)
    op = upload if args.op == "upload" else download
    chunked = args.framing == "chunked"
    end = perf() + args.warmup
    while perf() < end:
        op(conn, args.size, chunked)
    n = 0
    t0, c0 = perf(), os.times()
    while n < 2 or perf() - t0 < args.duration:
        op(conn, args.size, chunked)
        n += 1
    secs, c1 = perf() - t0, os.times()
    # Near 1.0 the client, not the server, would set the rate.
    busy = (c1.user - c0.user + c1.system - c0.system) / secs
    emit(
        {
            "value": n * args.size / secs / 2**20,
            "unit": "MiB/s",
            "transfers": n,
            "bytes": n * args.size,
            "seconds": round(secs, 3),
            "client_cpu_util": round(busy, 3),
        }
    )


if __name__ == "__main__":
    main()
