"""ombrel: an asyncio event loop for Linux on io_uring.

    import asyncio, ombrel

    ombrel.run(main())                                      # or
    asyncio.run(main(), loop_factory=ombrel.new_event_loop)  # or
    with asyncio.Runner(loop_factory=ombrel.new_event_loop) as runner:
        runner.run(main())

No event-loop policy is involved: policies are deprecated in Python 3.14.

Where io_uring is denied (a container's seccomp profile, the sysctl
kernel.io_uring_disabled, an old kernel, a spent descriptor limit),
new_event_loop raises UnavailableError saying why; ombrel.available() asks
beforehand without raising, for applications that then pick
asyncio.new_event_loop themselves:

    factory = ombrel.new_event_loop if ombrel.available() else asyncio.new_event_loop
"""

from __future__ import annotations

import asyncio
from collections.abc import Coroutine
from typing import Any, TypeVar

from ._available import Availability, UnavailableError, available
from ._available import _diagnose, _is_setup_failure
from ._files import AsyncFile, AsyncTextFile, open
from ._loop import Loop
from . import os as os  # ombrel.os; not in __all__, a star import must not shadow os

__all__ = [
    "AsyncFile",
    "AsyncTextFile",
    "Availability",
    "Loop",
    "UnavailableError",
    "available",
    "new_event_loop",
    "open",
    "run",
]
__version__ = "0.1.0"

_T = TypeVar("_T")


def new_event_loop() -> Loop:
    """A new ombrel loop; a loop_factory for asyncio.run and asyncio.Runner.

    Raises UnavailableError (a RuntimeError) naming the cause and the remedy
    when io_uring cannot be set up here; its __cause__ is the native error."""
    try:
        return Loop()
    except RuntimeError as exc:
        if not _is_setup_failure(exc):
            raise
        raise UnavailableError(_diagnose(exc)) from exc


def run(main: Coroutine[Any, Any, _T], *, debug: bool | None = None) -> _T:
    """asyncio.run on an ombrel loop: run the coroutine to completion in a new
    loop, then finalise async generators, shut the default executor down
    and close the loop."""
    return asyncio.run(main, debug=debug, loop_factory=new_event_loop)
