"""Pipe transports: connect_read_pipe and connect_write_pipe.

Both ends work on readiness (add_reader/add_writer) with plain os.read and
os.write on a descriptor switched to non-blocking mode, and follow the
standard loop's pipe transports call for call: the protocol's
connection_made is queued first, reading starts only after it, the waiter
is released last, and connection_lost always comes from a callback of the
loop, never from inside the caller's method.

The write end also watches its descriptor for reading: a pipe's write end
polls readable (an error condition, in fact) once every reader has gone,
which is how the transport learns that its peer closed without writing
anything.
"""

from __future__ import annotations

import errno
import os
import stat
import warnings
from asyncio import constants, transports
from asyncio.log import logger
from typing import TYPE_CHECKING, Any

from . import _borrowed
from ._loop_base import LoopBase
from ._transport_base import TransportBase

if TYPE_CHECKING:
    import asyncio


def _kind_ok(fd: int, allow_char: bool) -> bool:
    mode = os.fstat(fd).st_mode
    return stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode) or (allow_char and stat.S_ISCHR(mode))


def _repr(transport: Any, polling: bool, *more: str) -> str:
    """The standard loop's shape: "closing" or "closed" ahead of the
    descriptor, then "polling" or "idle" while a running loop watches it,
    "open" once that loop is closed (nothing watches any more), "closed"
    once the pipe is."""
    info = [type(transport).__name__]
    if transport._pipe is None:
        info.append("closed")
    elif transport._closing:
        info.append("closing")
    info.append(f"fd={transport._fileno}")
    loop = transport._loop
    if transport._pipe is None:
        info.append("closed")
    elif loop is None or loop.is_closed():
        info.append("open")
    else:
        info.append("polling" if polling else "idle")
        info.extend(more)
    return "<{}>".format(" ".join(info))


class ReadPipeTransport(TransportBase, transports.ReadTransport):
    _fatal_message = "Fatal error on pipe transport"
    max_size = 256 * 1024  # bytes read in one loop iteration at most

    def __init__(
        self,
        loop: LoopBase,
        pipe: Any,
        protocol: asyncio.BaseProtocol,
        waiter: asyncio.Future[None] | None = None,
        extra: dict[str, Any] | None = None,
    ) -> None:
        super().__init__(extra)
        self._extra["pipe"] = pipe
        self._loop = loop
        self._pipe = pipe
        self._fileno = pipe.fileno()
        self._protocol: Any = protocol
        self._closing = False
        self._paused = False
        if not _kind_ok(self._fileno, allow_char=True):
            self._pipe = None
            self._protocol = None
            raise ValueError("Pipe transport is for pipes/sockets only.")
        os.set_blocking(self._fileno, False)
        loop.call_soon(protocol.connection_made, self)
        loop.call_soon(self._start_reading)
        if waiter is not None:
            loop.call_soon(_borrowed.set_result_unless_cancelled, waiter, None)

    def __repr__(self) -> str:
        return _repr(self, self.is_reading())

    def _start_reading(self) -> None:
        if self.is_reading():
            self._loop.add_reader(self._fileno, self._read_ready)

    def _read_ready(self) -> None:
        if not self.is_reading():
            return  # a readiness run queued before a pause or a close
        try:
            data = os.read(self._fileno, self.max_size)
        except (BlockingIOError, InterruptedError):
            return
        except OSError as exc:
            self._fatal_error(exc, "Fatal read error on pipe transport")
            return
        if data:
            self._protocol.data_received(data)
            return
        if self._loop.get_debug():
            logger.info("%r was closed by peer", self)
        self._closing = True
        self._loop.remove_reader(self._fileno)
        self._loop.call_soon(self._protocol.eof_received)
        self._loop.call_soon(self._call_connection_lost, None)

    def is_reading(self) -> bool:
        return not self._paused and not self._closing

    def pause_reading(self) -> None:
        if not self.is_reading():
            return
        self._paused = True
        self._loop.remove_reader(self._fileno)
        if self._loop.get_debug():
            logger.debug("%r pauses reading", self)

    def resume_reading(self) -> None:
        if self._closing or not self._paused:
            return
        self._paused = False
        self._loop.add_reader(self._fileno, self._read_ready)
        if self._loop.get_debug():
            logger.debug("%r resumes reading", self)

    def close(self) -> None:
        if not self._closing:
            self._force_close(None)

    def __del__(self, _warn: Any = warnings.warn) -> None:
        if self._pipe is not None:
            _warn(f"unclosed transport {self!r}", ResourceWarning, source=self)
            self._pipe.close()

    def _is_quiet_error(self, exc: BaseException) -> bool:
        # EIO is how a pseudo-terminal reports that its other side closed.
        return isinstance(exc, OSError) and exc.errno == errno.EIO

    def _force_close(self, exc: BaseException | None) -> None:
        self._closing = True
        self._loop.remove_reader(self._fileno)
        self._loop.call_soon(self._call_connection_lost, exc)

    def _call_connection_lost(self, exc: BaseException | None) -> None:
        try:
            self._protocol.connection_lost(exc)
        finally:
            self._pipe.close()
            self._pipe = None
            self._protocol = None
            self._loop = None


