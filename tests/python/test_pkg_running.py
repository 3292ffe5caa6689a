"""Running, stopping and closing the loop, and run_until_complete."""

import asyncio
import gc
import sys
import threading
import time
import warnings

import _ombrel
import ombrel
import pytest

pytestmark = pytest.mark.timeout(30)


def test_is_a_complete_asyncio_loop():
    loop = ombrel.new_event_loop()
    try:
        assert isinstance(loop, asyncio.AbstractEventLoop)
        assert isinstance(loop, _ombrel.Loop)
        assert repr(loop) == "<Loop running=False closed=False debug=False>"
        # Nothing falls through to the abstract methods.
        abstract = [
            name
            for name, value in vars(asyncio.AbstractEventLoop).items()
            if callable(value) and getattr(ombrel.Loop, name) is value
        ]
        assert abstract == []
        # The native runtime is made once per object.
        with pytest.raises(RuntimeError):
            _ombrel.Loop.__init__(loop)
    finally:
        loop.close()


def test_running_state_running_loop_and_hooks(aloop):
    hooks_before = sys.get_asyncgen_hooks()
    seen = {}

    def probe():
        seen["running"] = aloop.is_running()
        seen["current"] = asyncio.get_running_loop()
        seen["hooks"] = sys.get_asyncgen_hooks()
        aloop.stop()

    aloop.call_soon(probe)
    assert not aloop.is_running()
    aloop.run_forever()
    assert seen["running"] is True
    assert seen["current"] is aloop
    assert seen["hooks"].firstiter is not None
    assert not aloop.is_running()
    assert asyncio._get_running_loop() is None
    assert sys.get_asyncgen_hooks() == hooks_before


def test_stop_before_run_runs_one_full_iteration(aloop):
    ran = []

    def first():
        ran.append("first")
        aloop.call_soon(ran.append, "next")

    aloop.call_soon(first)
    aloop.call_later(-1, ran.append, "due timer")
    aloop.stop()
    aloop.run_forever()
    assert ran == ["first", "due timer"]
    aloop.stop()
    aloop.run_forever()
    assert ran == ["first", "due timer", "next"]


def test_stop_request_does_not_outlive_an_interrupted_run(aloop):
    def stop_then_interrupt():
        aloop.stop()
        raise KeyboardInterrupt

    aloop.call_soon(stop_then_interrupt)
    with pytest.raises(KeyboardInterrupt):
        aloop.run_forever()
    # The next run goes on until told again, as for the standard loop.
    ran = []
    aloop.call_later(0.05, ran.append, "late")
    aloop.call_later(0.06, aloop.stop)
    aloop.run_forever()
    assert ran == ["late"]


def test_a_stop_made_while_the_run_starts_ends_that_run_only(aloop):
    # A signal handler or a finaliser may call stop() at any point while
    # run_forever starts; a profile hook stands in for it, calling stop() at
    # every call until the first callback runs.
    ran = []

    def first():
        sys.setprofile(None)
        ran.append("first")
        aloop.call_soon(ran.append, "second")

    aloop.call_soon(first)
    sys.setprofile(lambda *_: aloop.stop())
    try:
        aloop.run_forever()
    finally:
        sys.setprofile(None)
    assert ran == ["first"]
    # None of those requests outlives the run they ended.
    aloop.call_later(0.05, ran.append, "late")
    aloop.call_later(0.06, aloop.stop)
    aloop.run_forever()
    assert ran == ["first", "second", "late"]


def test_nested_and_concurrent_runs_are_refused(aloop, loop_factory):
    errors = []
    other = loop_factory()
    fut = other.create_future()

    def nested():
        for call in (aloop.run_forever, lambda: aloop.run_until_complete(fut), other.run_forever):
            try:
                call()
            except RuntimeError as exc:
                errors.append(str(exc))
        aloop.stop()

    try:
        aloop.call_soon(nested)
        aloop.run_forever()
    finally:
        other.close()
    assert errors == ["This event loop is already running"] * 2 + [
        "Cannot run the event loop while another loop is running"
    ]


