"""A million timers per round: scheduled with call_later and call_at at
random delays, most cancelled (some twice, some from inside the callback of
a timer due a microsecond earlier); the rest must run exactly once, in
deadline order, and RSS must not grow across rounds."""

import random

from conftest import ROUNDS_DEFAULT, Rounds, record, run_until, scaled, spin

TIMERS = scaled(1_000_000, least=1000)
ROUNDS = ROUNDS_DEFAULT


def timer_round(loop, rnd):
    n = TIMERS
    runs = bytearray(n)
    keep = set(rnd.sample(range(n), n // 50))  # 2 % survive
    now = loop.time()
    handles = []
    for i in range(n):
        delay = rnd.random() * 0.5
        if i & 1:
            handles.append(loop.call_later(delay, runs.__setitem__, i, 1))
        else:
            handles.append(loop.call_at(now + delay, runs.__setitem__, i, 1))
    cancelled = 0
    for i, h in enumerate(handles):
        if i not in keep:
            h.cancel()
            cancelled += 1
            if i % 5 == 0:
                h.cancel()  # twice is harmless
    # Victims due a microsecond after a survivor, cancelled by its callback:
    # many are already completed and queued by then, and must be skipped.
    victims = []

    def survivor_then_cancel(i, victim):
        runs[i] = 1
        victim.cancel()

    for i in sorted(keep)[::3]:
        when = handles[i].when()
        victim = loop.call_at(when + 1e-6, victims.append, i)
        handles[i].cancel()
        handles[i] = loop.call_at(when, survivor_then_cancel, i, victim)
        cancelled += 1
    run_until(loop, lambda: sum(runs[i] for i in keep) == len(keep), 60, "the surviving timers")
    spin(loop, 0.6)
    ran = {i for i in range(n) if runs[i]}
    assert ran == keep, (len(keep - ran), len(ran - keep))
    assert victims == []
    return cancelled + len(keep) // 3, len(ran)


def test_a_million_timers_scheduled_and_cancelled(loop):
    rnd = random.Random(3)
    rounds = Rounds("timers")
    cancelled_total = ran_total = 0
    for _ in range(ROUNDS):
        cancelled, ran = timer_round(loop, rnd)
        cancelled_total += cancelled
        ran_total += ran
        rounds.done()
    record(
        "timers",
        timers_per_round=TIMERS,
        rounds=ROUNDS,
        cancelled=cancelled_total,
        ran=ran_total,
        rss_mb=rounds.check(),
    )


def test_a_million_timers_all_run_exactly_once(loop):
    n = TIMERS
    counts = bytearray(n)
    order = []
    rnd = random.Random(5)
    rounds = Rounds("timers-run")
    for _ in range(ROUNDS):
        counts[:] = bytes(n)
        order.clear()
        start = loop.time() + 0.05
        deadlines = [start + rnd.random() * 0.2 for _ in range(n)]

        def fire(i):
            counts[i] += 1
            order.append(i)

        for i, when in enumerate(deadlines):
            loop.call_at(when, fire, i)
        run_until(loop, lambda: len(order) >= n, 60, "every timer")
        spin(loop, 0.05)
        assert len(order) == n and counts.count(1) == n
        # Timers run in deadline order (equal deadlines in any order).
        ns = [int(d * 1e9) for d in deadlines]  # the clock's resolution: equal ones run in any order
        assert all(ns[a] <= ns[b] for a, b in zip(order, order[1:]))
        rounds.done()
    record("timers-run", timers_per_round=n, rounds=ROUNDS, rss_mb=rounds.check())
