"""What the package's readiness-driven transports (datagram, pipe ends)
share: how a fatal error is reported before the transport closes.

Loop thread only, as every transport method.
"""

from __future__ import annotations

import asyncio
from asyncio.log import logger
from typing import TYPE_CHECKING, Any


class TransportBase:
    __slots__ = ()

    # Set by each transport. `_loop` is None once the connection is lost;
    # no method that reaches for the loop runs after that.
    _loop: Any
    _protocol: Any
    _extra: dict[str, Any]
    _closing: bool  # close() or a fatal error began the closing
    # What _fatal_error says when its caller gives no message.
    _fatal_message = "Fatal error on transport"

    if TYPE_CHECKING:

        def _force_close(self, exc: BaseException | None) -> None:
            """Drops what is buffered and queues connection_lost(exc)."""

    def set_protocol(self, protocol: asyncio.BaseProtocol) -> None:
        self._protocol = protocol

    def get_protocol(self) -> asyncio.BaseProtocol:
        return self._protocol

    def is_closing(self) -> bool:
        return self._closing

    def _is_quiet_error(self, exc: BaseException) -> bool:
        """Whether `exc` is the peer's doing (a reset, a closed reader):
        logged in debug mode only, not reported to the exception handler."""
        return isinstance(exc, OSError)

    def _fatal_error(self, exc: BaseException, message: str | None = None) -> None:
        if message is None:
            message = self._fatal_message
        if self._is_quiet_error(exc):
            if self._loop.get_debug():
                logger.debug("%r: %s", self, message, exc_info=True)
        else:
            self._loop.call_exception_handler(
                {
                    "message": message,
                    "exception": exc,
                    "transport": self,
                    "protocol": self._protocol,
                }
            )
        self._force_close(exc)
