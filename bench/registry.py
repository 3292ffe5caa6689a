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
CHURN_SECONDS = 15.0  # what memory.py's churn phase takes (2,000 connections)

# Rounds a row runs in by default, by kind: cheap rows get more (and shorter)
# rounds, so that the interval on their ratios is narrow; --rounds overrides.
# Chosen so that the whole suite takes about 12 minutes on two CPUs.
ROUNDS = {"micro": 5, "file_native": 5, "echo": 4, "load": 3, "memory": 1, "http": 3, "bulk": 2}


@dataclass
class Bench:
    name: str
    group: str
    title: str
    kind: str  # micro | echo | http | load | memory | file_native | bulk
    unit: str
    loops: tuple = LOOPS
    params: dict = field(default_factory=dict)
    lower_better: bool = False
    max_rounds: int | None = None  # a cap that --rounds does not lift (the slowest rows)
    rounds: int | None = None  # this row's rounds when --rounds is not given (None: ROUNDS[kind])
    unpinned: str | None = None  # why this row's processes are not pinned to CPUs (None: pinned)
    native: str | None = None  # the row of the native program it is compared with

    def round_count(self, asked=None):
        """How many rounds this row runs in: `asked` (--rounds) or its own
        default, capped by max_rounds."""
        n = asked or self.rounds or ROUNDS.get(self.kind, 3)
        return max(1, min(n, self.max_rounds or n))

    def estimate(self, cfg):
        """Seconds one run is expected to take, startup included (as measured
        on the two-CPU development machine while others built on it)."""
        if self.kind in ("micro", "file_native"):
            return (0.7 if self.name.startswith("fs_") else 0.35) + cfg.micro_warmup + cfg.micro_duration
        if self.kind == "echo":
            return 0.4 + cfg.echo_warmup + cfg.echo_duration
        if self.kind == "load":
            return 1.3 + cfg.load_warmup + cfg.load_duration
        if self.kind == "memory":
            # The three rows of one loop share a run (the churn phase adds its
            # own server): a third of it each.
            return (cfg.memory_seconds + CHURN_SECONDS) / 3
        if self.kind == "bulk":
            return 0.5 + cfg.bulk_warmup + cfg.bulk_duration
        return 0.7 + math.ceil(cfg.http_warmup) + math.ceil(cfg.http_duration)


# The file and fs rows do their work on worker threads (on some loops at
# least): one CPU would serialise them with the loop.
THREADS = "its file operations run on worker threads, which one CPU would serialise with the loop"


