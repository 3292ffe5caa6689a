"""Exception reporting: the handler every error of the loop ends up in.

The native engine reports exceptions of callbacks and of protocol callbacks
by calling `call_exception_handler(context)` on the loop object, with the
keys "message", "exception", "handle" (or "transport"/"protocol").
That call happens in the middle of a ready pass or a dispatch step, so
nothing here may raise except SystemExit and KeyboardInterrupt: anything
else is logged, as the standard loop does.
"""

from __future__ import annotations

import traceback
from asyncio.log import logger
from collections.abc import Callable
from typing import Any

from ._loop_base import LoopBase

ExceptionHandler = Callable[[Any, dict[str, Any]], object]


class ExceptionHandlerMixin(LoopBase):
    __slots__ = ()

    def get_exception_handler(self) -> ExceptionHandler | None:
        return self._exception_handler

    def set_exception_handler(self, handler: ExceptionHandler | None) -> None:
        if handler is not None and not callable(handler):
            raise TypeError(f"A callable object or None is expected, got {handler!r}")
        self._exception_handler = handler

    def default_exception_handler(self, context: dict[str, Any]) -> None:
        """Log the context on the "asyncio" logger, one "key: value" line per
        key after the message, with the exception's traceback attached."""
        message = context.get("message") or "Unhandled exception in event loop"
        exception = context.get("exception")
        if exception is not None:
            exc_info: Any = (type(exception), exception, exception.__traceback__)
        else:
            exc_info = False

        lines = [message]
        for key in sorted(context):
            if key in {"message", "exception"}:
                continue
            value = context[key]
            if key == "source_traceback":
                value = "Object created at (most recent call last):\n" + "".join(traceback.format_list(value)).rstrip()
            elif key == "handle_traceback":
                value = "Handle created at (most recent call last):\n" + "".join(traceback.format_list(value)).rstrip()
            else:
                value = repr(value)
            lines.append(f"{key}: {value}")
        logger.error("\n".join(lines), exc_info=exc_info)

    def call_exception_handler(self, context: dict[str, Any]) -> None:
        handler = self._exception_handler
        if handler is None:
            try:
                self.default_exception_handler(context)
            except (SystemExit, KeyboardInterrupt):
                raise
            except BaseException:
                # default_exception_handler may be overridden by a subclass.
                logger.error("Exception in default exception handler", exc_info=True)
            return
        try:
            ctx = _context_of(context)
            if ctx is not None:
                ctx.run(handler, self, context)
            else:
                handler(self, context)
        except (SystemExit, KeyboardInterrupt):
            raise
        except BaseException as exc:
            try:
                self.default_exception_handler(
                    {
                        "message": "Unhandled error in exception handler",
                        "exception": exc,
                        "context": context,
                    }
                )
            except (SystemExit, KeyboardInterrupt):
                raise
            except BaseException:
                logger.error(
                    "Exception in default exception handler "
                    "while handling an unexpected error "
                    "in custom exception handler",
                    exc_info=True,
                )


def _context_of(context: dict[str, Any]) -> Any:
    """The contextvars context a custom handler runs in: that of the task,
    future or handle the error belongs to, when the object can tell (native
    handles report after leaving their context, so it can be entered)."""
    thing = context.get("task")
    if thing is None:
        thing = context.get("future")
    if thing is None:
        thing = context.get("handle")
    get_context = getattr(thing, "get_context", None)
    if get_context is None:
        return None
    ctx = get_context()
    return ctx if hasattr(ctx, "run") else None
