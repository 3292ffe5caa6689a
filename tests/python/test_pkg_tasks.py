"""Tasks, task factories, contexts, cancellation and timeouts."""

import asyncio
import contextvars
import functools
import gc
import weakref

import pytest

pytestmark = pytest.mark.timeout(30)

var = contextvars.ContextVar("var", default="unset")


def test_task_names_and_contexts(aloop):
    async def read_var():
        await asyncio.sleep(0)
        return var.get(), asyncio.current_task().get_name()

    ctx = contextvars.copy_context()
    ctx.run(var.set, "in ctx")

    async def main():
        named = aloop.create_task(read_var(), name="reader")
        in_ctx = aloop.create_task(read_var(), context=ctx)
        return await named, await in_ctx

    named, in_ctx = aloop.run_until_complete(main())
    assert named == ("unset", "reader")
    assert in_ctx[0] == "in ctx"


def test_eager_task_factory_runs_the_first_step_at_once(aloop):
    steps = []

    async def child():
        steps.append("child started")
        await asyncio.sleep(0)
        steps.append("child resumed")
        return "child"

    async def main():
        task = aloop.create_task(child(), name="eager")
        steps.append("created")
        assert task.get_name() == "eager"
        return await task

    aloop.set_task_factory(asyncio.eager_task_factory)
    assert aloop.get_task_factory() is asyncio.eager_task_factory
    assert aloop.run_until_complete(main()) == "child"
    assert steps == ["child started", "created", "child resumed"]
    aloop.set_task_factory(None)
    assert aloop.get_task_factory() is None
    with pytest.raises(TypeError):
        aloop.set_task_factory(42)


def test_custom_task_factory_receives_keywords(aloop):
    seen = []

    def factory(loop, coro, **kwargs):
        seen.append(sorted(kwargs))
        return asyncio.Task(coro, loop=loop, **kwargs)

    aloop.set_task_factory(factory)

    async def main():
        return await aloop.create_task(asyncio.sleep(0, "x"), name="n")

    assert aloop.run_until_complete(main()) == "x"
    assert ["name"] in seen


def test_create_task_and_future_edges(aloop, monkeypatch):
    async def coro():
        return 1

    # Keywords reach the task; eager_start runs the first step at once.
    async def main():
        t = aloop.create_task(coro(), name="k", eager_start=True)
        assert t.done() and t.get_name() == "k"
        return t.result()

    assert aloop.run_until_complete(main()) == 1
    c = coro()
    with pytest.raises(TypeError, match="'loop'"):
        aloop.create_task(c, loop=aloop)
    with pytest.raises(TypeError):
        aloop.create_task()
    with pytest.raises(TypeError):
        aloop.create_task(c, c)
    # A failing factory's error reaches the caller unchanged.
    aloop.set_task_factory(lambda loop, coro, **kw: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        aloop.create_task(c)
    aloop.set_task_factory(None)

    # Replaced classes are honoured, as asyncio's own methods look them up.
    class MyFuture(asyncio.Future):
        pass

    class MyTask(asyncio.Task):
        pass

    monkeypatch.setattr(asyncio.futures, "Future", MyFuture)
    monkeypatch.setattr(asyncio.tasks, "Task", MyTask)
    fut = aloop.create_future()
    assert type(fut) is MyFuture and fut.get_loop() is aloop
    t = aloop.create_task(c)
    assert type(t) is MyTask
    assert aloop.run_until_complete(t) == 1
    monkeypatch.undo()

    # In debug mode the creation stack ends at the caller, not inside the loop.
    aloop.set_debug(True)
    t = aloop.create_task(coro())
    assert t._source_traceback[-1].name == "test_create_task_and_future_edges"
    aloop.run_until_complete(t)
    aloop.set_debug(False)

    aloop.close()
    c = coro()
    with pytest.raises(RuntimeError, match="Event loop is closed"):
        aloop.create_task(c)
    c.close()


def test_cancellation_reaches_the_awaiting_code(aloop):
    async def sleeper(log):
        try:
            await asyncio.sleep(10)
        except asyncio.CancelledError as exc:
            log.append(exc.args)
            raise

    async def main():
        log = []
        task = aloop.create_task(sleeper(log))
        await asyncio.sleep(0)
        task.cancel("enough")
        with pytest.raises(asyncio.CancelledError):
            await task
        return log, task.cancelled()

    assert aloop.run_until_complete(main()) == ([("enough",)], True)


def test_timeouts(aloop):
    async def main():
        start = aloop.time()
        with pytest.raises(TimeoutError):
            async with asyncio.timeout(0.05):
                await asyncio.sleep(10)
        elapsed = aloop.time() - start
        assert 0.04 <= elapsed < 5
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(asyncio.sleep(10), 0.01)
        # A timeout that does not expire is cancelled and leaves nothing.
        async with asyncio.timeout(10) as cm:
            await asyncio.sleep(0)
            cm.reschedule(aloop.time() + 20)
        assert not cm.expired()
        assert await asyncio.wait_for(asyncio.sleep(0, "fast"), 10) == "fast"
        # A deadline already past expires on the next iteration.
        with pytest.raises(TimeoutError):
            async with asyncio.timeout_at(aloop.time() - 1):
                await asyncio.sleep(1)
        return "ok"

    assert aloop.run_until_complete(main()) == "ok"


def test_sleeps_and_timers_wake_in_deadline_order(aloop):
    order = []

    async def sleeper(delay):
        await asyncio.sleep(delay)
        order.append(delay)

    async def main():
        await asyncio.gather(*(sleeper(d) for d in (0.03, 0.01, 0.02, 0)))

    aloop.run_until_complete(main())
    assert order == [0, 0.01, 0.02, 0.03]


def test_gather_and_wait_with_threads(aloop):
    async def main():
        results = await asyncio.gather(asyncio.to_thread(sum, [1, 2, 3]), asyncio.to_thread(pow, 2, 10))
        done, pending = await asyncio.wait(
            [aloop.create_task(asyncio.sleep(0.01)), aloop.create_task(asyncio.sleep(10))], timeout=0.2
        )
        for task in pending:
            task.cancel()
        return results, len(done), len(pending)

    assert aloop.run_until_complete(main()) == ([6, 1024], 1, 1)


def _task_on(held, loop, coro, **kwargs):
    return asyncio.Task(coro, loop=held[0], **kwargs)


def test_a_closed_loop_held_by_its_own_factory_and_debug_flag_is_collected(loop_factory):
    """The factory and the debug flag are kept with the loop: a cycle through
    them must still be found by the collector."""
    loop = loop_factory()
    held = [loop]
    loop.set_task_factory(functools.partial(_task_on, held))
    loop.set_debug(held)  # any truthy value is stored as given
    assert loop.get_debug() is held
    loop.close()
    ref = weakref.ref(loop)
    del loop, held
    gc.collect()
    assert ref() is None