def benches():
    out = []
    micro = [
        ("call_soon", "call_soon, bursts of 1000", "calls/s"),
        ("timers_fire", "call_later: 100k timers scheduled and fired", "timers/s"),
        ("timers_cancel", "call_later: 100k timers scheduled and cancelled", "timers/s"),
        ("tasks", "task churn: create + await a trivial coroutine", "tasks/s"),
        ("sock_roundtrip", "sock_sendall/sock_recv 64 B round trips, socketpair", "rt/s"),
        ("reader_pingpong", "add_reader ping-pong of one byte, socketpair", "bounces/s"),
        ("loop_startup", "new loop, one callback run on it, closed", "loops/s"),
    ]
    for name, title, unit in micro:
        out.append(Bench(name, "micro", title, "micro", unit, params={"bench": name}))
    native = {"ombrel": "native"}
    out += [
        Bench(
            "file_pread",
            "file",
            "file 4 KiB random pread x64 (ombrel: ombrel.open().pread; others: to_thread)",
            "micro",
            "reads/s",
            params={"bench": "file_pread", "mode": native},
            native="file_pread_native",
            unpinned=THREADS,
        ),
        Bench(
            "file_pread_native",
            "file",
            "file 4 KiB random pread x64: native io_uring program",
            "file_native",
            "reads/s",
            loops=("native",),
            params={"depth": 64, "block": 4096},
            unpinned="the bound of file_pread, so run as that row is",
        ),
        Bench(
            "file_pread_thread",
            "file",
            "file 4 KiB random pread x64, to_thread(os.pread) on every loop",
            "micro",
            "reads/s",
            params={"bench": "file_pread", "mode": "thread"},
            unpinned=THREADS,
        ),
        Bench(
            "file_pwrite",
            "file",
            "file 1 MiB sequential pwrite (ombrel: ombrel.open().pwrite; others: to_thread)",
            "micro",
            "MiB/s",
            params={"bench": "file_pwrite", "mode": native},
            unpinned=THREADS,
        ),
        Bench(
            "fs_stat",
            "file",
            "fs: stat, 64 tasks (ombrel: ombrel.os; others: aiofiles.os, or the executor call it makes)",
            "micro",
            "stats/s",
            params={"bench": "fs_stat", "mode": "native"},
            unpinned=THREADS,
        ),
        Bench(
            "fs_stat_thread",
            "file",
            "fs: stat, 64 tasks, to_thread(os.stat) on every loop",
            "micro",
            "stats/s",
            params={"bench": "fs_stat", "mode": "thread"},
            unpinned=THREADS,
        ),
        Bench(
            "fs_create_unlink",
            "file",
            "fs: create, write 4 KiB, close, remove, 64 tasks (ombrel: ombrel.open/os; others: aiofiles)",
            "micro",
            "files/s",
            params={"bench": "fs_create_unlink", "mode": "native"},
            unpinned=THREADS,
        ),
        Bench(
            "fs_listdir",
            "file",
            "fs: listdir of 10,000 entries (ombrel: ombrel.os; others: aiofiles.os)",
            "micro",
            "listings/s",
            params={"bench": "fs_listdir", "mode": "native"},
            unpinned=THREADS,
        ),
        Bench(
            "file_pwrite_thread",
            "file",
            "file 1 MiB sequential pwrite, to_thread(os.pwrite) on every loop",
            "micro",
            "MiB/s",
            params={"bench": "file_pwrite", "mode": "thread"},
            unpinned=THREADS,
        ),
    ]
    for size, conns, tag, kinds in (
        (1024, 10, "1k", ("sock", "streams", "protocol", "buffered")),
        (10240, 10, "10k", ("streams", "protocol")),
        (102400, 10, "100k", ("sock", "streams", "protocol")),
    ):
        out.append(
            Bench(
                f"echo_native_{tag}",
                "echo",
                f"echo {tag.upper()} x{conns}: native io_uring server",
                "echo",
                "req/s",
                loops=("native",),
                params={"size": size, "conns": conns},
            )
        )
        for kind in kinds:
            out.append(
                Bench(
                    f"echo_{kind}_{tag}",
                    "echo",
                    f"echo {tag.upper()} x{conns}: {kind}",
                    "echo",
                    "req/s",
                    params={"kind": kind, "size": size, "conns": conns},
                    native=f"echo_native_{tag}",
                )
            )
    # Server CPU per request at one offered load every loop should sustain.
    unit = "us CPU/req"
    out.append(
        Bench(
            "cpu_native_1k",
            "load",
            "echo 1K at a fixed rate: native io_uring server",
            "load",
            unit,
            loops=("native",),
            params={"size": 1024},
            lower_better=True,
        )
    )
    for kind in ("protocol", "streams"):
        out.append(
            Bench(
                f"cpu_{kind}_1k",
                "load",
                f"echo 1K at a fixed rate: {kind}, server CPU per request",
                "load",
                unit,
                params={"kind": kind, "size": 1024},
                lower_better=True,
                native="cpu_native_1k",
            )
        )
    out += [
        Bench(
            "rss_idle_10k",
            "memory",
            "RSS per idle connection, 10,000 connections",
            "memory",
            "KB/conn",
            params={"key": "idle_kb_per_conn", "message": 65536},
            lower_better=True,
            max_rounds=1,
        ),
        Bench(
            "rss_after_64k",
            "memory",
            "RSS per connection after one 64 KiB message each, then idle",
            "memory",
            "KB/conn",
            params={"key": "after_message_kb_per_conn", "message": 65536},
            lower_better=True,
            max_rounds=1,
        ),
        Bench(
            "rss_churn_2k",
            "memory",
            "RSS growth of an idle server once 2,000 connections (10% TLS) came and went",
            "memory",
            "MB",
            params={"key": "churn_growth_mb", "message": 65536},
            lower_better=True,
            max_rounds=1,
        ),
    ]
    out.append(
        Bench("http_aiohttp", "http", "aiohttp GET / keep-alive, wrk x64", "http", "req/s", params={"conns": 64})
    )
    for op in ("upload", "download"):
        for framing in ("sized", "chunked"):
            out.append(
                Bench(
                    f"http_{op}_64m_{framing}",
                    "http",
                    f"aiohttp {op} of 64 MiB bodies, {framing}",
                    "bulk",
                    "MiB/s",
                    params={"op": op, "framing": framing, "size": 64 << 20},
                    max_rounds=2,
                )
            )
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


