"""Debug mode: coroutine-origin tracking, thread and callback checks, slow
callbacks, and where a failing callback was scheduled."""

import asyncio
import contextvars
import gc
import logging
import sys
import threading
import weakref

import pytest

pytestmark = pytest.mark.timeout(30)


def run_in_loop(loop, func):
    """Runs func as a callback of the running loop and returns its result or
    raises its exception."""
    outcome = {}

    def call():
        try:
            outcome["result"] = func()
        except Exception as exc:
            outcome["error"] = exc
        loop.stop()

    loop.call_soon(call)
    loop.run_forever()
    if "error" in outcome:
        raise outcome["error"]
    return outcome["result"]


def test_debug_flag_from_environment_and_setter(loop_factory, monkeypatch):
    monkeypatch.setenv("PYTHONASYNCIODEBUG", "1")
    loop = loop_factory()
    try:
        assert loop.get_debug() is True
        loop.set_debug(False)
        assert loop.get_debug() is False
    finally:
        loop.close()


def test_coroutine_origin_tracking_follows_the_run(aloop):
    before = sys.get_coroutine_origin_tracking_depth()
    aloop.set_debug(True)
    assert run_in_loop(aloop, sys.get_coroutine_origin_tracking_depth) > 0
    assert sys.get_coroutine_origin_tracking_depth() == before
    aloop.set_debug(False)
    assert run_in_loop(aloop, sys.get_coroutine_origin_tracking_depth) == before

    async def toggle():
        aloop.set_debug(True)
        await asyncio.sleep(0)
        return sys.get_coroutine_origin_tracking_depth()

    assert aloop.run_until_complete(toggle()) > 0
    assert sys.get_coroutine_origin_tracking_depth() == before


def test_wrong_thread_calls_are_refused_in_debug(aloop):
    def from_other_thread(calls):
        errors = []

        def worker():
            for call in calls:
                try:
                    call().cancel()
                except RuntimeError as exc:
                    errors.append(str(exc))
            aloop.call_soon_threadsafe(print).cancel()

        thread = threading.Thread(target=worker)
        thread.start()
        thread.join()
        return errors

    soon = lambda: aloop.call_soon(print)  # noqa: E731
    # Without debug nothing is checked. (Only call_soon is tried: the native
    # timers assert that they are armed on the loop's own thread.)
    assert run_in_loop(aloop, lambda: from_other_thread([soon])) == []
    aloop.set_debug(True)
    all_three = [soon, lambda: aloop.call_later(10, print), lambda: aloop.call_at(aloop.time() + 10, print)]
    assert (
        run_in_loop(aloop, lambda: from_other_thread(all_three))
        == ["Non-thread-safe operation invoked on an event loop other than the current one"] * 3
    )
    # An idle loop accepts calls from any thread.
    assert from_other_thread([soon]) == []


def test_callback_checks_in_debug(aloop):
    async def coro_func():
        pass

    aloop.set_debug(True)
    with pytest.raises(TypeError, match=r"coroutines cannot be used with call_soon\(\)"):
        aloop.call_soon(coro_func)
    with pytest.raises(TypeError, match=r"expected by call_at\(\), got 42"):
        aloop.call_later(1, 42)
    with pytest.raises(TypeError, match="coroutines cannot be used with call_soon_threadsafe"):
        aloop.call_soon_threadsafe(coro_func)
    with pytest.raises(TypeError, match="run_in_executor"):
        aloop.run_in_executor(None, coro_func)
    with pytest.raises(TypeError, match="when cannot be None"):
        aloop.call_at(None, print)


def test_slow_callbacks_are_logged(aloop, caplog):
    import time

    aloop.set_debug(True)
    aloop.slow_callback_duration = 0.01

    def slow_callback():
        time.sleep(0.03)

    async def slow_task():
        time.sleep(0.03)

    caplog.set_level(logging.WARNING, "asyncio")
    run_in_loop(aloop, lambda: aloop.call_soon(slow_callback))
    run_in_loop(aloop, lambda: aloop.call_later(0, slow_callback))
    aloop.run_until_complete(slow_task())
    messages = [r.getMessage() for r in caplog.records if r.name == "asyncio"]
    for kind in ("<Handle ", "<TimerHandle when="):
        assert any(
            m.startswith("Executing " + kind) and "slow_callback() at " in m and "created at " in m for m in messages
        )
    assert any(m.startswith("Executing <Task") and "slow_task" in m for m in messages)


def test_failing_callback_report_names_where_it_was_scheduled(aloop, caplog):
    def fail(arg):
        raise ValueError(arg)

    aloop.set_debug(True)
    aloop.call_soon(fail, "x")  # this line is named in the report
    aloop.call_soon(aloop.stop)
    aloop.run_forever()
    (record,) = [r for r in caplog.records if r.levelno == logging.ERROR]
    message = record.getMessage()
    assert message.startswith("Exception in callback ")
    assert "fail('x')" in message
    assert "Object created at (most recent call last)" in message
    assert "this line is named in the report" in message


var = contextvars.ContextVar("var", default="unset")


def test_custom_handler_gets_callback_errors_in_their_context(aloop):
    seen = []

    def handler(loop, context):
        seen.append((list(context), var.get(), context["source_traceback"][-1].lineno))

    def fail(*args):
        raise ValueError

    async def main():
        var.set("scheduled")
        aloop.set_exception_handler(handler)
        lines = [sys._getframe().f_lineno + 1]
        aloop.call_soon(fail)
        lines.append(sys._getframe().f_lineno + 1)
        aloop.call_later(0, fail)
        fut = aloop.create_future()
        fut.add_done_callback(fail)
        lines.append(sys._getframe().f_lineno + 1)
        fut.set_result(None)  # schedules the done callback
        var.set("other")
        await asyncio.sleep(0.01)
        return lines

    aloop.set_debug(True)
    lines = aloop.run_until_complete(main())
    keys = ["message", "exception", "handle", "source_traceback"]
    assert sorted(seen, key=lambda s: s[2]) == [(keys, "scheduled", line) for line in lines]


def test_debug_mode_reaches_methods_bound_before_the_switch(aloop):
    call_soon, call_later = aloop.call_soon, aloop.call_later
    aloop.set_debug(True)
    with pytest.raises(TypeError, match="a callable object was expected by call_soon"):
        call_soon(42)
    h, t = call_soon(print, "x"), call_later(10, print)
    assert h._source_traceback[-1].lineno == t._source_traceback[-1].lineno == sys._getframe().f_lineno - 1
    h.cancel()
    t.cancel()
    # Cancelled in debug mode, a handle still names its callback.
    assert repr(h).startswith("<Handle cancelled print('x') created at ")
    aloop.set_debug(False)
    assert call_soon(print)._source_traceback is None


def test_closed_debug_loop_is_freed_without_the_collector(loop_factory):
    gc.disable()
    try:
        loop = loop_factory()
        loop.set_debug(True)
        loop.call_soon(loop.stop)
        loop.run_forever()
        loop.close()
        ref = weakref.ref(loop)
        del loop
        assert ref() is None
    finally:
        gc.enable()
