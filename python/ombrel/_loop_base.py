"""The base of the loop's mixins: what a mixin may use of the loop it is
mixed into.

`Loop` (_loop.py) is made of the mixins, then NativeLoop, then
AbstractEventLoop. A mixin calls methods that NativeLoop, Loop or another
mixin defines; for the type checker each mixin derives from LoopBase, which
declares them (NativeLoop and AbstractEventLoop as its bases, the state and
private methods below), so that each mixin is checked on its own without
importing Loop. At run time LoopBase is an empty class: everything it
declares is defined on Loop's other bases.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import asyncio
    import concurrent.futures
    import contextvars
    import weakref

    from ._exception_handler import ExceptionHandler
    from ._native import NativeLoop
    from ._readiness import Watch

    type _Callback[*Ts] = Callable[[*Ts], object]
    type _Context = contextvars.Context | None

    class LoopBase(NativeLoop, asyncio.AbstractEventLoop):
        # The state Loop sets up (class defaults and __init__).
        _thread_id: int | None
        _default_executor: concurrent.futures.ThreadPoolExecutor | None
        _executor_shutdown_called: bool
        _exception_handler: ExceptionHandler | None
        _watches: dict[tuple[int, int], Watch]
        _transports: weakref.WeakValueDictionary[int, Any]
        _acceptors: dict[Any, Any]
        _unix_server_sockets: dict[Any, int]

        # The native scheduling methods, typed so that they stand for both
        # bases: their handles are the engine's, not asyncio.Handle.
        def call_soon[*Ts](self, callback: _Callback[*Ts], *args: *Ts, context: _Context = None) -> Any: ...
        def call_soon_threadsafe[*Ts](self, callback: _Callback[*Ts], *args: *Ts, context: _Context = None) -> Any: ...
        def call_later[*Ts](
            self, delay: float, callback: _Callback[*Ts], *args: *Ts, context: _Context = None
        ) -> Any: ...
        def call_at[*Ts](self, when: float, callback: _Callback[*Ts], *args: *Ts, context: _Context = None) -> Any: ...

        # Loop's.
        def _check_closed(self) -> None: ...

        # Each mixin that holds watches drops its own, then passes on.
        def _drop_watches(self) -> None: ...

        # ReadinessMixin's.
        def _remove_watch(self, fd: int, event: int) -> bool: ...

else:

    class LoopBase:
        __slots__ = ()


def typed_as[F](declared: F) -> Callable[[Any], F]:
    """Types the decorated method as `declared` (the stubs' declaration of
    the method it implements) where those stubs do not match what this
    CPython's standard loop accepts; the method itself is unchanged."""
    return lambda method: method
