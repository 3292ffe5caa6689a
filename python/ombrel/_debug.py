"""Debug mode: checks and reports the native fast path leaves out.

The native scheduling methods (`call_soon`, `call_soon_threadsafe`,
`call_later`, `call_at`) look on every call whether their loop is in debug
mode, which the native `Loop._set_debug` switches. In debug mode they call the loop's
`_debug_check` (here `debug_check`) before scheduling, which checks the
calling thread and the callback and returns where the call was made; the
handle keeps that as its `_source_traceback`, for its repr and for the report
of the callback's exception. The ready pass then times each callback and
hands the time to the loop's `_debug_ran`, which logs slow callbacks, like
the standard loop's debug mode. A method bound before the switch follows it.
"""

from __future__ import annotations

import sys
import threading
from asyncio import coroutines, format_helpers, tasks
from asyncio.log import logger
from typing import TYPE_CHECKING, Any

from . import _borrowed

if TYPE_CHECKING:
    from ._loop_base import LoopBase

__all__ = ["check_callback", "check_thread", "debug_check", "log_slow_callback"]


def check_callback(callback: object, method: str) -> None:
    if coroutines.iscoroutine(callback) or _borrowed.iscoroutinefunction(callback):
        raise TypeError(f"coroutines cannot be used with {method}()")
    if not callable(callback):
        raise TypeError(f"a callable object was expected by {method}(), got {callback!r}")


def check_thread(loop: LoopBase) -> None:
    """Refuse a non-thread-safe call from a thread other than the one
    running the loop (an idle loop accepts calls from any thread)."""
    thread_id = loop._thread_id
    if thread_id is not None and thread_id != threading.get_ident():
        raise RuntimeError("Non-thread-safe operation invoked on an event loop other than the current one")


def debug_check(loop: LoopBase, method: str, callback: object) -> Any:
    """The checks of a scheduling call in debug mode; returns where the call
    was made (the native method has no frame: frame 1 is its caller's)."""
    if method == "call_soon_threadsafe":
        # Only the package calls it natively, from any thread, with its own
        # wrapper as the callback: the caller's callback was checked and
        # its handle records where it came from.
        return None
    check_thread(loop)
    # The standard loop checks call_later through call_at and names that.
    check_callback(callback, "call_at" if method == "call_later" else method)
    return format_helpers.extract_stack(sys._getframe(1))


def log_slow_callback(handle: Any, elapsed: float) -> None:
    """The warning for a callback that ran for `elapsed` seconds, naming the
    task it stepped, or else the handle."""
    owner = getattr(handle._callback, "__self__", None)
    what = owner if isinstance(owner, tasks.Task) else handle
    logger.warning("Executing %s took %.3f seconds", what, elapsed)
