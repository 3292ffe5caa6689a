"""Opening on the ring, and FIFOs opened as open(2) opens them.

A FIFO opens for reading only once a writer has it open, and for writing
only once a reader has. The ring's open does not wait for a writer (it
opens non-blocking, then clears the flag), so a read-only FIFO is opened
again on a worker thread the blocking way. Either wait ends when the
awaiting task is cancelled: the FIFO is then opened for reading and
writing here, which lets the waiting open through, and what it opens is
closed.

On a loop that is not ombrel's, every open is that blocking open(2) on
the default executor, FIFOs in either direction included, ended the same
way when cancelled.

A cancelled open could lose a descriptor that the kernel already made, so
an open runs to its end and only the caller stops waiting; what it opens
then is closed.
"""

from __future__ import annotations

import asyncio
import os
import stat
import threading
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .._loop_base import LoopBase

__all__ = ["open_fd", "open_fd_blocking", "wait_for_writer"]


async def open_fd(loop: LoopBase, path: str, flags: int, *, may_wait: bool, name: str | bytes | None = None) -> int:
    """The descriptor of `path` opened with the engine's `flags`. A failure is
    the engine's OSError with `name` (default: `path`) as its filename, as the
    built-in open names the file it was given."""
    fut = loop._file_open(path, flags, 0o666)
    try:
        fd, _ = await asyncio.shield(fut)
    except asyncio.CancelledError:
        # A write-only open of a FIFO waits in the kernel for a reader;
        # let it through so that it ends (and is closed) now rather than
        # whenever some reader comes, which would then see a writer appear
        # and vanish.
        release = _release_fifo_at(path) if may_wait and not fut.done() else None
        fut.add_done_callback(lambda fut: _close_orphan(fut, release))
        if release is not None:
            await _settle(fut)
        raise
    except OSError as exc:
        if exc.errno is not None and exc.filename is None:
            exc.filename = path if name is None else name
        raise
    return fd


async def open_fd_blocking(
    loop: asyncio.AbstractEventLoop, path: str, flags: int, *, name: str | bytes | None = None
) -> int:
    """The descriptor of `path` opened by open(2) with `flags` in a worker
    thread of `loop`'s default executor; a failure names the file as
    open_fd does."""
    try:
        return await _FifoOpen(path, flags, pin=None).wait(loop)
    except OSError as exc:
        if exc.errno is not None:
            exc.filename = path if name is None else name
        raise


def _close_orphan(fut: asyncio.Future[Any], release: int | None) -> None:
    try:
        if not fut.cancelled() and fut.exception() is None:
            os.close(fut.result()[0])
    finally:
        if release is not None:
            os.close(release)


async def _settle(fut: asyncio.Future[Any]) -> None:
    """Wait for `fut`, an open that a release has just let through and
    whose descriptors close as it finishes, so that the cancellation
    completes with nothing left open: an open that came meanwhile would
    find the releasing descriptor as its peer. Further cancellations do
    not end the wait (the first is still on its way out); the bound keeps
    an open that the release missed from holding the caller."""
    loop = asyncio.get_running_loop()
    deadline = loop.time() + 5.0
    while not fut.done() and (left := deadline - loop.time()) > 0:
        try:
            await asyncio.wait([fut], timeout=left)
        except asyncio.CancelledError:
            pass


def _release_fifo_at(path: str) -> int | None:
    """A read-write descriptor of the FIFO at `path`, which lets every
    open of it that waits for the other end through; None when `path`
    names no FIFO. Opening an O_PATH descriptor first never blocks and
    touches no device, whatever `path` names."""
    try:
        pin = os.open(path, os.O_PATH | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        if not stat.S_ISFIFO(os.fstat(pin).st_mode):
            return None
        return os.open(f"/proc/self/fd/{pin}", os.O_RDWR | os.O_NONBLOCK | os.O_CLOEXEC | os.O_NOCTTY)
    except OSError:
        return None
    finally:
        os.close(pin)


async def wait_for_writer(loop: LoopBase, fd: int) -> int:
    """`fd` (read-only, owned from here on) as open(2) would have made it:
    for a FIFO, a descriptor opened once a writer came."""
    try:
        fifo = stat.S_ISFIFO(os.fstat(fd).st_mode)
    except BaseException:
        os.close(fd)
        raise
    if not fifo:
        return fd
    # Opened again through /proc, the same FIFO whatever happens to its
    # path meanwhile; `fd` counts as a reader, which lets writers in
    # early but changes nothing for the reader that waits.
    return await _FifoOpen(f"/proc/self/fd/{fd}", os.O_RDONLY, pin=fd).wait(loop)


class _FifoOpen:
    """One blocking open(2) of a FIFO on the default executor, which the
    loop can end early.

    `pin`, when given, is a descriptor that keeps `target` naming the FIFO
    until the open is over; it is closed then. Without one `target` is a
    path that may name anything, so the release happens only if it names
    a FIFO. The worker thread and the loop thread
    meet under `_lock`: whichever of the open's return and the loop's
    cancel comes second closes what is left, so that neither depends on
    the loop still running when the open returns.
    """

    def __init__(self, target: str, flags: int, *, pin: int | None) -> None:
        self._target = target
        self._flags = flags | os.O_CLOEXEC | os.O_NOCTTY
        self._pin: int | None = pin
        self._lock = threading.Lock()
        self._fd: int | None = None
        self._finished = False
        self._cancelled = False
        self._release: int | None = None

    async def wait(self, loop: asyncio.AbstractEventLoop) -> int:
        pin = self._pin
        try:
            job = loop.run_in_executor(None, self._open)
        except BaseException:
            if pin is not None:
                os.close(pin)
            raise
        try:
            # Shielded: a job cancelled before it starts would never close
            # the pin; the job always runs and ends quickly once released.
            fd = await asyncio.shield(job)
        except asyncio.CancelledError:
            self._cancel()
            await _settle(job)
            raise
        except BaseException:
            self._cancel()
            raise
        if pin is not None:
            os.close(pin)
        return fd

    def _open(self) -> int:
        # Worker thread.
        try:
            fd = os.open(self._target, self._flags)
        except BaseException:
            with self._lock:
                self._finished = True
                if self._cancelled:
                    self._close_all()
            raise
        with self._lock:
            self._fd = fd
            self._finished = True
            if self._cancelled:
                self._close_all()
        return fd

    def _cancel(self) -> None:
        # Loop thread; also after a failed open. The releasing descriptor
        # stays open until the open returns, so that one which has not
        # begun yet does not wait either.
        with self._lock:
            self._cancelled = True
            if self._finished:
                self._close_all()
                return
            if self._pin is None:
                self._release = _release_fifo_at(self._target)
                return
            try:
                self._release = os.open(self._target, os.O_RDWR | os.O_NONBLOCK | os.O_CLOEXEC | os.O_NOCTTY)
            except OSError:
                pass  # the open then waits for a real writer

    def _close_all(self) -> None:
        for fd in (self._fd, self._release, self._pin):
            if fd is not None:
                os.close(fd)
        self._fd = self._release = self._pin = None
