"""Descriptor pollers and child waits."""

import contextvars
import os
import subprocess
import sys

import pytest

from helpers import run_once, wait_for


@pytest.fixture
def pipe():
    r, w = os.pipe()
    yield r, w
    for fd in (r, w):
        try:
            os.close(fd)
        except OSError:
            pass


def run_passes(loop, n):
    """Runs exactly n loop iterations (each one a ready pass)."""
    count = [0]

    def tick():
        count[0] += 1
        if count[0] < n:
            loop.call_soon(tick)
        else:
            loop.stop()

    loop.call_soon(tick)
    loop.run_forever()


def test_readable_fd_calls_back_each_iteration_until_removed(loop, pipe):
    r, w = pipe
    calls = []
    loop._add_poller(r, 0, lambda: calls.append("r"))
    os.write(w, b"x")  # never drained
    run_passes(loop, 6)
    assert 3 <= len(calls) <= 6
    assert loop._remove_poller(r, 0) is True
    assert loop._remove_poller(r, 0) is False
    before = len(calls)
    run_passes(loop, 4)
    assert len(calls) == before


def test_handle_form_queues_its_bound_handle_and_checks_its_arguments(loop, pipe):
    r, w = pipe
    calls = []
    ctx = contextvars.copy_context()
    handle = loop._add_poller(r, 0, calls.append, ("r",), ctx)
    for args, context in [(["r"], ctx), (("r",), {}), (("r",), None)]:
        with pytest.raises(TypeError):
            loop._add_poller(r, 0, calls.append, args, context)
    os.write(w, b"x")  # never drained
    run_passes(loop, 4)
    assert calls and set(calls) == {"r"}  # the failed calls left the registration alone
    assert handle.get_context() is ctx and not handle.cancelled()
    assert loop._remove_poller(r, 0) is True


def test_replacement_and_independent_directions(loop, pipe):
    r, w = pipe
    calls = []
    loop._add_poller(w, 1, lambda: calls.append("first"))
    loop._add_poller(w, 1, lambda: calls.append("second"))
    loop._add_poller(r, 0, lambda: calls.append("read"))
    run_passes(loop, 3)
    assert "first" not in calls and "second" in calls and "read" not in calls
    assert loop._remove_poller(w, 1) is True
    assert loop._remove_poller(w, 0) is False  # the other direction was never registered
    os.write(w, b"x")
    calls.clear()
    run_passes(loop, 3)
    assert set(calls) == {"read"}
    assert loop._remove_poller(r, 0) is True


def test_callback_that_removes_itself(loop, pipe):
    r, w = pipe
    calls = []

    def once():
        calls.append(1)
        assert loop._remove_poller(r, 0)

    loop._add_poller(r, 0, once)
    os.write(w, b"x")
    run_passes(loop, 5)
    assert calls == [1]


def test_raising_callback_stays_armed(loop, pipe, monkeypatch):
    r, w = pipe
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_type))
    loop._add_poller(r, 0, lambda: 1 / 0)
    os.write(w, b"x")
    run_passes(loop, 4)
    assert len(seen) >= 2 and set(seen) == {ZeroDivisionError}
    loop._remove_poller(r, 0)


def test_closed_descriptor_ends_the_registration_silently(loop, pipe):
    r, w = pipe
    calls = []
    loop._add_poller(r, 0, lambda: calls.append(1))
    run_once(loop)
    os.close(w)  # the read end turns readable (EOF) ...
    run_passes(loop, 2)
    loop._remove_poller(r, 0)
    assert calls  # ... and reported


def test_a_forked_child_leaves_the_parents_watches_alone(loop, pipe):
    r, w = pipe
    calls = []
    loop._add_poller(r, 0, lambda: calls.append(1))
    run_once(loop)
    pid = os.fork()
    if pid == 0:  # the watched set is shared with the parent: not to be changed
        os._exit(0 if loop._remove_poller(r, 0) else 1)
    assert os.waitpid(pid, 0)[1] == 0
    os.write(w, b"x")
    run_passes(loop, 3)
    assert calls
    assert loop._remove_poller(r, 0) is True


def test_replaced_and_removed_registrations_hold_no_descriptor(loop, pipe):
    r, _ = pipe
    before = len(os.listdir("/proc/self/fd"))
    for _ in range(300):  # no loop iteration in between: nothing has come back from the ring
        loop._add_poller(r, 0, print)
        loop._add_poller(r, 0, print)
        assert loop._remove_poller(r, 0) is True
    assert len(os.listdir("/proc/self/fd")) == before


def test_remove_on_closed_loop(loop):
    loop.close()
    assert loop._remove_poller(0, 0) is False
    with pytest.raises(RuntimeError, match="Event loop is closed"):
        loop._add_poller(0, 0, print)
    with pytest.raises(RuntimeError, match="Event loop is closed"):
        loop._wait_pid(1)


def test_close_releases_poller_callbacks(pipe):
    import weakref
    from helpers import RecordingLoop

    lp = RecordingLoop()

    class Cb:
        def __call__(self):
            pass

    cb = Cb()
    ref = weakref.ref(cb)
    lp._add_poller(pipe[0], 0, cb)
    del cb
    lp.close()
    assert ref() is None


@pytest.mark.parametrize(
    "code,expect",
    [("import sys; sys.exit(3)", 3), ("import os, signal; os.kill(os.getpid(), signal.SIGKILL)", -9), ("pass", 0)],
)
def test_wait_pid(loop, code, expect):
    proc = subprocess.Popen([sys.executable, "-c", code])
    fut = wait_for(loop, loop._wait_pid(proc.pid), timeout=30)
    assert fut.result() == expect
    proc.returncode = 0  # reaped by the loop already


def test_wait_pid_of_a_stranger(loop):
    fut = wait_for(loop, loop._wait_pid(1))
    exc = fut.exception()
    assert isinstance(exc, OSError)


def test_status_reaped_by_a_cancelled_wait_goes_to_the_next_wait(loop):
    proc = subprocess.Popen([sys.executable, "-c", "import sys; sys.exit(3)"])
    os.waitid(os.P_PID, proc.pid, os.WEXITED | os.WNOWAIT)  # exited, not reaped
    fut = loop._wait_pid(proc.pid)
    assert fut.cancel() is True  # the wait reaps the child at submission anyway
    wait_for(loop, fut)
    assert fut.cancelled()
    fut = loop._wait_pid(proc.pid)
    assert fut.done() and fut.result() == 3
    proc.returncode = 3  # reaped by the loop already
