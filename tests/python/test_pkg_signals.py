"""Signal handlers, SIGINT and KeyboardInterrupt, with real signals sent to
this process, on both loops."""

import asyncio
import os
import signal
import threading

import pytest

from helpers import run

pytestmark = pytest.mark.timeout(30)


def kill_later(sig, delay=0.1):
    """Sends sig to this process from another thread while the loop waits."""
    t = threading.Timer(delay, os.kill, (os.getpid(), sig))
    t.start()
    return t


@pytest.fixture(autouse=True)
def restore_signals():
    saved = {s: signal.getsignal(s) for s in (signal.SIGUSR1, signal.SIGUSR2, signal.SIGINT, signal.SIGHUP)}
    # A run started in the background inherits SIGINT ignored; the tests
    # expect what an interactive process has.
    if saved[signal.SIGINT] is signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    for s, h in saved.items():
        signal.signal(s, h)
    signal.set_wakeup_fd(-1)


def test_handlers_run_as_loop_callbacks_with_their_arguments(aloop):
    calls = []

    def handler(*args):
        calls.append((args, threading.get_ident(), asyncio.get_running_loop()))

    async def main():
        aloop.add_signal_handler(signal.SIGUSR1, handler, "one", 1)
        aloop.add_signal_handler(signal.SIGUSR2, handler, "two")
        # Sent from inside a callback and from another thread.
        os.kill(os.getpid(), signal.SIGUSR1)
        kill_later(signal.SIGUSR2, 0.05)
        while len(calls) < 2:
            await asyncio.sleep(0.01)
        # A replacement takes over.
        aloop.add_signal_handler(signal.SIGUSR1, handler, "new")
        os.kill(os.getpid(), signal.SIGUSR1)
        while len(calls) < 3:
            await asyncio.sleep(0.01)

    run(aloop, main())
    assert [c[0] for c in calls] == [("one", 1), ("two",), ("new",)]
    assert {c[1] for c in calls} == {threading.get_ident()}
    assert all(c[2] is aloop for c in calls)


def test_signals_sent_while_the_loop_is_idle_are_handled_on_the_next_run(aloop):
    calls = []
    aloop.add_signal_handler(signal.SIGHUP, calls.append, "hup")
    os.kill(os.getpid(), signal.SIGHUP)  # does not terminate the process

    async def main():
        while not calls:
            await asyncio.sleep(0.01)

    run(aloop, main())
    assert calls == ["hup"]


def test_remove_restores_the_defaults(aloop):
    aloop.add_signal_handler(signal.SIGUSR1, lambda: None)
    aloop.add_signal_handler(signal.SIGINT, lambda: None)
    assert signal.getsignal(signal.SIGUSR1) not in (signal.SIG_DFL, None)
    assert aloop.remove_signal_handler(signal.SIGUSR1) is True
    assert aloop.remove_signal_handler(signal.SIGUSR1) is False
    assert signal.getsignal(signal.SIGUSR1) == signal.SIG_DFL
    assert signal.set_wakeup_fd(-1) != -1  # one handler left: still woken
    aloop.add_signal_handler(signal.SIGUSR2, lambda: None)
    assert aloop.remove_signal_handler(signal.SIGINT) is True
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    assert aloop.remove_signal_handler(signal.SIGUSR2) is True
    assert signal.set_wakeup_fd(-1) == -1  # the last one gave it back


def test_close_removes_every_handler(loop_factory):
    loop = loop_factory()
    loop.add_signal_handler(signal.SIGUSR1, lambda: None)
    loop.add_signal_handler(signal.SIGINT, lambda: None)
    loop.close()
    assert signal.getsignal(signal.SIGUSR1) == signal.SIG_DFL
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    assert signal.set_wakeup_fd(-1) == -1


def test_refused_registrations(aloop):
    async def coro():
        pass

    with pytest.raises(TypeError):
        aloop.add_signal_handler("SIGUSR1", lambda: None)
    with pytest.raises(TypeError):
        aloop.add_signal_handler(signal.SIGUSR1, coro)
    for bad in (0, 1000, -1):
        with pytest.raises(ValueError):
            aloop.add_signal_handler(bad, lambda: None)
        with pytest.raises(ValueError):
            aloop.remove_signal_handler(bad)
    for uncatchable in (signal.SIGKILL, signal.SIGSTOP):
        with pytest.raises(RuntimeError, match="cannot be caught"):
            aloop.add_signal_handler(uncatchable, lambda: None)
    # A failed registration leaves nothing behind.
    assert signal.set_wakeup_fd(-1) == -1
    assert aloop.remove_signal_handler(signal.SIGUSR1) is False


def test_only_the_main_thread_may_register(loop_factory):
    result = []

    def other():
        loop = loop_factory()
        try:
            loop.add_signal_handler(signal.SIGUSR1, lambda: None)
        except BaseException as exc:
            result.append(exc)
        finally:
            loop.close()

    t = threading.Thread(target=other)
    t.start()
    t.join(10)
    assert len(result) == 1 and type(result[0]) is RuntimeError
    assert signal.getsignal(signal.SIGUSR1) == signal.SIG_DFL


def test_closed_loop_refuses(loop_factory):
    loop = loop_factory()
    loop.close()
    with pytest.raises(RuntimeError):
        loop.add_signal_handler(signal.SIGUSR1, lambda: None)


def test_a_failing_handler_goes_to_the_exception_handler(aloop):
    seen = []
    aloop.set_exception_handler(lambda loop, ctx: seen.append(ctx))

    def bad():
        raise ZeroDivisionError

    async def main():
        aloop.add_signal_handler(signal.SIGUSR1, bad)
        os.kill(os.getpid(), signal.SIGUSR1)
        while not seen:
            await asyncio.sleep(0.01)

    run(aloop, main())
    assert isinstance(seen[0]["exception"], ZeroDivisionError)
    assert "handle" in seen[0]


def test_sigint_interrupts_run_until_complete(aloop):
    kill_later(signal.SIGINT)
    with pytest.raises(KeyboardInterrupt):
        aloop.run_until_complete(asyncio.sleep(10))
    # The loop is still usable afterwards.
    assert run(aloop, asyncio.sleep(0, "again")) == "again"


def test_sigint_under_asyncio_run_cancels_the_main_task(loop_factory):
    seen = []

    async def main():
        kill_later(signal.SIGINT)
        try:
            await asyncio.sleep(10)
        except asyncio.CancelledError:
            seen.append("cancelled")
            raise

    with pytest.raises(KeyboardInterrupt):
        asyncio.run(main(), loop_factory=loop_factory)
    assert seen == ["cancelled"]
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


def test_a_registered_sigint_handler_wins_over_the_runner(loop_factory):
    async def main():
        got = asyncio.Event()
        asyncio.get_running_loop().add_signal_handler(signal.SIGINT, got.set)
        kill_later(signal.SIGINT)
        await asyncio.wait_for(got.wait(), 5)
        return "handled"

    with asyncio.Runner(loop_factory=loop_factory) as runner:
        assert runner.run(main()) == "handled"