class WritePipeTransport(TransportBase, _borrowed.FlowControlMixin, transports.WriteTransport):
    _fatal_message = "Fatal error on pipe transport"

    def __init__(
        self,
        loop: LoopBase,
        pipe: Any,
        protocol: asyncio.BaseProtocol,
        waiter: asyncio.Future[None] | None = None,
        extra: dict[str, Any] | None = None,
    ) -> None:
        super().__init__(extra, loop)
        self._extra["pipe"] = pipe
        self._pipe = pipe
        self._fileno = pipe.fileno()
        self._protocol: Any = protocol
        self._buffer = bytearray()
        self._conn_lost = 0
        self._closing = False  # close() or write_eof() was called
        mode = os.fstat(self._fileno).st_mode
        if not (stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode) or stat.S_ISCHR(mode)):
            self._pipe = None
            self._protocol = None
            raise ValueError("Pipe transport is only for pipes, sockets and character devices")
        os.set_blocking(self._fileno, False)
        loop.call_soon(protocol.connection_made, self)
        if stat.S_ISFIFO(mode) or stat.S_ISSOCK(mode):
            # Character devices never poll readable on their write side.
            loop.call_soon(loop.add_reader, self._fileno, self._read_ready)
        if waiter is not None:
            loop.call_soon(_borrowed.set_result_unless_cancelled, waiter, None)

    def __repr__(self) -> str:
        return _repr(self, bool(self._buffer), f"bufsize={self.get_write_buffer_size()}")

    def get_write_buffer_size(self) -> int:
        return len(self._buffer)

    def _read_ready(self) -> None:
        # The reader end is gone.
        if self._pipe is None:
            return
        if self._loop.get_debug():
            logger.info("%r was closed by peer", self)
        if self._buffer:
            self._force_close(BrokenPipeError())
        else:
            self._force_close()

    def write(self, data: Any) -> None:
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"data argument must be a bytes-like object, not {type(data).__name__!r}")
        if isinstance(data, bytearray):
            data = memoryview(data)
        if not data:
            return
        if self._conn_lost or self._closing:
            if self._conn_lost >= constants.LOG_THRESHOLD_FOR_CONNLOST_WRITES:
                logger.warning("pipe closed by peer or os.write(pipe, data) raised exception.")
            self._conn_lost += 1
            return
        if not self._buffer:
            try:
                n = os.write(self._fileno, data)
            except (BlockingIOError, InterruptedError):
                n = 0
            except (SystemExit, KeyboardInterrupt):
                raise
            except BaseException as exc:
                self._conn_lost += 1
                self._fatal_error(exc, "Fatal write error on pipe transport")
                return
            if n == len(data):
                return
            if n > 0:
                data = memoryview(data)[n:]
            self._loop.add_writer(self._fileno, self._write_ready)
        self._buffer += data
        self._maybe_pause_protocol()

    def _write_ready(self) -> None:
        if not self._buffer:
            return  # a readiness run queued before the buffer was dropped
        try:
            n = os.write(self._fileno, self._buffer)
        except (BlockingIOError, InterruptedError):
            return
        except (SystemExit, KeyboardInterrupt):
            raise
        except BaseException as exc:
            self._buffer.clear()
            self._conn_lost += 1
            self._loop.remove_writer(self._fileno)
            self._fatal_error(exc, "Fatal write error on pipe transport")
            return
        if n == len(self._buffer):
            self._buffer.clear()
            self._loop.remove_writer(self._fileno)
            self._maybe_resume_protocol()  # may write again
            if self._closing and not self._buffer:
                self._loop.remove_reader(self._fileno)
                self._call_connection_lost(None)
        elif n > 0:
            del self._buffer[:n]

    def can_write_eof(self) -> bool:
        return True

    def write_eof(self) -> None:
        if self._closing:
            return
        assert self._pipe
        self._closing = True
        if not self._buffer:
            self._loop.remove_reader(self._fileno)
            self._loop.call_soon(self._call_connection_lost, None)

    def close(self) -> None:
        if self._pipe is not None and not self._closing:
            self.write_eof()  # flushes what is buffered first

    def __del__(self, _warn: Any = warnings.warn) -> None:
        if self._pipe is not None:
            _warn(f"unclosed transport {self!r}", ResourceWarning, source=self)
            self._pipe.close()

    def abort(self) -> None:
        self._force_close(None)

    def _force_close(self, exc: BaseException | None = None) -> None:
        if self._pipe is None:
            return
        self._closing = True
        if self._buffer:
            self._loop.remove_writer(self._fileno)
        self._buffer.clear()
        self._loop.remove_reader(self._fileno)
        self._loop.call_soon(self._call_connection_lost, exc)

    def _call_connection_lost(self, exc: BaseException | None) -> None:
        if self._pipe is None:
            return  # already lost (abort after a close in flight)
        try:
            self._protocol.connection_lost(exc)
        finally:
            self._pipe.close()
            self._pipe = None
            self._protocol = None
            self._loop = None


class PipesMixin(LoopBase):
    __slots__ = ()

    async def connect_read_pipe(self, protocol_factory: Any, pipe: Any) -> tuple[ReadPipeTransport, Any]:
        return await self._connect_pipe(ReadPipeTransport, protocol_factory, pipe, "Read")

    async def connect_write_pipe(self, protocol_factory: Any, pipe: Any) -> tuple[WritePipeTransport, Any]:
        return await self._connect_pipe(WritePipeTransport, protocol_factory, pipe, "Write")

    async def _connect_pipe[T: (ReadPipeTransport, WritePipeTransport)](
        self, transport_class: type[T], protocol_factory: Any, pipe: Any, end: str
    ) -> tuple[T, Any]:
        protocol = protocol_factory()
        waiter = self.create_future()
        transport = transport_class(self, pipe, protocol, waiter)
        try:
            await waiter
        except:
            transport.close()
            raise
        if self._debug:
            logger.debug("%s pipe %r connected: (%r, %r)", end, pipe.fileno(), transport, protocol)
        return transport, protocol
