"""Signal handlers: add_signal_handler and remove_signal_handler.

Python runs signal handlers only between bytecodes of the main thread, so
a callback registered here is never run by the signal itself. Instead the
signal module writes each signal's number to the wakeup descriptor
(signal.set_wakeup_fd): one end of a non-blocking socket pair, whose other
end a reader of the loop drains, queueing the registered handler as an
ordinary callback. The Python-level handler installed for the signal does
nothing; it exists so that the default action (terminate, for most
signals) is not taken.

Only the main thread may set the wakeup descriptor, which is what limits
signal handlers to a loop running there, as in the standard loop.
"""

from __future__ import annotations

import errno
import signal
import socket
import sys
import warnings
from asyncio import coroutines, events
from asyncio.log import logger
from collections.abc import Callable
from typing import Any

from . import _borrowed
from ._loop_base import LoopBase


def _sighandler_noop(signum: int, frame: Any) -> None:
    pass


class SignalMixin(LoopBase):
    __slots__ = ()

    _signal_handlers: dict[int, events.Handle] | None = None
    _signal_socks: tuple[socket.socket, socket.socket] | None = None

    def add_signal_handler[*Ts](self, sig: int, callback: Callable[[*Ts], object], *args: *Ts) -> None:
        if coroutines.iscoroutine(callback) or _borrowed.iscoroutinefunction(callback):
            raise TypeError("coroutines cannot be used with add_signal_handler()")
        _check_signal(sig)
        self._check_closed()
        wakeup = self._signal_wakeup_socket()
        try:
            # Raises ValueError outside the main thread: called before any
            # state changes, so a loop of another thread is refused cleanly.
            signal.set_wakeup_fd(wakeup.fileno())
        except (ValueError, OSError) as exc:
            raise RuntimeError(str(exc))

        handlers = self._signal_handlers
        if handlers is None:
            handlers = self._signal_handlers = {}
        handlers[sig] = events.Handle(callback, args, self, None)
        try:
            signal.signal(sig, _sighandler_noop)
            # SA_RESTART: system calls of other threads are not cut short.
            signal.siginterrupt(sig, False)
        except OSError as exc:
            del handlers[sig]
            if not handlers:
                self._reset_wakeup_fd()
            if exc.errno == errno.EINVAL:
                raise RuntimeError(f"sig {sig} cannot be caught")
            raise

    def remove_signal_handler(self, sig: int) -> bool:
        _check_signal(sig)
        handlers = self._signal_handlers
        if not handlers or sig not in handlers:
            return False
        del handlers[sig]
        handler = signal.default_int_handler if sig == signal.SIGINT else signal.SIG_DFL
        try:
            signal.signal(sig, handler)
        except OSError as exc:
            if exc.errno == errno.EINVAL:
                raise RuntimeError(f"sig {sig} cannot be caught")
            raise
        if not handlers:
            self._reset_wakeup_fd()
        return True

    def _signal_wakeup_socket(self) -> socket.socket:
        """The end the signal module writes to; made with its reader on
        first use."""
        if self._signal_socks is None:
            rsock, wsock = socket.socketpair()
            rsock.setblocking(False)
            wsock.setblocking(False)
            try:
                self.add_reader(rsock.fileno(), self._read_signals)
            except BaseException:
                rsock.close()
                wsock.close()
                raise
            self._signal_socks = (rsock, wsock)
        return self._signal_socks[1]

    def _read_signals(self) -> None:
        if self._signal_socks is None:
            return
        while True:
            try:
                data = self._signal_socks[0].recv(4096)
            except InterruptedError:
                continue
            except BlockingIOError:
                return
            if not data:
                return
            for signum in data:
                self._dispatch_signal(signum)

    def _dispatch_signal(self, sig: int) -> None:
        handle = (self._signal_handlers or {}).get(sig)
        if handle is None:
            return  # removed while its number was on the way
        if handle._cancelled:
            self.remove_signal_handler(sig)
        else:
            self.call_soon(handle._run)

    def _reset_wakeup_fd(self) -> None:
        ours = self._signal_socks[1].fileno() if self._signal_socks else -1
        try:
            previous = signal.set_wakeup_fd(-1)
            if previous not in (-1, ours):
                # Someone else took the wakeup descriptor meanwhile: theirs.
                signal.set_wakeup_fd(previous)
        except (ValueError, OSError) as exc:
            logger.info("set_wakeup_fd(-1) failed: %s", exc)

    def _drop_watches(self) -> None:
        # Loop.close calls this first thing: signal handlers go back to the
        # defaults with the loop, and the wakeup sockets are closed.
        if self._signal_handlers:
            if not sys.is_finalizing():
                for sig in list(self._signal_handlers):
                    self.remove_signal_handler(sig)
            else:
                warnings.warn(
                    f"Closing the loop {self!r} on interpreter shutdown stage, skipping signal handlers removal",
                    ResourceWarning,
                    source=self,
                )
                self._signal_handlers.clear()
        if self._signal_socks is not None:
            self.remove_reader(self._signal_socks[0].fileno())
            for sock in self._signal_socks:
                sock.close()
            self._signal_socks = None
        super()._drop_watches()


def _check_signal(sig: object) -> None:
    if not isinstance(sig, int):
        raise TypeError(f"sig must be an int, not {sig!r}")
    if sig not in signal.valid_signals():
        raise ValueError(f"invalid signal number {sig}")
