"""The event loop: the native engine completed into an asyncio loop.

`_ombrel.Loop` runs callbacks, timers and I/O; its `run_forever` is the
bare loop. This class adds what makes it the running asyncio loop of its
thread: the running-loop slot, async-generator hooks, coroutine-origin
tracking in debug mode, the checks that refuse nested or concurrent runs,
run_until_complete, tasks and futures, and the Python-level services of the
mixins (exception handler, executor, resolver, readiness callbacks, sockets,
streams and servers).

Thread rule: everything here runs on the thread that runs the loop, except
call_soon_threadsafe and the async-generator finalizer hook, which may be
called from any thread.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import contextvars
import sys
import threading
import warnings
import weakref
from asyncio import futures, tasks
from asyncio.log import logger
from collections.abc import Awaitable, Callable
from typing import TYPE_CHECKING, Any, TypeVar

from . import _borrowed
from ._datagram import DatagramMixin
from ._debug import check_callback, check_thread, debug_check, log_slow_callback
from ._exception_handler import ExceptionHandler, ExceptionHandlerMixin
from ._executor import ExecutorMixin
from ._native import NativeLoop
from ._network import NetworkMixin
from ._pipes import PipesMixin
from ._readiness import ReadinessMixin
from ._resolver import ResolverMixin
from ._signals import SignalMixin
from ._subprocess import SubprocessMixin

_T = TypeVar("_T")
TaskFactory = Callable[..., "asyncio.Future[Any]"]

# Depth of the coroutine-origin stacks recorded in debug mode, as asyncio's.
_DEBUG_STACK_DEPTH = 10


def _stop_when_done(fut: asyncio.Future[Any]) -> None:
    # SystemExit and KeyboardInterrupt already ended run_forever by raising.
    if not fut.cancelled():
        exc = fut.exception()
        if isinstance(exc, (SystemExit, KeyboardInterrupt)):
            return
    _borrowed.get_loop(fut).stop()


def _run_threadsafe(handle: _borrowed.ThreadSafeHandle) -> None:
    # The native queue cannot see a cancellation made through the asyncio
    # handle (from any thread): look before running.
    if not handle._cancelled:
        handle._run()


class Loop(
    ExceptionHandlerMixin,
    ExecutorMixin,
    ResolverMixin,
    SignalMixin,
    SubprocessMixin,
    PipesMixin,
    DatagramMixin,
    ReadinessMixin,
    NetworkMixin,
    NativeLoop,
    asyncio.AbstractEventLoop,
):
    """An asyncio event loop on io_uring.

    No mixin defines a method of the native base, so its callback and timer
    methods are used directly; the mixins come first because, for the type
    checker, each derives from NativeLoop (through LoopBase). AbstractEventLoop
    comes last: every method it declares is defined before it, here, in a
    mixin or natively.
    """

    # Class-level defaults keep __del__ and repr working on an object whose
    # __init__ failed half-way (no io_uring, for instance). `_debug` and
    # `_task_factory` live on the native object (False and None until set):
    # a class attribute here would hide them.
    _thread_id: int | None = None
    _default_executor: concurrent.futures.ThreadPoolExecutor | None = None
    _executor_shutdown_called = False
    _exception_handler: ExceptionHandler | None = None
    _origin_tracking = False
    _origin_saved_depth = 0
    _old_agen_hooks: Any = None
    _asyncgens_shutdown_called = False
    slow_callback_duration = 0.1

    def __init__(self) -> None:
        super().__init__()
        self._asyncgens: weakref.WeakSet[Any] = weakref.WeakSet()
        self._watches: dict[tuple[int, int], Any] = {}
        # Descriptor -> the stream transport using it (add_reader refuses it).
        self._transports: weakref.WeakValueDictionary[int, Any] = weakref.WeakValueDictionary()
        # Listening socket -> its accept loop (_network._Acceptor).
        self._acceptors: dict[Any, Any] = {}
        # UNIX server socket -> inode of its path, removed when it closes.
        self._unix_server_sockets: dict[Any, int] = {}
        self.set_debug(_borrowed.is_debug_mode())

    def __repr__(self) -> str:
        return f"<{type(self).__name__} running={self.is_running()} closed={self.is_closed()} debug={self.get_debug()}>"

    def __del__(self, _warn: Callable[..., None] = warnings.warn) -> None:
        if not self.is_closed():
            _warn(f"unclosed event loop {self!r}", ResourceWarning, source=self)
            if not self.is_running():
                self.close()

    def _check_closed(self) -> None:
        if self.is_closed():
            raise RuntimeError("Event loop is closed")

    def _check_running(self) -> None:
        if self.is_running():
            raise RuntimeError("This event loop is already running")
        if _borrowed.get_running_loop_or_none() is not None:
            raise RuntimeError("Cannot run the event loop while another loop is running")

    # Running and stopping.

    def run_forever(self) -> None:
        self._check_closed()
        self._check_running()
        self._set_origin_tracking(self._debug)
        self._old_agen_hooks = sys.get_asyncgen_hooks()
        self._thread_id = threading.get_ident()
        sys.set_asyncgen_hooks(firstiter=self._asyncgen_firstiter_hook, finalizer=self._asyncgen_finalizer_hook)
        _borrowed.set_running_loop(self)
        try:
            NativeLoop.run_forever(self)
        finally:
            self._thread_id = None
            _borrowed.set_running_loop(None)
            self._set_origin_tracking(False)
            if self._old_agen_hooks is not None:
                sys.set_asyncgen_hooks(*self._old_agen_hooks)
                self._old_agen_hooks = None

    def stop(self) -> None:
        # The standard loop accepts a stop on a closed loop; the native one
        # would raise.
        if not self.is_closed():
            NativeLoop.stop(self)

    def run_until_complete(self, future: Awaitable[_T]) -> _T:
        self._check_closed()
        self._check_running()
        new_task = not futures.isfuture(future)
        fut = tasks.ensure_future(future, loop=self)
        if new_task:
            # The caller never sees this task; an unfinished one is reported
            # by the RuntimeError below, not by a "Task was destroyed" log.
            fut._log_destroy_pending = False  # type: ignore[attr-defined]
        fut.add_done_callback(_stop_when_done)
        try:
            self.run_forever()
        except BaseException:
            if new_task and fut.done() and not fut.cancelled():
                # The coroutine raised the BaseException that ends the run;
                # mark it retrieved, the caller has no other way to.
                fut.exception()
            raise
        finally:
            fut.remove_done_callback(_stop_when_done)
        if not fut.done():
            raise RuntimeError("Event loop stopped before Future completed.")
        return fut.result()

    def close(self) -> None:
        if self.is_running():
            raise RuntimeError("Cannot close a running event loop")
        if self.is_closed():
            return
        if self._debug:
            logger.debug("Close %r", self)
        self._drop_watches()
        NativeLoop.close(self)
        self._drop_default_executor()

    # Futures and tasks.

    def call_soon_threadsafe[*Ts](
        self, callback: Callable[[*Ts], object], *args: *Ts, context: contextvars.Context | None = None
    ) -> Any:  # an asyncio.events._ThreadSafeHandle, not the engine's Handle
        """Like call_soon, but safe from any thread. The handle is asyncio's
        thread-safe one: cancelling it from another thread waits while its
        callback runs, as the standard loop's does."""
        if self._debug:
            self._check_closed()
            check_callback(callback, "call_soon_threadsafe")
        handle: _borrowed.ThreadSafeHandle = _borrowed.ThreadSafeHandle(callback, args, self, context)
        if handle._source_traceback:
            # The frames of its __init__ and of this method.
            del handle._source_traceback[-2:]
        NativeLoop.call_soon_threadsafe(self, _run_threadsafe, handle)
        return handle

    # Native: they run once per future and per task. create_task calls
    # self._task_factory when set, else tasks.Task(coro, loop=self, **kwargs),
    # and raises RuntimeError on a closed loop, as asyncio's does.
    create_future = NativeLoop._create_future
    if TYPE_CHECKING:
        # Typed as the abstract loop declares it: the native method takes
        # any awaitable and keyword.
        create_task = asyncio.AbstractEventLoop.create_task
    else:
        create_task = NativeLoop._create_task

    def set_task_factory(self, factory: TaskFactory | None) -> None:
        if factory is not None and not callable(factory):
            raise TypeError("task factory must be a callable or None")
        self._task_factory = factory

    def get_task_factory(self) -> TaskFactory | None:
        return self._task_factory

    # Debug mode.

    get_debug = NativeLoop.get_debug

    def set_debug(self, enabled: bool) -> None:
        self._debug = enabled
        NativeLoop._set_debug(self, enabled)
        if self.is_running():
            self.call_soon_threadsafe(self._set_origin_tracking, enabled)

    def _check_thread(self) -> None:
        check_thread(self)

    # Called by the native scheduling methods and ready pass in debug mode.
    _debug_check = debug_check

    def _debug_ran(self, handle: Any, elapsed: float) -> None:
        if elapsed >= self.slow_callback_duration:
            if handle._callback is _run_threadsafe:
                handle = handle._args[0]  # the handle its caller holds
            log_slow_callback(handle, elapsed)

    def _set_origin_tracking(self, enabled: bool) -> None:
        if bool(enabled) == self._origin_tracking:
            return
        if enabled:
            self._origin_saved_depth = sys.get_coroutine_origin_tracking_depth()
            sys.set_coroutine_origin_tracking_depth(_DEBUG_STACK_DEPTH)
        else:
            sys.set_coroutine_origin_tracking_depth(self._origin_saved_depth)
        self._origin_tracking = bool(enabled)

    # Asynchronous generators.

    def _asyncgen_firstiter_hook(self, agen: Any) -> None:
        if self._asyncgens_shutdown_called:
            warnings.warn(
                f"asynchronous generator {agen!r} was scheduled after loop.shutdown_asyncgens() call",
                ResourceWarning,
                source=self,
            )
        self._asyncgens.add(agen)

    def _asyncgen_finalizer_hook(self, agen: Any) -> None:
        # Called by the garbage collector, possibly on another thread.
        self._asyncgens.discard(agen)
        if not self.is_closed():
            self.call_soon_threadsafe(self.create_task, agen.aclose())

    async def shutdown_asyncgens(self) -> None:
        self._asyncgens_shutdown_called = True
        if not len(self._asyncgens):
            return
        closing = list(self._asyncgens)
        self._asyncgens.clear()
        results = await tasks.gather(*[ag.aclose() for ag in closing], return_exceptions=True)
        for result, agen in zip(results, closing):
            if isinstance(result, Exception):
                self.call_exception_handler(
                    {
                        "message": f"an error occurred during closing of asynchronous generator {agen!r}",
                        "exception": result,
                        "asyncgen": agen,
                    }
                )
