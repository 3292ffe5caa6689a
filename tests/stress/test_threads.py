"""call_soon_threadsafe from eight threads at once, while the loop runs and
sleeps; timers scheduled from those threads too. Every callback runs
exactly once, each thread's callbacks in the order it scheduled them."""

import threading
import time

from conftest import ROUNDS_DEFAULT, Rounds, record, run_until, scaled, spin

THREADS = 8
PER_THREAD = scaled(50000, 100)
ROUNDS = ROUNDS_DEFAULT


def test_call_soon_threadsafe_from_eight_threads(loop):
    # How far the producers get ahead of the loop varies from round to round,
    # and so does the peak of queued handles and what the allocators keep of it.
    rounds = Rounds("threadsafe", slack_mb=64)
    total = 0
    for r in range(ROUNDS):
        seen = [[] for _ in range(THREADS)]
        timers = [[] for _ in range(THREADS)]
        go = threading.Barrier(THREADS + 1)
        errors = []

        def producer(t):
            try:
                go.wait(10)
                append = seen[t].append
                for i in range(PER_THREAD):
                    loop.call_soon_threadsafe(append, i)
                    if i % 1000 == 0:
                        # A timer from this thread: armed by the loop thread.
                        loop.call_later(0.001 * (i % 7), timers[t].append, i)
            except Exception as e:  # reported below
                errors.append(e)

        threads = [threading.Thread(target=producer, args=(t,)) for t in range(THREADS)]
        for th in threads:
            th.start()
        go.wait(10)
        # The loop runs, sleeps in its waiting tick and is woken by the
        # producers, over and over, while they schedule.
        run_until(loop, lambda: not any(th.is_alive() for th in threads) or errors, 120, "the producers", step=0.002)
        for th in threads:
            th.join(10)
        spin(loop, 0.02)
        run_until(loop, lambda: all(len(s) == PER_THREAD for s in seen), 60, "every callback")
        run_until(loop, lambda: sum(map(len, timers)) == THREADS * len(range(0, PER_THREAD, 1000)), 60, "every timer")
        spin(loop, 0.02)
        assert errors == []
        for t in range(THREADS):
            assert seen[t] == list(range(PER_THREAD)), f"thread {t}: lost, doubled or reordered callbacks"
            assert sorted(timers[t]) == list(range(0, PER_THREAD, 1000))
        total += THREADS * PER_THREAD
        del seen
        rounds.done()
    record("threadsafe", threads=THREADS, callbacks=total, rounds=ROUNDS, rss_mb=rounds.check())


def test_stop_and_wake_from_threads_while_running(loop):
    """Threads stop the loop and schedule work while the main thread keeps
    restarting it: no wake-up is lost (the run ends), nothing runs twice."""
    n = scaled(20000, 200)
    ran = []
    done = threading.Event()

    def stopper():
        for i in range(n):
            loop.call_soon_threadsafe(ran.append, i)
            if i % 100 == 0:
                loop.call_soon_threadsafe(loop.stop)
                time.sleep(0.0002)  # let the loop run, sleep and be woken in between
        done.set()
        loop.call_soon_threadsafe(loop.stop)

    th = threading.Thread(target=stopper)
    th.start()
    restarts = guard_hits = 0

    def guard():
        nonlocal guard_hits
        guard_hits += 1
        loop.stop()

    while not (done.is_set() and len(ran) == n):
        bound = loop.call_later(5, guard)  # ends a run that slept through a stop
        loop.run_forever()
        bound.cancel()
        restarts += 1
    th.join(10)
    spin(loop, 0.01)
    assert ran == list(range(n))
    assert guard_hits == 0, "a stop from another thread did not wake the loop"
    record("stop-from-threads", callbacks=n, runs=restarts)
