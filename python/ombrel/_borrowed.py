"""The private names of asyncio that the package borrows, typed.

asyncio's stubs leave most of its private helpers out, so this module is the
one place that reaches them: the rest of the package takes them from here,
under the names of SOURCES, typed as the package calls them.
tests/python/test_asyncio_private_names.py checks that each still exists.

The methods of the standard loop are borrowed as plain functions: the
mixins take them as their own methods, and they rely only on public loop
methods and on other borrowed ones (listed with them).
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

# Name here -> where asyncio keeps it: a module of the asyncio package, then
# attributes.
SOURCES = {
    "ThreadSafeHandle": "events._ThreadSafeHandle",
    "get_running_loop_or_none": "events._get_running_loop",
    "set_running_loop": "events._set_running_loop",
    "get_loop": "futures._get_loop",
    "set_result_unless_cancelled": "futures._set_result_unless_cancelled",
    "is_debug_mode": "coroutines._is_debug_mode",
    "iscoroutinefunction": "coroutines._iscoroutinefunction",
    "FlowControlMixin": "transports._FlowControlMixin",
    "feed_data_to_buffered_proto": "protocols._feed_data_to_buffered_proto",
    "SENDFILE_TRY_NATIVE": "constants._SendfileMode.TRY_NATIVE",
    "format_pipe": "base_events._format_pipe",
    "ipaddr_info": "base_events._ipaddr_info",
    "set_reuseport": "base_events._set_reuseport",
    "check_ssl_socket": "base_events._check_ssl_socket",
    "set_nodelay": "base_events._set_nodelay",
    "check_sendfile_params": "base_events.BaseEventLoop._check_sendfile_params",
    "sock_sendfile_fallback": "base_events.BaseEventLoop._sock_sendfile_fallback",
    "sendfile_fallback": "base_events.BaseEventLoop._sendfile_fallback",
    "connect_sock": "base_events.BaseEventLoop._connect_sock",
    "create_connection_transport": "base_events.BaseEventLoop._create_connection_transport",
    "ensure_resolved": "base_events.BaseEventLoop._ensure_resolved",
    "create_server_getaddrinfo": "base_events.BaseEventLoop._create_server_getaddrinfo",
    "accept_connection2": "selector_events.BaseSelectorEventLoop._accept_connection2",
    "create_unix_connection": "unix_events._UnixSelectorEventLoop.create_unix_connection",
    "create_unix_server": "unix_events._UnixSelectorEventLoop.create_unix_server",
}


def _look_up(path: str) -> Any:
    module, *attributes = path.split(".")
    found: Any = importlib.import_module(f"asyncio.{module}")
    for attribute in attributes:
        found = getattr(found, attribute)
    return found


if TYPE_CHECKING:
    import asyncio
    import socket
    from asyncio import constants, events, transports
    from collections.abc import Callable

    class ThreadSafeHandle(asyncio.Handle):
        """The handle of call_soon_threadsafe: its cancel() waits while its
        callback runs on the loop's thread."""

        _source_traceback: list[Any] | None

    class FlowControlMixin(transports._FlowControlMixin):
        """Write flow control: pauses the protocol above the high-water
        mark of get_write_buffer_size(), resumes it below the low one."""

        def _maybe_pause_protocol(self) -> None: ...
        def _maybe_resume_protocol(self) -> None: ...

    get_running_loop_or_none = events._get_running_loop
    set_running_loop = events._set_running_loop
    SENDFILE_TRY_NATIVE = constants._SendfileMode.TRY_NATIVE
    # Typed as the abstract loop declares them: they take the standard
    # loop's classes as self.
    create_unix_connection = asyncio.AbstractEventLoop.create_unix_connection
    create_unix_server = asyncio.AbstractEventLoop.create_unix_server

    def set_result_unless_cancelled(fut: asyncio.Future[Any], result: Any) -> None: ...
    def get_loop(fut: asyncio.Future[Any]) -> asyncio.AbstractEventLoop: ...
    def is_debug_mode() -> bool: ...
    def iscoroutinefunction(func: object) -> bool: ...
    def feed_data_to_buffered_proto(proto: asyncio.BufferedProtocol, data: bytes) -> None: ...
    def format_pipe(fd: Any) -> str: ...
    def ipaddr_info(
        host: Any, port: Any, family: int, type: int, proto: int, flowinfo: int = 0, scopeid: int = 0
    ) -> tuple[Any, ...] | None: ...
    def set_reuseport(sock: socket.socket) -> None: ...
    def check_ssl_socket(sock: Any) -> None: ...
    def set_nodelay(sock: socket.socket) -> None: ...

    # Methods of BaseEventLoop and BaseSelectorEventLoop.
    def check_sendfile_params(self: Any, sock: Any, file: Any, offset: int, count: int | None) -> None: ...
    async def sock_sendfile_fallback(self: Any, sock: Any, file: Any, offset: int, count: int | None) -> int: ...
    async def sendfile_fallback(self: Any, transp: Any, file: Any, offset: int, count: int | None) -> int: ...
    async def connect_sock(
        self: Any, exceptions: list[Any], addr_info: Any, local_addr_infos: Any = None
    ) -> socket.socket: ...
    async def create_connection_transport(
        self: Any,
        sock: socket.socket,
        protocol_factory: Callable[[], asyncio.BaseProtocol],
        ssl: Any,
        server_hostname: str | None,
        server_side: bool = False,
        ssl_handshake_timeout: float | None = None,
        ssl_shutdown_timeout: float | None = None,
    ) -> tuple[asyncio.Transport, asyncio.BaseProtocol]: ...
    async def ensure_resolved(
        self: Any,
        address: Any,
        *,
        family: int = 0,
        type: int = socket.SOCK_STREAM,
        proto: int = 0,
        flags: int = 0,
        loop: asyncio.AbstractEventLoop,
    ) -> list[Any]: ...
    async def create_server_getaddrinfo(self: Any, host: Any, port: Any, family: int, flags: int) -> list[Any]: ...
    async def accept_connection2(
        self: Any,
        protocol_factory: Callable[[], asyncio.BaseProtocol],
        conn: socket.socket,
        extra: dict[str, Any],
        sslcontext: Any = None,
        server: Any = None,
        ssl_handshake_timeout: float | None = ...,
        ssl_shutdown_timeout: float | None = ...,
    ) -> None: ...
else:
    # Looked up once, at import: a CPython that dropped one fails here,
    # naming it, rather than in the middle of a loop's work.
    globals().update({name: _look_up(path) for name, path in SOURCES.items()})
