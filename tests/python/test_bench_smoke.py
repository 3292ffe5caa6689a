"""The benchmark programs still run on ombrel: each micro-benchmark briefly,
each echo server style and the HTTP server answering one client. Numbers are
not looked at (that is `make bench`); a broken program is."""

import json
import os
import socket
import subprocess
import sys

import pytest

pytestmark = pytest.mark.timeout(120)

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BENCH = os.path.join(TOP, "bench")


def env():
    paths = [os.path.join(BENCH)] + sys.path
    return dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in paths if p))


def test_micro_benchmarks_run():
    for name in ("call_soon", "timers_fire", "timers_cancel", "tasks", "sock_roundtrip"):
        out = subprocess.run(
            [
                sys.executable,
                os.path.join(BENCH, "micro.py"),
                "--loop",
                "ombrel",
                "--bench",
                name,
                "--duration",
                "0.05",
                "--warmup",
                "0",
                "--timers",
                "2000",
            ],
            env=env(),
            capture_output=True,
            text=True,
            timeout=60,
        )
        assert out.returncode == 0, (name, out.stderr)
        result = json.loads(out.stdout.strip().splitlines()[-1])
        assert result["value"] > 0, (name, result)


def serve(script, *args):
    proc = subprocess.Popen(
        [sys.executable, os.path.join(BENCH, script), "--loop", "ombrel", "--cpu", "-1", *args],
        env=env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    line = proc.stdout.readline()
    if not line.startswith("READY "):
        proc.kill()
        pytest.fail(f"{script} {args}: {line!r} {proc.communicate(timeout=10)[1]}")
    return proc, int(line.split()[1])


@pytest.mark.parametrize("kind", ["sock", "streams", "protocol", "buffered"])
def test_echo_servers_echo(kind):
    proc, port = serve("echo_server.py", "--kind", kind)
    try:
        msg = bytes(range(256)) * 400  # 100 KiB: more than one receive
        with socket.create_connection(("127.0.0.1", port), timeout=30) as c:
            for _ in range(3):
                c.sendall(msg)
                got = bytearray()
                while len(got) < len(msg):
                    chunk = c.recv(1 << 16)
                    assert chunk, "the server closed the connection"
                    got += chunk
                assert got == msg
    finally:
        proc.kill()
        proc.communicate(timeout=10)


def test_http_server_answers():
    pytest.importorskip("aiohttp")
    proc, port = serve("http_server.py")
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=30) as c:
            c.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
            reply = bytearray()
            while chunk := c.recv(4096):
                reply += chunk
        assert reply.startswith(b"HTTP/1.1 200") and reply.endswith(b"Hello, World!")
    finally:
        proc.kill()
        proc.communicate(timeout=10)
