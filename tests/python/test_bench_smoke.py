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


def test_ratios_intervals_targets_and_schedule():
    """Per-round ratios pair the rounds both sides ran; the bootstrap interval
    is seeded and holds the median; a goal inside the interval is undecided;
    a row with fewer rounds runs in the first and spread over the rest."""
    sys.path.insert(0, BENCH)
    import registry
    import report
    import run

    def rec(loop, rnd, value):
        return {"status": "ok", "bench": "x", "loop": loop, "round": rnd, "value": value, "metrics": {}}

    ombrel = [110, 105, 120, 100, 115]
    records = [rec("ombrel", i, v) for i, v in enumerate(ombrel)] + [rec("uvloop", i, 100) for i in range(6)]
    assert report.round_ratios(records, "x", "ombrel", "uvloop") == [v / 100 for v in ombrel]
    st = report.ratio_stats(records, "x", "ombrel", "uvloop")
    assert st["rounds"] == 5 and st["ratio"] == 1.1
    assert 1.0 <= st["low"] < 1.1 < st["high"] <= 1.2
    assert report.ratio_stats(records, "x", "ombrel", "uvloop") == st
    assert [report.verdict(op, goal, st) for op, goal in ((">=", 0.9), (">=", 1.1), (">=", 1.3), ("<=", 1.3))] == [
        "met",
        "undecided",
        "missed",
        "met",
    ]
    one = report.ratio_stats(records[:1] + records[5:], "x", "ombrel", "uvloop")
    assert one["low"] is None and report.verdict(">=", 1.05, one) == "met"
    assert report.verdict(">=", 1.0, None) == "missed"

    rows = [registry.Bench(n, "g", n, "micro", "u") for n in ("a", "b", "c")]
    plan = run.schedule(rows, {"a": 7, "b": 2, "c": 1}, 7)
    assert [sorted(p) for p in plan].count(["a"]) == 5
    assert plan[0] == {"a", "b", "c"} and sum("b" in p for p in plan[1:]) == 1
    assert sum("c" in p for p in plan) == 1 and all("a" in p for p in plan)