def test_close_refuses_while_running_and_is_idempotent(aloop):
    errors = []

    def try_close():
        try:
            aloop.close()
        except RuntimeError as exc:
            errors.append(str(exc))
        aloop.stop()

    aloop.call_soon(try_close)
    aloop.run_forever()
    assert errors == ["Cannot close a running event loop"]
    aloop.close()
    aloop.close()
    assert aloop.is_closed()
    coro = asyncio.sleep(0)
    for call in (
        lambda: aloop.call_soon(print),
        lambda: aloop.call_later(1, print),
        aloop.run_forever,
        lambda: aloop.run_until_complete(coro),
        lambda: aloop.create_task(coro),
    ):
        with pytest.raises(RuntimeError, match="Event loop is closed"):
            call()
    coro.close()


def test_run_until_complete_results_and_errors(aloop):
    async def answer():
        await asyncio.sleep(0)
        return 42

    async def fail():
        await asyncio.sleep(0)
        raise ValueError("boom")

    assert aloop.run_until_complete(answer()) == 42
    fut = aloop.create_future()
    aloop.call_soon(fut.set_result, "done")
    assert aloop.run_until_complete(fut) == "done"
    with pytest.raises(ValueError, match="boom"):
        aloop.run_until_complete(fail())
    cancelled = aloop.create_future()
    aloop.call_soon(cancelled.cancel)
    with pytest.raises(asyncio.CancelledError):
        aloop.run_until_complete(cancelled)


def test_run_until_complete_propagates_base_exceptions_and_early_stop(aloop):
    async def interrupt():
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        aloop.run_until_complete(interrupt())

    async def stop_early():
        aloop.stop()
        await asyncio.sleep(10)

    task = aloop.create_task(stop_early())
    with pytest.raises(RuntimeError, match="stopped before Future completed"):
        aloop.run_until_complete(task)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        aloop.run_until_complete(task)


def test_unclosed_loop_warns_and_closes(loop_factory):
    loop = loop_factory()
    with pytest.warns(ResourceWarning, match="unclosed event loop"):
        del loop
        gc.collect()


def test_time_follows_the_monotonic_clock(aloop):
    import time

    before = time.monotonic()
    now = aloop.time()
    assert before <= now <= time.monotonic()


def test_other_threads_wake_a_waiting_loop(aloop):
    results = []

    async def double(x):
        await asyncio.sleep(0)
        return 2 * x

    def worker():
        for i in range(50):
            aloop.call_soon_threadsafe(results.append, i)
        # A coroutine submitted from here, its result waited for here.
        results.append(asyncio.run_coroutine_threadsafe(double(21), aloop).result(5))
        aloop.call_soon_threadsafe(aloop.stop)

    # A timer far away: only the wake-ups can end this run early.
    guard = aloop.call_later(20, aloop.stop)
    thread = threading.Thread(target=worker)
    aloop.call_soon(thread.start)
    aloop.run_forever()
    thread.join()
    guard.cancel()
    assert results == list(range(50)) + [42]


def test_asyncgens_are_finalised_by_shutdown_asyncgens(aloop):
    closed = []

    async def agen():
        try:
            yield 1
            yield 2
        finally:
            closed.append("closed")

    async def main():
        gen = agen()
        assert await anext(gen) == 1
        return gen

    gen = aloop.run_until_complete(main())
    assert closed == []
    aloop.run_until_complete(aloop.shutdown_asyncgens())
    assert closed == ["closed"]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        late = aloop.run_until_complete(main())
    assert any("was scheduled after" in str(w.message) for w in caught)
    aloop.run_until_complete(late.aclose())
    assert closed == ["closed", "closed"]


def test_threadsafe_handles_block_cancellation_while_running(aloop):
    # A handle from call_soon_threadsafe is asyncio's thread-safe handle:
    # cancelling it from another thread waits until its callback has run,
    # and a handle cancelled before its turn never runs.
    started, release, finished = threading.Event(), threading.Event(), threading.Event()
    results = []

    def callback():
        started.set()
        release.wait(10)
        time.sleep(0.2)
        results.append("ran")
        finished.set()

    def other():
        handle = aloop.call_soon_threadsafe(callback)
        assert isinstance(handle, asyncio.events._ThreadSafeHandle)
        started.wait(10)
        # Scheduled and cancelled while the loop thread is held in callback.
        skipped = aloop.call_soon_threadsafe(results.append, "never")
        skipped.cancel()
        release.set()
        handle.cancel()
        assert finished.is_set()
        aloop.call_soon_threadsafe(aloop.stop)

    t = threading.Thread(target=other)
    t.start()
    aloop.run_forever()
    t.join(10)
    assert results == ["ran"]
