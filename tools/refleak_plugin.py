"""pytest plugin for reference-leak hunting on a debug interpreter, in the
manner of CPython's `-R`: every test runs a few times (setup and teardown
included); after warm-up runs, the growth of sys.gettotalrefcount() and
sys.getallocatedblocks() is recorded per run, and a test whose every counted
run grew is reported as leaking.

    python3.14d -m pytest -p refleak_plugin --refleak=2:3 ...
"""

import gc
import sys

import pytest
from _pytest.runner import runtestprotocol


def pytest_addoption(parser):
    parser.addoption("--refleak", default="2:3", help="WARMUP:RUNS (default 2:3)")


def _counts():
    gc.collect()
    sys._clear_internal_caches() if hasattr(sys, "_clear_internal_caches") else None
    return sys.gettotalrefcount(), sys.getallocatedblocks()


LEAKS = []
REFS_NOISE = 20
BLOCKS_NOISE = 10


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    warmup, runs = (int(x) for x in item.config.getoption("--refleak").split(":"))
    reports = []
    for _ in range(warmup):
        reports = runtestprotocol(item, nextitem=None, log=False)
    deltas = []
    before = _counts()
    for _ in range(runs):
        reports = runtestprotocol(item, nextitem=None, log=False)
        after = _counts()
        deltas.append((after[0] - before[0], after[1] - before[1]))
        before = after
    failed = any(r.failed for r in reports)
    # The harness itself (pytest's reports and logging) leaves a few
    # references per run; a leak in the code under test grows with the work
    # the test does and stays above that.
    refs_leak = all(d[0] > REFS_NOISE for d in deltas)
    blocks_leak = all(d[1] > BLOCKS_NOISE for d in deltas)
    item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
    for r in reports:
        if r.when == "call" and not failed and (refs_leak or blocks_leak):
            r.outcome = "failed"
            r.longrepr = f"leaks: references {[d[0] for d in deltas]}, memory blocks {[d[1] for d in deltas]}"
            LEAKS.append(item.nodeid)
        item.ihook.pytest_runtest_logreport(report=r)
    item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    return True


def pytest_terminal_summary(terminalreporter):
    terminalreporter.write_line(f"reference-leak check: {len(LEAKS)} leaking test(s)")
    for nodeid in LEAKS:
        terminalreporter.write_line(f"  {nodeid}")
