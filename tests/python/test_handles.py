"""Handles and the ready queue: order, contexts, errors, cancellation, reuse,
descriptions, weak references."""

import asyncio
import contextvars
import gc
import sys
import types
import weakref

import pytest

from helpers import run_once


def test_order_and_next_pass_scheduling(loop):
    ran = []

    def first():
        ran.append(1)
        loop.call_soon(ran.append, "later")

    loop.call_soon(first)
    loop.call_soon(ran.append, 2)
    loop.call_soon(loop.stop)
    loop.run_forever()
    assert ran == [1, 2]
    run_once(loop)
    assert ran == [1, 2, "later"]


var = contextvars.ContextVar("var", default="unset")


def test_contexts(loop):
    seen = []
    var.set("outer")

    def read_and_write():
        seen.append(var.get())
        var.set("changed")

    loop.call_soon(read_and_write)  # a copy of the current context
    ctx = contextvars.Context()
    loop.call_soon(read_and_write, context=ctx)
    loop.call_soon(read_and_write, context=None)
    run_once(loop)
    assert seen == ["outer", "unset", "outer"]
    assert var.get() == "outer"  # the copies were changed, not ours
    assert ctx[var] == "changed"  # changes stay in the given context


def test_exceptions_go_to_the_handler_and_the_loop_keeps_going(loop):
    ran = []

    def fail():
        raise ValueError("boom")

    h42 = loop.call_soon(42)
    hfail = loop.call_soon(fail)
    loop.call_soon(ran.append, "after")
    run_once(loop)
    assert ran == ["after"]
    assert len(loop.handler_calls) == 2
    first, second = loop.handler_calls
    assert list(first) == ["message", "exception", "handle"]
    assert first["message"] == "Exception in callback 42"
    assert isinstance(first["exception"], TypeError)
    assert first["handle"] is h42
    assert second["message"].startswith("Exception in callback <function")
    assert isinstance(second["exception"], ValueError)
    assert second["handle"] is hfail


def test_callback_whose_description_fails_is_still_reported(loop):
    class Opaque:
        def __repr__(self):
            raise RuntimeError("no repr")

        def __call__(self):
            raise ValueError("called")

    loop.call_soon(Opaque())
    run_once(loop)
    (context,) = loop.handler_calls
    assert context["message"] == "Exception in callback of type Opaque"
    assert isinstance(context["exception"], ValueError)


def cb(*args):
    pass


def test_descriptions_match_asyncio(loop):
    h = loop.call_soon(cb, 1, "x")
    t = loop.call_at(12.5, print)
    assert h._callback is cb and h._args == (1, "x")
    expected = [asyncio.Handle(cb, (1, "x"), loop), asyncio.TimerHandle(12.5, print, (), loop)]
    assert repr(h).startswith("<Handle cb() at ") and repr(h).endswith(f"test_handles.py:{cb.__code__.co_firstlineno}>")
    assert [repr(h), repr(t)] == [repr(e) for e in expected] == [repr(h), "<TimerHandle when=12.5 print()>"]
    for x in (h, t, *expected):
        x.cancel()
    assert (
        [repr(h), repr(t)] == [repr(e) for e in expected] == ["<Handle cancelled>", "<TimerHandle cancelled when=12.5>"]
    )
    assert h._callback is None and h._args is None and h._source_traceback is None


def test_weak_references_die_with_the_handle_not_with_its_reuse(loop):
    ran = []
    h = loop.call_later(100, ran.append, "never")
    ref = weakref.ref(h)
    assert ref() is h
    assert type(h).__basicsize__ == 72  # the weak-reference slot is outside the object
    # A weak reference callback runs while the handle is being destroyed,
    # before it is parked: what it schedules takes another handle.
    refs = [weakref.ref(h, lambda r: ran.append(loop.call_soon(ran.append, "from callback")))]
    h.cancel()
    del h
    assert ref() is None and refs[0]() is None
    scheduled = ran.pop()
    fresh = [loop.call_soon(ran.append, i) for i in range(600)]  # reuses every parked handle
    assert ref() is None and scheduled not in fresh
    run_once(loop)
    assert ran == ["from callback", *range(600)]
    assert all(weakref.ref(x)() is x for x in fresh)


def test_failing_exception_handler_is_unraisable(loop, monkeypatch):
    seen = []
    # Keep copies: the hook's argument is an untracked object, so holding it
    # would keep its reference cycles out of the collector's reach.
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(types.SimpleNamespace(exc_value=u.exc_value)))

    def bad_handler(context):
        raise RuntimeError("handler broke")

    loop.call_exception_handler = bad_handler
    ran = []
    loop.call_soon(lambda: 1 / 0)
    loop.call_soon(ran.append, "still running")
    run_once(loop)
    assert ran == ["still running"]
    assert len(seen) == 1 and isinstance(seen[0].exc_value, RuntimeError)


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
def test_interrupts_propagate_and_the_rest_runs_later(loop, exc):
    ran = []

    def interrupt():
        raise exc()

    loop.call_soon(interrupt)
    loop.call_soon(ran.append, "rest")
    with pytest.raises(exc):
        loop.run_forever()
    assert ran == []
    assert not loop.is_running()
    run_once(loop)
    assert ran == ["rest"]
    assert loop.handler_calls == []


def test_cancel_when_and_run(loop):
    ran = []
    h = loop.call_soon(ran.append, "x")
    assert h.when() == 0.0
    assert not h.cancelled()
    h.cancel()
    h.cancel()
    assert h.cancelled()
    h._run()  # callback gone: nothing happens
    run_once(loop)
    assert ran == []

    h2 = loop.call_soon(ran.append, "direct")
    assert h2._run() is None
    assert ran == ["direct"]
    h2.cancel()


def test_reused_handles_show_no_earlier_state(loop):
    for _ in range(600):  # more than the free list holds
        h = loop.call_later(100, print)
        h.cancel()
        del h
    gc.collect()
    for _ in range(10):
        h = loop.call_soon(print)
        assert not h.cancelled()
        assert h.when() == 0.0
        h.cancel()


def test_many_handles_and_timers_leak_nothing(loop):
    class Token:
        pass

    tokens = [Token() for _ in range(3)]
    refs = [sys.getrefcount(t) for t in tokens]

    def cycle():
        for i in range(2000):
            loop.call_soon(lambda *a: None, tokens[0])
            loop.call_later(0, lambda *a: None, tokens[1])
            loop.call_later(3600, lambda *a: None, tokens[2]).cancel()
        run_once(loop)

    cycle()
    gc.collect()
    count = len(gc.get_objects())
    cycle()
    gc.collect()
    assert len(gc.get_objects()) <= count + 50
    assert [sys.getrefcount(t) for t in tokens] == refs
    obj = Token()
    ref = weakref.ref(obj)
    loop.call_soon(lambda o: None, obj)
    del obj
    run_once(loop)
    assert ref() is None


def test_get_context(loop):
    ctx = contextvars.Context()
    h = loop.call_soon(print, context=ctx)
    assert h.get_context() is ctx
    h.cancel()
    assert h.get_context() is None
