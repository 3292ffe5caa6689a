"""Timer handles: scheduling, when(), cancellation, order."""

import math

import pytest

from helpers import run_once


def run_until(loop, predicate, limit=5.0):
    """Runs the loop in short slices until predicate() or the limit (a hang bound)."""
    deadline = loop.time() + limit
    while not predicate() and loop.time() < deadline:
        loop.call_later(0.01, loop.stop)
        loop.run_forever()
    return predicate()


def test_negative_and_zero_delays_run_after_the_next_tick(loop):
    ran = []
    before = loop.time()
    h = loop.call_later(-5, ran.append, "neg")
    after = loop.time()
    assert before <= h.when() <= after
    loop.call_later(0, ran.append, "zero")
    assert run_until(loop, lambda: len(ran) == 2)
    assert ran == ["neg", "zero"]


def test_when_of_call_later(loop):
    before = loop.time()
    h = loop.call_later(0.5, print)
    after = loop.time()
    assert before + 0.5 <= h.when() <= after + 0.5
    h.cancel()
    big = loop.call_later(1e300, print)
    assert big.when() == pytest.approx(loop.time() + 1e300)
    big.cancel()


def test_call_at_in_the_past(loop):
    ran = []
    h0 = loop.call_at(0, ran.append, "zero")
    past = loop.time() - 10
    hp = loop.call_at(past, ran.append, "past")
    assert h0.when() == 0.0
    assert hp.when() == past
    assert run_until(loop, lambda: len(ran) == 2)
    assert sorted(ran) == ["past", "zero"]


def test_timer_fires_after_its_delay(loop):
    ran = []
    start = loop.time()
    loop.call_later(0.05, lambda: ran.append(loop.time()))
    assert run_until(loop, lambda: ran)
    assert ran[0] >= start + 0.05


def test_infinite_delays_never_fire(loop):
    ran = []
    h = loop.call_later(math.inf, ran.append, "inf")
    assert h.when() == math.inf
    loop.call_later(0.02, loop.stop)
    loop.run_forever()
    assert ran == []
    h.cancel()


def test_cancelled_armed_timer_never_runs(loop):
    ran = []
    h = loop.call_later(0.01, ran.append, "x")
    h.cancel()
    assert h.cancelled()
    loop.call_later(0.05, loop.stop)
    loop.run_forever()
    assert ran == []


def test_cancel_after_firing_but_before_its_pass_skips_it(loop):
    ran = []
    timer = loop.call_at(0, ran.append, "timer")
    # Queued before the tick that fires the timer, so it runs first in the
    # pass that also holds the fired timer handle.
    loop.call_soon(timer.cancel)
    loop.call_soon(ran.append, "soon")
    run_once(loop)
    run_once(loop)
    assert ran == ["soon"]


def test_equal_deadlines_keep_order_after_queued_handles(loop):
    ran = []
    loop.call_soon(ran.append, "queued")
    when = loop.time() - 1
    for name in "abcde":
        loop.call_at(when, ran.append, name)
    run_once(loop)
    assert ran == ["queued", *"abcde"]


def test_timer_handle_cancelled_hook(loop):
    h = loop.call_later(10, print)
    assert loop._timer_handle_cancelled(h) is None
    assert loop._timer_handle_cancelled(42) is None
    h.cancel()


def test_call_later_from_another_thread(loop):
    import threading

    ran, handles = [], []
    run_until(loop, lambda: True)  # the loop has run on this thread: others are foreign

    def schedule():
        before = loop.time()
        handles.append((before, loop.call_later(0.02, ran.append, "late"), loop.time()))

    t = threading.Thread(target=schedule)
    t.start()
    t.join()
    before, h, after = handles[0]
    assert before + 0.02 <= h.when() <= after + 0.02
    assert run_until(loop, lambda: ran)
    assert ran == ["late"] and loop.time() >= h.when()
