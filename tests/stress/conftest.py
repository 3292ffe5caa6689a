"""Shared pieces of the stress runs (make stress).

OMBREL_STRESS_SCALE (default 1) multiplies every count: 0.1 makes a quick
smoke run. OMBREL_STRESS_ROUNDS (default 3) repeats the rounds of the tests
that compare memory across rounds, for a longer soak. Each test's figures (connections held, operations cancelled,
RSS per round) are printed at the end of the run and appended to
build/stress-figures.txt.
"""

import ctypes
import gc
import json
import os
import resource
import sys
import time

import pytest

import _ombrel

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SCALE = float(os.environ.get("OMBREL_STRESS_SCALE", "1"))
ROUNDS_DEFAULT = max(3, int(os.environ.get("OMBREL_STRESS_ROUNDS", "3")))
FIGURES = os.path.join(TOP, "build", "stress-figures.txt")


class RecordingLoop(_ombrel.Loop):
    """The native loop with the one method the package layer supplies."""

    def __init__(self):
        super().__init__()
        self.handler_calls = []

    def call_exception_handler(self, context):
        self.handler_calls.append(context)


def scaled(n, least=1):
    return max(least, int(n * SCALE))


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def raise_nofile(want):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft >= want:
        return
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (want, max(hard, want)))
    except (ValueError, OSError):
        if hard < want:
            pytest.skip(f"RLIMIT_NOFILE cannot reach {want} (hard limit {hard})")
        resource.setrlimit(resource.RLIMIT_NOFILE, (want, hard))


_session_figures = []


def record(name, **figures):
    line = f"[{name}] " + ", ".join(f"{k}={v}" for k, v in figures.items())
    _session_figures.append(line)
    os.makedirs(os.path.dirname(FIGURES), exist_ok=True)
    with open(FIGURES, "a") as f:
        f.write(json.dumps({"test": name, "time": time.strftime("%Y-%m-%d %H:%M:%S"), **figures}) + "\n")


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()
    ]


_libc = ctypes.CDLL(None)
_libc.mallinfo2.restype = _MallInfo2


def c_heap_mb():
    """Bytes the C allocator has handed out and not had back, in all arenas:
    native memory in use, whatever the fragmentation."""
    info = _libc.mallinfo2()
    return (info.uordblks + info.hblkhd) / 2**20


def trimmed_rss_mb():
    """RSS once the C allocator has handed back what it keeps for reuse
    (freed memory that a later round may use again is no leak)."""
    gc.collect()
    _libc.malloc_trim(0)
    return rss_mb()


def rss_stable(after, slack_mb=24):
    """The first rounds warm up allocators and free lists; after them a round
    must not keep memory: the last may exceed the second by at most
    slack_mb plus 5 %."""
    return len(after) < 3 or after[-1] <= after[1] * 1.05 + slack_mb


class Rounds:
    """After each round: RSS, raw and trimmed (see trimmed_rss_mb); the C
    heap in use (c_heap_mb: native memory kept, free of fragmentation); and
    the interpreter's allocated blocks (sys.getallocatedblocks: Python
    objects kept alive). The last two must be flat after the warm-up; RSS
    only within a slack, since allocators keep what they fragment."""

    def __init__(self, name, slack_mb=24):
        self.name, self.slack_mb = name, slack_mb
        self.raw, self.after, self.blocks, self.heap = [], [], [], []

    def done(self):
        gc.collect()
        self.blocks.append(sys.getallocatedblocks())
        self.heap.append(round(c_heap_mb(), 2))
        self.raw.append(round(rss_mb(), 1))
        self.after.append(round(trimmed_rss_mb(), 1))

    def check(self):
        assert rss_stable(self.after, self.slack_mb), f"RSS grew across rounds: {self.after} MB (raw {self.raw})"
        if len(self.blocks) >= 3:
            assert self.heap[-1] <= self.heap[1] * 1.02 + 2, f"native memory kept across rounds: {self.heap} MB"
            assert self.blocks[-1] <= self.blocks[1] * 1.02 + 5000, f"objects kept across rounds: {self.blocks}"
        return {"trimmed": self.after, "raw": self.raw, "c_heap": self.heap, "py_blocks": self.blocks}


@pytest.fixture
def unraisable(monkeypatch):
    """Every unraisable exception (a callback that could not deliver, a
    future resolved twice...) is a failure of the run."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(f"{u.err_msg}: {u.exc_value!r} ({u.object!r})"))
    yield seen
    assert seen == []


@pytest.fixture
def loop(unraisable):
    lp = RecordingLoop()
    yield lp
    lp.close()
    assert lp.handler_calls == []


def spin(loop, seconds=0.001):
    loop.call_later(seconds, loop.stop)
    loop.run_forever()


def run_until(loop, pred, timeout, what="condition", step=0.001):
    deadline = time.monotonic() + timeout
    while not pred():
        if time.monotonic() > deadline:
            raise AssertionError(f"{what} not reached within {timeout} s")
        spin(loop, step)


def pytest_terminal_summary(terminalreporter):
    if _session_figures:
        terminalreporter.section("stress figures")
        for line in _session_figures:
            terminalreporter.write_line(line)
