"""The native Loop: running, stopping, closing and the closed state."""

import threading
import time
import weakref

import _ombrel
import pytest

from helpers import RecordingLoop


def test_stop_before_run_forever_runs_one_pass_then_runs_normally(loop):
    ran = []
    loop.stop()
    loop.call_soon(lambda: (ran.append(1), loop.call_soon(ran.append, 2)))
    assert loop.run_forever() is None  # one pass, without waiting
    assert ran == [1]
    loop.call_soon(loop.stop)
    loop.run_forever()
    assert ran == [1, 2]


def test_stop_from_a_callback_finishes_the_pass_and_keeps_new_handles(loop):
    ran = []

    def first():
        ran.append("first")
        loop.stop()
        loop.call_soon(ran.append, "next-pass")

    loop.call_soon(first)
    loop.call_soon(ran.append, "second")
    loop.run_forever()
    assert ran == ["first", "second"]
    assert not loop.is_running()
    loop.call_soon(loop.stop)
    loop.run_forever()
    assert ran == ["first", "second", "next-pass"]


def test_running_state_and_debug_flag(loop):
    seen = []
    loop.call_soon(lambda: seen.append(loop.is_running()))
    loop.call_soon(loop.stop)
    assert not loop.is_running()
    loop.run_forever()
    assert seen == [True]
    assert loop.get_debug() is False
    loop.close()
    assert loop.is_running() is False
    assert loop.get_debug() is False


CLOSED_CALLS = [
    ("call_soon", (print,)),
    ("call_soon_threadsafe", (print,)),
    ("call_later", (1, print)),
    ("call_at", (1, print)),
    ("run_forever", ()),
    ("stop", ()),
    ("time", ()),
]


def test_closed_loop(loop):
    loop.close()
    loop.close()  # twice is fine
    assert loop.is_closed()
    for name, args in CLOSED_CALLS:
        with pytest.raises(RuntimeError, match="^Event loop is closed$"):
            getattr(loop, name)(*args)
    assert loop._timer_handle_cancelled(None) is None


def test_subclass_without_initialiser_behaves_as_closed():
    class NoInit(_ombrel.Loop):
        def __init__(self):
            pass

    lp = NoInit()
    assert lp.is_closed()
    with pytest.raises(RuntimeError, match="Event loop is closed"):
        lp.call_soon(print)
    lp.close()


def test_constructor_arguments_are_ignored_and_reinit_is_refused():
    lp = _ombrel.Loop(1, "two", three=3)
    try:
        assert not lp.is_closed()
        with pytest.raises(RuntimeError):
            lp.__init__()
        assert not lp.is_closed()
        lp.call_soon(lp.stop)
        lp.run_forever()  # the first runtime is still the one in use
    finally:
        lp.close()


def test_time_is_the_monotonic_clock(loop):
    before = time.monotonic()
    values = [loop.time() for _ in range(100)]
    after = time.monotonic()
    assert values == sorted(values)
    assert before - 0.001 <= values[0] and values[-1] <= after + 0.001


def test_close_drops_queued_handles_without_running_them():
    lp = RecordingLoop()

    class Callback:
        def __call__(self):
            raise AssertionError("must not run")

    cb = Callback()
    ref = weakref.ref(cb)
    lp.call_soon(cb)
    lp.call_later(3600, cb)
    del cb
    lp.close()
    assert ref() is None  # the references held by queued handles and timers are gone


def test_idle_loop_blocks_instead_of_spinning(loop):
    # Nothing ready, nothing in flight: the loop must sleep in the kernel
    # until another thread wakes it.
    waker = threading.Timer(0.5, lambda: loop.call_soon_threadsafe(loop.stop))
    cpu0 = time.thread_time()
    wall0 = time.monotonic()
    waker.start()
    loop.run_forever()
    waker.join()
    wall = time.monotonic() - wall0
    cpu = time.thread_time() - cpu0
    assert wall >= 0.4
    assert cpu < wall / 4, f"loop used {cpu:.3f}s of CPU in {wall:.3f}s idle"


def test_threadsafe_call_wakes_a_blocked_loop(loop):
    ran = []

    def from_thread():
        loop.call_soon_threadsafe(ran.append, threading.current_thread().name)
        loop.call_soon_threadsafe(loop.stop)

    t = threading.Thread(target=from_thread, name="helper")
    loop.call_soon(t.start)
    start = time.monotonic()
    loop.run_forever()
    t.join()
    assert ran == ["helper"]
    assert time.monotonic() - start < 30


def test_loop_created_here_runs_in_another_thread():
    import socket

    from helpers import wait_for

    lp = RecordingLoop()
    a, b = socket.socketpair()
    results = []
    fut = lp._sock_recv(a.fileno(), 10)  # started before any thread ran the loop
    lp.call_later(0.01, results.append, "timer")

    def runner():
        b.send(b"hi")
        results.append(wait_for(lp, fut).result())
        lp.call_later(0.05, lp.stop)
        lp.run_forever()

    t = threading.Thread(target=runner)
    t.start()
    t.join(30)
    assert b"hi" in results
    assert "timer" in results
    lp.close()
    a.close()
    b.close()


def test_timers_from_another_thread_are_armed_by_the_loop(loop):
    fired = threading.Event()
    handles = []

    def other():
        handles.append(loop.call_later(0.01, fired.set))
        cancelled = loop.call_later(0.01, pytest.fail)
        cancelled.cancel()
        assert loop.time() > 0  # reads the clock without touching the loop

    loop.call_soon(lambda: threading.Thread(target=other).start())
    loop.call_later(0.3, loop.stop)
    loop.run_forever()
    assert fired.is_set()
    assert handles[0].when() > 0


def test_a_loop_moves_to_another_thread_when_nothing_is_in_flight():
    import socket

    lp = RecordingLoop()
    ran = []

    def first():
        lp.call_soon(ran.append, "thread")
        lp.call_soon(lp.stop)
        lp.run_forever()

    t = threading.Thread(target=first)
    t.start()
    t.join(30)
    lp.call_later(0.01, ran.append, "main")
    lp.call_later(0.02, lp.stop)
    lp.run_forever()  # the ring moves to this thread
    assert ran == ["thread", "main"]

    a, b = socket.socketpair()
    pending = lp._sock_recv(a.fileno(), 1)  # in flight on this thread

    def second():
        lp.call_soon(lp.stop)
        with pytest.raises(RuntimeError, match="operations in flight"):
            lp.run_forever()

    lp.call_soon(lp.stop)
    lp.run_forever()
    t = threading.Thread(target=second)
    t.start()
    t.join(30)
    pending.cancel()
    lp.close()
    a.close()
    b.close()
