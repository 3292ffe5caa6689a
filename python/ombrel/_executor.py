"""The default executor: blocking calls run on a thread pool.

The pool is made on first use. It belongs to the loop: `close` shuts it
down without waiting (a blocked worker must not hang the caller of close),
`shutdown_default_executor` waits for it from a helper thread so that the
loop keeps running meanwhile. After either, the default executor refuses
new work.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import threading
import warnings
from asyncio import futures
from collections.abc import Callable

from . import _borrowed
from ._debug import check_callback
from ._loop_base import LoopBase


class ExecutorMixin(LoopBase):
    __slots__ = ()

    def run_in_executor[*Ts, T](
        self, executor: concurrent.futures.Executor | None, func: Callable[[*Ts], T], *args: *Ts
    ) -> asyncio.Future[T]:
        self._check_closed()
        if self._debug:
            check_callback(func, "run_in_executor")
        if executor is None:
            if self._executor_shutdown_called:
                raise RuntimeError("Executor shutdown has been called")
            executor = self._default_executor
            if executor is None:
                executor = self._default_executor = concurrent.futures.ThreadPoolExecutor(thread_name_prefix="asyncio")
        return futures.wrap_future(executor.submit(func, *args), loop=self)

    def set_default_executor(self, executor: concurrent.futures.Executor) -> None:
        if not isinstance(executor, concurrent.futures.ThreadPoolExecutor):
            raise TypeError("executor must be ThreadPoolExecutor instance")
        self._default_executor = executor

    async def shutdown_default_executor(self, timeout: float | None = None) -> None:
        """Wait for the default executor's threads, at most `timeout`
        seconds; after that, warn and let them finish on their own."""
        self._executor_shutdown_called = True
        executor = self._default_executor
        if executor is None:
            return
        done: asyncio.Future[None] = self.create_future()
        thread = threading.Thread(target=self._join_executor, args=(executor, done))
        thread.start()
        try:
            async with asyncio.timeout(timeout):
                await done
        except TimeoutError:
            warnings.warn(
                f"The executor did not finishing joining its threads within {timeout} seconds.",
                RuntimeWarning,
                stacklevel=2,
            )
            executor.shutdown(wait=False)
        else:
            thread.join()

    def _join_executor(self, executor: concurrent.futures.Executor, done: asyncio.Future[None]) -> None:
        # Runs on its own thread; it reaches the loop only through
        # call_soon_threadsafe, and not at all once the loop is closed.
        try:
            executor.shutdown(wait=True)
            if not self.is_closed():
                self.call_soon_threadsafe(_borrowed.set_result_unless_cancelled, done, None)
        except Exception as exc:
            if not self.is_closed() and not done.cancelled():
                self.call_soon_threadsafe(done.set_exception, exc)

    def _drop_default_executor(self) -> None:
        """Part of close: no more default-executor work, and the pool's
        threads are told to end without being waited for."""
        self._executor_shutdown_called = True
        executor = self._default_executor
        if executor is not None:
            self._default_executor = None
            executor.shutdown(wait=False)
