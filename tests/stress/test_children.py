"""A thousand short child processes per round, a hundred alive at a time,
waited for with _wait_pid: exit codes and killing signals come back once per
child, waits cancelled at random leave no zombie behind; then children
through the package's subprocess API with pipes."""

import asyncio
import os
import random
import signal
import sys

from conftest import ROUNDS_DEFAULT, Rounds, open_fds, record, run_until, scaled

CHILDREN = scaled(1000, 20)
AT_ONCE = 100
ROUNDS = ROUNDS_DEFAULT


def spawn(code):
    """A child that exits with `code`, or kills itself when it is negative."""
    script = f"kill -{-code} $$" if code < 0 else f"exit {code}"
    return os.posix_spawn("/bin/sh", ["sh", "-c", script], os.environ)


def no_children_left():
    try:
        os.waitpid(-1, os.WNOHANG)  # reaps a zombie, if there is one: that too is a child left
    except ChildProcessError:
        return True
    return False


def test_a_thousand_children_waited_for(loop):
    rnd = random.Random(41)
    rounds = Rounds("children", slack_mb=16)
    fds = open_fds()
    totals = {"children": 0, "waits_cancelled": 0, "reaped_by_us": 0, "signalled": 0}
    for _ in range(ROUNDS):
        expected, got, cancelled = {}, {}, []
        state = {"spawned": 0, "done": 0}

        def start_one():
            code = rnd.choice([0, 1, 3, 42, 255, -signal.SIGKILL, -signal.SIGTERM])
            pid = spawn(code)
            expected[pid] = code
            state["spawned"] += 1
            fut = loop._wait_pid(pid)
            fut.add_done_callback(lambda f, pid=pid: finished(pid, f))
            if rnd.random() < 0.1:
                cancelled.append(pid)
                if rnd.random() < 0.5:
                    fut.cancel()
                else:
                    loop.call_soon(fut.cancel)

        def finished(pid, fut):
            assert pid not in got, "a wait finished twice"
            got[pid] = "cancelled" if fut.cancelled() else fut.exception() or fut.result()
            state["done"] += 1
            if state["spawned"] < CHILDREN:
                start_one()

        for _ in range(min(AT_ONCE, CHILDREN)):
            start_one()
        run_until(loop, lambda: state["done"] == CHILDREN, 120, "every child")
        reaped_by_us = 0
        for pid, outcome in got.items():
            if outcome == "cancelled":
                assert pid in cancelled
                # Either the ring reaped it before the cancellation took, or
                # it is still ours to reap: never both, never neither.
                try:
                    _, status = os.waitpid(pid, 0)
                    reaped_by_us += 1
                    assert os.waitstatus_to_exitcode(status) == expected[pid]
                except ChildProcessError:
                    pass
            else:
                assert outcome == expected[pid], (pid, outcome, expected[pid])
        assert no_children_left()
        totals["children"] += CHILDREN
        totals["waits_cancelled"] += sum(1 for o in got.values() if o == "cancelled")
        totals["reaped_by_us"] += reaped_by_us
        totals["signalled"] += sum(1 for c in expected.values() if c < 0)
        rounds.done()
    assert open_fds() == fds
    record("children", rounds=ROUNDS, **totals, rss_mb=rounds.check())


def test_children_through_the_package(unraisable):
    import ombrel

    n = scaled(300, 10)

    async def one(i):
        proc = await asyncio.create_subprocess_exec(
            sys.executable,
            "-c",
            f"import sys; sys.stdout.write('child {i}'); sys.exit({i % 5})",
            stdout=asyncio.subprocess.PIPE,
        )
        out, _ = await proc.communicate()
        return out, proc.returncode

    async def main():
        sem = asyncio.Semaphore(32)

        async def limited(i):
            async with sem:
                return await one(i)

        return await asyncio.gather(*(limited(i) for i in range(n)))

    results = ombrel.run(main())
    assert results == [(f"child {i}".encode(), i % 5) for i in range(n)]
    assert no_children_left()
    record("children-package", children=n)