@dataclass
class Target:
    """ombrel's `metric` on `bench` over the peer's (on `peer_bench`, the same
    row unless given) must be `op` `goal`."""

    bench: str
    peer: str
    op: str  # ">=" or "<="
    goal: float
    metric: str = "median"
    peer_bench: str | None = None
    what: str = ""

    def label(self):
        return self.what or (
            self.bench if self.metric == "median" else f"{self.bench} {self.metric.removesuffix('_us')}"
        )


def at_least(bench, peer, goal, **kw):
    return Target(bench, peer, ">=", goal, **kw)


def at_most(bench, peer, goal, **kw):
    return Target(bench, peer, "<=", goal, **kw)


# The goals ombrel is held to. file_pread's asyncio column is
# asyncio.to_thread(os.pread); "native" peers are the native programs' rows.
# The fs_* rows' other loops run aiofiles (or, where it is not installed,
# the executor calls it makes).
TARGETS = [
    at_least("echo_protocol_1k", "uvloop", 1.5),
    at_least("echo_streams_1k", "uvloop", 1.3),
    at_least("echo_streams_10k", "uvloop", 1.3),
    at_least("echo_protocol_10k", "uvloop", 1.1),
    at_least("echo_sock_1k", "uvloop", 1.5),
    at_least("echo_sock_100k", "uvloop", 1.0),
    at_least("echo_streams_100k", "uvloop", 1.0),
    at_least("echo_protocol_100k", "uvloop", 1.0),
    at_least("echo_protocol_1k", "native", 0.6, peer_bench="echo_native_1k"),
    at_least("call_soon", "uvloop", 1.0),
    at_least("reader_pingpong", "uvloop", 1.0),
    at_least("timers_fire", "uvloop", 1.0),
    at_least("timers_cancel", "uvloop", 1.0),
    at_least("tasks", "uvloop", 1.15),
    at_least("http_aiohttp", "uvloop", 1.2),
    at_least("file_pread", "asyncio", 3.0),
    at_most("cpu_protocol_1k", "uvloop", 0.7, what="cpu_protocol_1k: server CPU/request"),
    at_most("cpu_streams_1k", "uvloop", 0.7, what="cpu_streams_1k: server CPU/request"),
    at_most("cpu_protocol_1k", "uvloop", 1.0, metric="p99_us", what="cpu_protocol_1k: p99 latency"),
    at_most("cpu_streams_1k", "uvloop", 1.0, metric="p99_us", what="cpu_streams_1k: p99 latency"),
    at_most("rss_idle_10k", "uvloop", 1.0),
    at_most("rss_after_64k", "uvloop", 2.0),
    at_most("rss_churn_2k", "uvloop", 1.1),
    at_least("file_pread", "native", 0.5, peer_bench="file_pread_native"),
    at_least("fs_stat", "uvloop", 3.0),
    at_least("fs_stat", "asyncio", 3.0, peer_bench="fs_stat_thread", what="fs_stat over to_thread(os.stat)"),
    at_least("fs_create_unlink", "uvloop", 2.0),
    at_least("fs_listdir", "uvloop", 1.0),
    at_least("http_upload_64m_sized", "uvloop", 1.0),
    at_least("http_upload_64m_chunked", "uvloop", 1.0),
    at_least("http_download_64m_sized", "uvloop", 1.1),
    at_least("http_download_64m_chunked", "uvloop", 1.0),
]
