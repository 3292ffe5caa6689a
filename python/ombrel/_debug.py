"""Debug mode: checks and reports the native fast path leaves out.

With debug off, `call_soon`, `call_later`, `call_at` and
`call_soon_threadsafe` are the native methods and cost nothing extra. With
debug on, the loop object carries instance attributes of the same names
(instance attributes win over the native methods in attribute lookup, also
for asyncio's C tasks and futures, which look the method up by name); they
check the calling thread and the callback, remember where the callback was
scheduled, and time its run, like the standard loop's debug mode.
"""

from __future__ import annotations

import sys
import threading
import types
from asyncio import coroutines, format_helpers, tasks
from asyncio.log import logger
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from ._native import NativeLoop

if TYPE_CHECKING:
    from ._loop import Loop


def check_callback(callback: object, method: str) -> None:
    if coroutines.iscoroutine(callback) or coroutines._iscoroutinefunction(callback):
        raise TypeError(f"coroutines cannot be used with {method}()")
    if not callable(callback):
        raise TypeError(
            f"a callable object was expected by {method}(), got {callback!r}")


def check_thread(loop: Loop) -> None:
    """Refuse a non-thread-safe call from a thread other than the one
    running the loop (an idle loop accepts calls from any thread)."""
    thread_id = loop._thread_id
    if thread_id is not None and thread_id != threading.get_ident():
        raise RuntimeError(
            "Non-thread-safe operation invoked on an event loop other "
            "than the current one")


class DebugCall:
    """The callable the native queue holds for a callback scheduled in
    debug mode.

    It reports the callback's exception itself, with the stack that
    scheduled it, and logs a run longer than the loop's
    `slow_callback_duration`. `handle` points back at the native handle so
    that reports can name it; the reference is dropped after the run to end
    the handle <-> call cycle.
    """

    __slots__ = ("loop", "callback", "args", "source_traceback", "handle")

    def __init__(self, loop: Loop, callback: Callable[..., object],
                 args: tuple[Any, ...], depth: int) -> None:
        self.loop = loop
        self.callback = callback
        self.args = args
        self.source_traceback = format_helpers.extract_stack(sys._getframe(depth))
        self.handle: object = None

    def __call__(self) -> None:
        loop = self.loop
        start = loop.time()
        try:
            self.callback(*self.args)
        except (SystemExit, KeyboardInterrupt):
            raise
        except BaseException as exc:
            context = {
                "message": f"Exception in callback {self._source()}",
                "exception": exc,
                "handle": self.handle,
            }
            if self.source_traceback:
                context["source_traceback"] = self.source_traceback
            loop.call_exception_handler(context)
        finally:
            elapsed = loop.time() - start
            if elapsed >= loop.slow_callback_duration:
                logger.warning("Executing %s took %.3f seconds",
                               self._describe(), elapsed)
            self.handle = None

    def _source(self) -> str:
        return format_helpers._format_callback_source(
            self.callback, self.args, debug=True)

    def _describe(self) -> str:
        owner = getattr(self.callback, "__self__", None)
        if isinstance(owner, tasks.Task):
            return repr(owner)
        info = ["Handle", self._source()]
        if self.source_traceback:
            frame = self.source_traceback[-1]
            info.append(f"created at {frame[0]}:{frame[1]}")
        return "<" + " ".join(info) + ">"

    def __repr__(self) -> str:
        return self._source()


def _call_soon(loop: Loop, callback: Callable[..., object], *args: Any,
               context: Any = None) -> Any:
    loop._check_closed()
    check_thread(loop)
    check_callback(callback, "call_soon")
    call = DebugCall(loop, callback, args, 2)
    call.handle = NativeLoop.call_soon(loop, call, context=context)
    return call.handle


def _call_soon_threadsafe(loop: Loop, callback: Callable[..., object],
                          *args: Any, context: Any = None) -> Any:
    loop._check_closed()
    check_callback(callback, "call_soon_threadsafe")
    return type(loop).call_soon_threadsafe(loop, callback, *args, context=context)


def _call_at(loop: Loop, when: float, callback: Callable[..., object],
             *args: Any, context: Any = None) -> Any:
    if when is None:
        raise TypeError("when cannot be None")
    loop._check_closed()
    check_thread(loop)
    check_callback(callback, "call_at")
    call = DebugCall(loop, callback, args, 2)
    call.handle = NativeLoop.call_at(loop, when, call, context=context)
    return call.handle


def _call_later(loop: Loop, delay: float, callback: Callable[..., object],
                *args: Any, context: Any = None) -> Any:
    if delay is None:
        raise TypeError("delay must not be None")
    loop._check_closed()
    check_thread(loop)
    # The standard loop checks call_later through call_at and names that.
    check_callback(callback, "call_at")
    call = DebugCall(loop, callback, args, 2)
    call.handle = NativeLoop.call_later(loop, delay, call, context=context)
    return call.handle


_CHECKED = {
    "call_soon": _call_soon,
    "call_soon_threadsafe": _call_soon_threadsafe,
    "call_at": _call_at,
    "call_later": _call_later,
}


def install_checked_calls(loop: Loop, enabled: bool) -> None:
    """Put the checking variants on the loop object, or take them off."""
    attrs = vars(loop)
    for name, func in _CHECKED.items():
        if enabled:
            attrs[name] = types.MethodType(func, loop)
        else:
            attrs.pop(name, None)
