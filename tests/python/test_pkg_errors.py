"""The exception handler: the default log format, custom handlers, and the
errors of callbacks and tasks that reach it."""

import gc
import logging

import pytest

from helpers import run_once

pytestmark = pytest.mark.timeout(30)


def error_records(caplog):
    return [r for r in caplog.records if r.name == "asyncio" and r.levelno == logging.ERROR]


def test_default_handler_log_format(aloop, caplog):
    exc = ValueError("bad")
    aloop.call_exception_handler(
        {
            "message": "Something failed",
            "exception": exc,
            "zeta": "last",
            "alpha": 1,
        }
    )
    aloop.call_exception_handler({"future": "f"})
    first, second = error_records(caplog)
    # The message, then the other keys sorted, each as "key: repr(value)".
    assert first.getMessage() == "Something failed\nalpha: 1\nzeta: 'last'"
    assert first.exc_info[1] is exc
    assert second.getMessage() == "Unhandled exception in event loop\nfuture: 'f'"
    assert not second.exc_info


def test_callback_errors_are_logged_and_the_loop_goes_on(aloop, caplog):
    ran = []

    def fail():
        raise ZeroDivisionError("in callback")

    run_once(aloop, fail, lambda: ran.append("after"))
    assert ran == ["after"]
    (record,) = error_records(caplog)
    assert record.getMessage().startswith("Exception in callback ")
    # The handle line names the callback, as asyncio's handles do.
    assert "\nhandle: <Handle " in record.getMessage()
    assert ".fail() at " in record.getMessage()
    assert isinstance(record.exc_info[1], ZeroDivisionError)


def test_custom_handler_receives_loop_and_context(aloop):
    calls = []
    handler = lambda loop, context: calls.append((loop, context))  # noqa: E731
    aloop.set_exception_handler(handler)
    assert aloop.get_exception_handler() is handler

    def fail():
        raise KeyError("k")

    run_once(aloop, fail)
    ((loop, context),) = calls
    assert loop is aloop
    assert isinstance(context["exception"], KeyError)
    assert {"message", "exception", "handle"} <= context.keys()
    aloop.set_exception_handler(None)
    assert aloop.get_exception_handler() is None
    with pytest.raises(TypeError, match="A callable object or None"):
        aloop.set_exception_handler("not callable")


def test_failing_custom_handler_falls_back_to_the_default(aloop, caplog):
    def bad_handler(loop, context):
        raise RuntimeError("handler broke")

    aloop.set_exception_handler(bad_handler)
    aloop.call_exception_handler({"message": "original"})
    (record,) = error_records(caplog)
    assert record.getMessage().startswith("Unhandled error in exception handler\ncontext: {'message': 'original'}")
    assert isinstance(record.exc_info[1], RuntimeError)


def test_failing_default_handler_is_contained(aloop, caplog):
    def broken_default(context):
        raise RuntimeError("default broke")

    aloop.default_exception_handler = broken_default
    aloop.call_exception_handler({"message": "x"})
    (record,) = error_records(caplog)
    assert record.getMessage() == "Exception in default exception handler"


def test_base_exceptions_escape_the_handler(aloop):
    def interrupting(loop, context):
        raise KeyboardInterrupt

    aloop.set_exception_handler(interrupting)
    with pytest.raises(KeyboardInterrupt):
        aloop.call_exception_handler({"message": "x"})


def test_unretrieved_task_exception_is_reported(aloop, caplog):
    async def fail():
        raise OSError("never awaited")

    task = aloop.create_task(fail())
    run_once(aloop)
    assert task.done()
    del task
    gc.collect()
    (record,) = error_records(caplog)
    assert record.getMessage().startswith("Task exception was never retrieved")
    assert isinstance(record.exc_info[1], OSError)
