"""Name resolution: getaddrinfo and getnameinfo without blocking the loop.

Lookups that may touch the network or the resolver's files run in the
default executor. A numeric host with a numeric port needs neither, so it
is answered on the spot by the C library with AI_NUMERICHOST and
AI_NUMERICSERV, which guarantee that no lookup is made; the answer is the
one the executor would have given.
"""

from __future__ import annotations

import socket
import time
from asyncio.log import logger
from typing import Any

from ._loop_base import LoopBase

_NUMERIC = socket.AI_NUMERICHOST | socket.AI_NUMERICSERV
_NUMERIC_NAMES = socket.NI_NUMERICHOST | socket.NI_NUMERICSERV


def _numeric_family(host: object) -> int | None:
    """AF_INET or AF_INET6 for a literal address, AF_UNSPEC for no host,
    None for anything that needs a lookup (names, scoped IPv6 addresses,
    the shorthand IPv4 forms that only inet_aton accepts)."""
    if host is None:
        return socket.AF_UNSPEC
    if isinstance(host, bytes):
        try:
            host = host.decode("ascii")
        except UnicodeDecodeError:
            return None
    if not isinstance(host, str):
        return None
    for family in (socket.AF_INET, socket.AF_INET6):
        try:
            socket.inet_pton(family, host)
        except (OSError, ValueError):
            continue
        return family
    return None


def _numeric_port(port: object) -> bool:
    if port is None or isinstance(port, int):
        return True
    if isinstance(port, (str, bytes)):
        return port.isdigit()
    return False


def resolves_locally(host: object, port: object, family: int, flags: int) -> bool:
    if flags & socket.AI_CANONNAME or not _numeric_port(port):
        return False
    found = _numeric_family(host)
    if found is None:
        return False
    # A literal of the other family (an IPv4 literal with AF_INET6 and
    # AI_V4MAPPED, say) is left to the full lookup and its own rules.
    return family == socket.AF_UNSPEC or found in (socket.AF_UNSPEC, family)


class ResolverMixin(LoopBase):
    __slots__ = ()

    async def getaddrinfo(
        self, host: Any, port: Any, *, family: int = 0, type: int = 0, proto: int = 0, flags: int = 0
    ) -> list[tuple[Any, ...]]:
        if resolves_locally(host, port, family, flags):
            return socket.getaddrinfo(host, port, family, type, proto, flags | _NUMERIC)
        lookup = self._getaddrinfo_debug if self._debug else socket.getaddrinfo
        return await self.run_in_executor(None, lookup, host, port, family, type, proto, flags)

    async def getnameinfo(self, sockaddr: tuple[Any, ...], flags: int = 0) -> tuple[str, str]:
        if flags & _NUMERIC_NAMES == _NUMERIC_NAMES:
            return socket.getnameinfo(sockaddr, flags)
        return await self.run_in_executor(None, socket.getnameinfo, sockaddr, flags)

    def _getaddrinfo_debug(
        self, host: Any, port: Any, family: int, type: int, proto: int, flags: int
    ) -> list[tuple[Any, ...]]:
        # Runs on an executor thread, so it reads the clock itself: the
        # loop's time() refreshes state owned by the loop thread.
        parts = [f"{host}:{port!r}"]
        for name, value in (("family", family), ("type", type), ("proto", proto), ("flags", flags)):
            if value:
                parts.append(f"{name}={value!r}")
        what = ", ".join(parts)
        logger.debug("Get address info %s", what)
        start = time.monotonic()
        result = socket.getaddrinfo(host, port, family, type, proto, flags)
        elapsed = time.monotonic() - start
        msg = f"Getting address info {what} took {elapsed * 1e3:.3f}ms: {result!r}"
        if elapsed >= self.slow_callback_duration:
            logger.info(msg)
        else:
            logger.debug(msg)
        return result
