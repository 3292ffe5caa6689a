"""The benchmarks the suite runs and the targets ombrel is held to.

A Bench names a row of the table: which runner measures it (kind), in what
unit, on which loops, with what parameters. The runners live in runners.py,
the table and chart in report.py, the rounds in run.py.
"""

import fnmatch
import math
import sys
from dataclasses import dataclass, field

LOOPS = ("ombrel", "uvloop", "asyncio")


@dataclass
class Bench:
    name: str
    group: str
    title: str
    kind: str  # micro | echo | http
    unit: str
    loops: tuple = LOOPS
    params: dict = field(default_factory=dict)

    def estimate(self, cfg):
        """Seconds one run is expected to take, startup included."""
        if self.kind == "micro":
            return 0.2 + cfg.micro_warmup + cfg.micro_duration
        if self.kind == "echo":
            return 0.6 + cfg.echo_warmup + cfg.echo_duration  # server start included
        return 0.3 + math.ceil(cfg.http_warmup) + math.ceil(cfg.http_duration)


def benches():
    out = []
    micro = [
        ("call_soon", "call_soon, bursts of 1000", "calls/s"),
        ("timers_fire", "call_later: 100k timers scheduled and fired", "timers/s"),
        ("timers_cancel", "call_later: 100k timers scheduled and cancelled", "timers/s"),
        ("tasks", "task churn: create + await a trivial coroutine", "tasks/s"),
        ("sock_roundtrip", "sock_sendall/sock_recv 64 B round trips, socketpair", "rt/s"),
    ]
    for name, title, unit in micro:
        out.append(Bench(name, "micro", title, "micro", unit, params={"bench": name}))
    native = {"ombrel": "native"}
    out += [
        Bench("file_pread", "file", "file 4 KiB random pread x64 (ombrel: ombrel.open().pread; others: to_thread)",
              "micro", "reads/s", params={"bench": "file_pread", "mode": native}),
        Bench("file_pread_thread", "file", "file 4 KiB random pread x64, to_thread(os.pread) on every loop",
              "micro", "reads/s", params={"bench": "file_pread", "mode": "thread"}),
        Bench("file_pwrite", "file", "file 1 MiB sequential pwrite (ombrel: ombrel.open().pwrite; others: to_thread)",
              "micro", "MiB/s", params={"bench": "file_pwrite", "mode": native}),
        Bench("file_pwrite_thread", "file", "file 1 MiB sequential pwrite, to_thread(os.pwrite) on every loop",
              "micro", "MiB/s", params={"bench": "file_pwrite", "mode": "thread"}),
    ]
    for size, conns, tag, kinds in ((1024, 10, "1k", ("sock", "streams", "protocol", "buffered")),
                                    (10240, 10, "10k", ("streams", "protocol")),
                                    (102400, 10, "100k", ("sock", "streams", "protocol"))):
        out.append(Bench(f"echo_native_{tag}", "echo", f"echo {tag.upper()} x{conns}: native io_uring server",
                         "echo", "req/s", loops=("native",), params={"size": size, "conns": conns}))
        for kind in kinds:
            out.append(Bench(f"echo_{kind}_{tag}", "echo", f"echo {tag.upper()} x{conns}: {kind}", "echo", "req/s",
                             params={"kind": kind, "size": size, "conns": conns}))
    out.append(Bench("http_aiohttp", "http", "aiohttp GET / keep-alive, wrk x64", "http", "req/s",
                     params={"conns": 64}))
    return out


def select(all_benches, only):
    if not only:
        return all_benches
    pats = [p.strip() for p in only.split(",") if p.strip()]
    picked = [b for b in all_benches if any(p == b.group or fnmatch.fnmatchcase(b.name, p) for p in pats)]
    unknown = [p for p in pats if not any(p == b.group or fnmatch.fnmatchcase(b.name, p) for b in all_benches)]
    if unknown:
        sys.exit(f"run.py: --only: nothing matches {', '.join(unknown)} (try --list)")
    return picked



# The goals ombrel is held to: (benchmark, numerator, denominator, least ratio).
# file_pread's asyncio column is asyncio.to_thread(os.pread).
TARGETS = [
    ("echo_protocol_1k", "ombrel", "uvloop", 1.5),
    ("echo_streams_1k", "ombrel", "uvloop", 1.3),
    ("echo_streams_10k", "ombrel", "uvloop", 1.3),
    ("echo_sock_1k", "ombrel", "uvloop", 1.5),
    ("echo_sock_100k", "ombrel", "uvloop", 1.0),
    ("echo_streams_100k", "ombrel", "uvloop", 1.0),
    ("echo_protocol_100k", "ombrel", "uvloop", 1.0),
    ("echo_protocol_1k", "ombrel", "native", 0.6),
    ("call_soon", "ombrel", "uvloop", 1.0),
    ("timers_fire", "ombrel", "uvloop", 1.0),
    ("timers_cancel", "ombrel", "uvloop", 1.0),
    ("tasks", "ombrel", "uvloop", 1.0),
    ("http_aiohttp", "ombrel", "uvloop", 1.2),
    ("file_pread", "ombrel", "asyncio", 3.0),
]
