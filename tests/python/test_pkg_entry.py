"""Entry points: ombrel.run, asyncio.run and asyncio.Runner with our loop."""

import asyncio
import contextvars
import os
import signal
import threading

import ombrel
import pytest

pytestmark = pytest.mark.timeout(30)

var = contextvars.ContextVar("var", default=0)


async def loop_facts():
    loop = asyncio.get_running_loop()
    await asyncio.sleep(0.001)
    return type(loop), loop.get_debug(), await asyncio.to_thread(lambda: "thread")


def test_ombrel_run_and_asyncio_run_use_the_loop():
    assert ombrel.run(loop_facts()) == (ombrel.Loop, False, "thread")
    assert ombrel.run(loop_facts(), debug=True)[1] is True
    assert asyncio.run(loop_facts(), loop_factory=ombrel.new_event_loop)[0] is ombrel.Loop


def test_run_finalises_generators_and_closes_the_loop():
    seen = {}

    async def main():
        async def agen():
            try:
                yield 1
                yield 2
            finally:
                seen["agen closed"] = True

        gen = agen()
        await anext(gen)
        seen["loop"] = asyncio.get_running_loop()
        seen["gen"] = gen  # still suspended when main returns

    ombrel.run(main())
    assert seen["agen closed"]
    assert seen["loop"].is_closed()


def test_run_propagates_errors_and_refuses_nesting():
    async def fail():
        raise LookupError("from main")

    with pytest.raises(LookupError, match="from main"):
        ombrel.run(fail())

    async def nested():
        coro = loop_facts()
        try:
            ombrel.run(coro)
        finally:
            coro.close()

    with pytest.raises(RuntimeError, match="cannot be called from a running event loop"):
        ombrel.run(nested())


def test_runner_keeps_its_loop_and_context_across_runs():
    async def bump():
        var.set(var.get() + 1)
        return asyncio.get_running_loop(), var.get()

    with asyncio.Runner(loop_factory=ombrel.new_event_loop) as runner:
        loop1, first = runner.run(bump())
        loop2, second = runner.run(bump())
        assert runner.get_loop() is loop1 is loop2
    assert isinstance(loop1, ombrel.Loop)
    assert (first, second) == (1, 2)
    assert loop1.is_closed()


@pytest.mark.skipif(
    threading.current_thread() is not threading.main_thread()
    or signal.getsignal(signal.SIGINT) is not signal.default_int_handler,
    reason="needs the default SIGINT handler on the main thread",
)
def test_sigint_cancels_the_main_task_of_a_waiting_loop():
    cancelled = []

    async def main():
        try:
            await asyncio.sleep(20)  # the loop blocks in the kernel
        except asyncio.CancelledError:
            cancelled.append(True)
            raise

    timer = threading.Timer(0.1, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            ombrel.run(main())
    finally:
        timer.cancel()
    assert cancelled == [True]
