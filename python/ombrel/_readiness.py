"""add_reader/add_writer: callbacks on descriptor readiness.

As the standard loop does, each reader or writer is one handle, bound when
it is added (the callback, its arguments and the context copied then): the
native poller queues that handle on the ready queue each time the
descriptor is ready (one registration per descriptor and direction; a new
one replaces the old), so a readiness event costs no Python call of its
own; the ready pass runs it and reports its exceptions to the exception
handler. Removing or replacing the reader cancels the handle, which skips a
run still queued.

A watch keeps the object it was registered with, so that it can still be
removed by that object once its descriptor is closed (fileno() is then -1),
as the standard loop's selector finds its registrations. The native poller
keeps no closed file open: the peer of a socket closed while watched sees
the end of stream at once.

Descriptors in use by a transport are refused, with the standard loop's
error: the transport's own reads and writes would race the callback's.
"""

from __future__ import annotations

import contextvars
import sys
from asyncio import format_helpers
from collections.abc import Callable
from typing import Any

from ._loop_base import LoopBase

READ = 0
WRITE = 1


def fileobj_to_fd(fileobj: Any) -> int:
    """A descriptor from an int or from an object with fileno(), with the
    standard loop's errors."""
    if isinstance(fileobj, int):
        fd = fileobj
    else:
        try:
            fd = int(fileobj.fileno())
        except (AttributeError, TypeError, ValueError):
            raise ValueError(f"Invalid file object: {fileobj!r}") from None
    if fd < 0:
        raise ValueError(f"Invalid file descriptor: {fd}")
    return fd


class Watch:
    """One registration: the object it was made with, and its handle."""

    __slots__ = ("fileobj", "callback", "handle")

    def __init__(self, fileobj: Any, callback: Callable[..., object], handle: Any) -> None:
        self.fileobj = fileobj
        self.callback = callback
        self.handle = handle

    def cancel(self) -> None:
        self.handle.cancel()


class ReadinessMixin(LoopBase):
    __slots__ = ()

    def add_reader[*Ts](self, fd: Any, callback: Callable[[*Ts], object], *args: *Ts) -> None:
        self._ensure_fd_no_transport(fd)
        self._add_watch(fileobj_to_fd(fd), READ, callback, args, fd)

    def add_writer[*Ts](self, fd: Any, callback: Callable[[*Ts], object], *args: *Ts) -> None:
        self._ensure_fd_no_transport(fd)
        self._add_watch(fileobj_to_fd(fd), WRITE, callback, args, fd)

    def remove_reader(self, fd: Any) -> bool:
        self._ensure_fd_no_transport(fd)
        return self._remove_watch(self._watched_fd(fd), READ)

    def remove_writer(self, fd: Any) -> bool:
        self._ensure_fd_no_transport(fd)
        return self._remove_watch(self._watched_fd(fd), WRITE)

    def _ensure_fd_no_transport(self, fd: Any) -> None:
        fileno = fd
        if not isinstance(fileno, int):
            try:
                fileno = int(fileno.fileno())
            except (AttributeError, TypeError, ValueError):
                raise ValueError(f"Invalid file object: {fd!r}") from None
        transport = self._transports.get(fileno)
        if transport is not None and not transport.is_closing():
            raise RuntimeError(f"File descriptor {fd!r} is used by transport {transport!r}")

    def _watched_fd(self, fileobj: Any) -> int:
        """fileobj's descriptor; for an object whose descriptor is gone
        (a closed socket), the one it was registered under."""
        try:
            return fileobj_to_fd(fileobj)
        except ValueError:
            for (fd, _), watch in self._watches.items():
                if watch.fileobj is fileobj:
                    return fd
            raise

    def _add_watch(
        self, fd: int, event: int, callback: Callable[..., object], args: tuple[Any, ...], fileobj: Any = None
    ) -> None:
        self._check_closed()
        # The native call replaces an existing registration; only then is
        # the old one's queued run cancelled, so a failing call (bad fd
        # type, closed loop, a file that cannot be watched) leaves the old
        # registration whole.
        # In debug mode the handle names where add_reader/add_writer was
        # called (frame 2: the caller of that method).
        source = format_helpers.extract_stack(sys._getframe(2)) if self.get_debug() else None
        handle = self._add_poller(fd, event, callback, args, contextvars.copy_context(), source)
        watch = Watch(fd if fileobj is None else fileobj, callback, handle)
        old = self._watches.get((fd, event))
        self._watches[(fd, event)] = watch
        if old is not None:
            old.cancel()

    def _remove_watch(self, fd: int, event: int) -> bool:
        if self.is_closed():
            return False
        self._remove_poller(fd, event)
        watch = self._watches.pop((fd, event), None)
        if watch is None:
            return False
        if watch.handle.cancelled():
            # Cancelled by whoever it was handed to (an exception handler):
            # the reader ended then, as under the standard loop.
            return False
        # The native side may have dropped the registration already (a
        # poll error ends it silently); the reader was still ours to remove.
        watch.cancel()
        return True

    def _drop_watches(self) -> None:
        for watch in self._watches.values():
            watch.cancel()
        self._watches.clear()
