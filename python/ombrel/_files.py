"""Asynchronous files on the loop's native file operations.

    async with ombrel.open(path, "w", encoding="utf-8") as f:
        await f.write("hello\\n")
    f = await ombrel.open(path, "rb")

`open` is the built-in open made asynchronous: the same arguments and
errors, and objects with the familiar methods, whose I/O methods are
coroutines. Its result is awaited or used with `async with`. An opener
runs on the loop thread, as the built-in runs it: synchronously.

The file position is tracked here, not by the kernel: every read and
write of a regular file is a positional native operation at that
position, so independent positional calls (pread/pwrite) can run
concurrently on one file object with no seek in between. Files that cannot seek (FIFOs, terminals) are read and
written in stream order instead and refuse seek, tell, pread and pwrite.

Reads and writes that go to the kernel are the native operations' futures,
awaited directly: cancelling the awaiting task aborts the operation. Opening
and closing are the exception: a cancelled open could lose a descriptor
that the kernel already made, and a cancelled close could leave one open,
so those two run to their end and only the caller stops waiting.

A FIFO opens as open(2) opens it: for reading only, once a writer has it
open; for writing only, once a reader has. The ring's open does not wait
for a writer (it opens non-blocking, then clears the flag), so a read-only
FIFO is opened again on a worker thread the blocking way. Either wait ends
when the awaiting task is cancelled: the FIFO is then opened for reading
and writing here, which lets the waiting open through, and what it opens is
closed.

A file object dropped without close() writes its buffered bytes and closes
its descriptor with plain blocking calls, as the built-in file does, since
the loop may be stopped or gone by then.

Append mode writes at the end of the file as it is when a write (or a
flush of buffered writes) begins; unlike O_APPEND this is not atomic
against other processes appending to the same file. pwrite there writes
at the end too, as os.pwrite does on an O_APPEND descriptor.

A descriptor handed to open starts at its offset; reads and writes are
positional, so the descriptor's own offset stays where it was.
"""

from __future__ import annotations

import asyncio
import codecs
import errno
import io
import locale
import operator
import os
import stat
import threading
import warnings
from collections.abc import Buffer, Callable, Coroutine, Generator, Iterable
from typing import TYPE_CHECKING, Any, Literal, TypeVar, overload

if TYPE_CHECKING:
    from ._loop import Loop

__all__ = ["AsyncFile", "AsyncTextFile", "FileOpening", "open"]

# The module's own open flags (not os.O_*).
_CREATE, _READ, _WRITE, _TRUNC, _EXCL = 1, 2, 4, 8, 16

DEFAULT_BUFFER_SIZE = max(io.DEFAULT_BUFFER_SIZE, 64 * 1024)


# A text position: the byte offset of a point where the decoder holds no
# bytes, the decoder's flags there, then the bytes to feed it from there
# and the characters of their text to skip (and whether the feed ends the
# file). Laid out as io.TextIOWrapper lays out its tell() numbers.
def _cookie(pos: int, flags: int = 0, feed: int = 0, eof: bool = False, skip: int = 0) -> int:
    return pos | (flags << 64) | (feed << 128) | (skip << 192) | (int(eof) << 256)


def _uncookie(cookie: int) -> tuple[int, int, int, bool, int]:
    mask = (1 << 64) - 1
    return cookie & mask, (cookie >> 64) & mask, (cookie >> 128) & mask, bool(cookie >> 256), (cookie >> 192) & mask


_OFF_MAX = (1 << 63) - 1


def _offset_arg(offset: int) -> int:
    """A file offset as the kernel takes it: negative ones are the kernel's
    EINVAL, ones past off_t the built-in file's ValueError."""
    offset = operator.index(offset)
    if offset < 0:
        raise OSError(errno.EINVAL, os.strerror(errno.EINVAL))
    if offset > _OFF_MAX:
        raise ValueError("cannot fit 'int' into an offset-sized integer")
    return offset


def _size_arg(size: int | None) -> int:
    """A read size: -1 or None for all, as the built-in's read takes it."""
    if size is None:
        return -1
    if not isinstance(size, int):
        raise TypeError(f"argument should be integer or None, not '{type(size).__name__}'")
    if size < -1:
        raise ValueError("read length must be non-negative or -1")
    return size


def _closed_error() -> ValueError:
    return ValueError("I/O operation on closed file.")


def _parse_mode(mode: str) -> tuple[str, bool, bool]:
    """(one of "rwxa", plus, binary) with the built-in open's errors."""
    if not isinstance(mode, str):
        raise TypeError(f"open() argument 'mode' must be str, not {type(mode).__name__}")
    modes = set(mode)
    if modes - set("axrwb+t") or len(mode) > len(modes):
        raise ValueError(f"invalid mode: {mode!r}")
    kinds = modes & set("rwxa")
    if len(kinds) != 1:
        raise ValueError("must have exactly one of create/read/write/append mode")
    if "b" in modes and "t" in modes:
        raise ValueError("can't have text and binary mode at once")
    return kinds.pop(), "+" in modes, "b" in modes


def _native_flags(kind: str, plus: bool) -> int:
    if kind == "r":
        return _READ | (_WRITE if plus else 0)
    flags = _CREATE | (_READ if plus else 0)
    if kind == "w":
        flags |= _TRUNC
    elif kind == "x":
        flags |= _EXCL
    return flags


# The modes a type checker can tell apart, in the usual spellings; any other
# valid spelling still works and is typed as either kind of file.
_TextMode = Literal[
    "r",
    "w",
    "a",
    "x",
    "r+",
    "w+",
    "a+",
    "x+",
    "rt",
    "wt",
    "at",
    "xt",
    "r+t",
    "w+t",
    "a+t",
    "x+t",
    "rt+",
    "wt+",
    "at+",
    "xt+",
]
_BinaryMode = Literal["rb", "wb", "ab", "xb", "r+b", "w+b", "a+b", "x+b", "rb+", "wb+", "ab+", "xb+"]


_F = TypeVar("_F", bound="AsyncFile | AsyncTextFile")
_File = str | bytes | int | os.PathLike[str] | os.PathLike[bytes]
_Opener = Callable[[Any, int], int]


class FileOpening(Coroutine[Any, Any, _F]):
    """What ombrel.open returns: awaited, the open file; used with
    `async with`, the open file closed on the way out. It is the opening
    coroutine itself (send/throw/close go to it), so it can also be
    handed to anything that takes a coroutine."""

    __slots__ = ("_coro", "_file")

    def __init__(self, coro: Coroutine[Any, Any, _F]) -> None:
        self._coro = coro
        self._file: _F | None = None

    def __await__(self) -> Generator[Any, None, _F]:
        return self._coro.__await__()

    def send(self, value: Any) -> Any:
        return self._coro.send(value)

    def throw(self, *args: Any) -> Any:
        return self._coro.throw(*args)

    def close(self) -> None:
        self._coro.close()

    async def __aenter__(self) -> _F:
        self._file = await self._coro
        return self._file

    async def __aexit__(self, *exc: object) -> None:
        if self._file is not None:
            await self._file.close()


@overload
def open(
    file: _File,
    mode: _TextMode = "r",
    buffering: int = -1,
    encoding: str | None = None,
    errors: str | None = None,
    newline: str | None = None,
    closefd: bool = True,
    opener: _Opener | None = None,
) -> FileOpening[AsyncTextFile]: ...
@overload
def open(
    file: _File,
    mode: _BinaryMode,
    buffering: int = -1,
    encoding: None = None,
    errors: None = None,
    newline: None = None,
    closefd: bool = True,
    opener: _Opener | None = None,
) -> FileOpening[AsyncFile]: ...
@overload
def open(
    file: _File,
    mode: str,
    buffering: int = -1,
    encoding: str | None = None,
    errors: str | None = None,
    newline: str | None = None,
    closefd: bool = True,
    opener: _Opener | None = None,
) -> FileOpening[AsyncFile | AsyncTextFile]: ...
def open(
    file: _File,
    mode: str = "r",
    buffering: int = -1,
    encoding: str | None = None,
    errors: str | None = None,
    newline: str | None = None,
    closefd: bool = True,
    opener: _Opener | None = None,
) -> FileOpening[Any]:
    """Open a file on the running ombrel loop; see the built-in open().
    Await the result, or use it with `async with`."""
    return FileOpening(_open(file, mode, buffering, encoding, errors, newline, closefd, opener))


def _check_str_arg(name: str, value: object) -> None:
    if value is not None and not isinstance(value, str):
        raise TypeError(f"open() argument '{name}' must be str or None, not {type(value).__name__}")


def _os_flags(kind: str, plus: bool) -> int:
    """The open(2) flags the built-in open hands an opener."""
    flags = os.O_RDWR if plus else os.O_RDONLY if kind == "r" else os.O_WRONLY
    flags |= {"r": 0, "w": os.O_CREAT | os.O_TRUNC, "x": os.O_CREAT | os.O_EXCL, "a": os.O_CREAT | os.O_APPEND}[kind]
    return flags | os.O_CLOEXEC


async def _open(
    file: _File,
    mode: str,
    buffering: int,
    encoding: str | None,
    errors: str | None,
    newline: str | None,
    closefd: bool,
    opener: _Opener | None,
) -> AsyncFile | AsyncTextFile:
    if not isinstance(file, int):
        file = os.fspath(file)  # TypeError for anything else, as the built-in
    kind, plus, binary = _parse_mode(mode)
    if not isinstance(buffering, int):
        raise TypeError(f"'{type(buffering).__name__}' object cannot be interpreted as an integer")
    for arg, value in (("encoding", encoding), ("errors", errors), ("newline", newline)):
        _check_str_arg(arg, value)
    if binary:
        if encoding is not None:
            raise ValueError("binary mode doesn't take an encoding argument")
        if errors is not None:
            raise ValueError("binary mode doesn't take an errors argument")
        if newline is not None:
            raise ValueError("binary mode doesn't take a newline argument")
        if buffering == 1:
            warnings.warn(
                "line buffering (buffering=1) isn't supported in binary mode, the default buffer size will be used",
                RuntimeWarning,
                stacklevel=2,
            )
    else:
        if buffering == 0:
            raise ValueError("can't have unbuffered text I/O")
        if newline not in (None, "", "\n", "\r", "\r\n"):
            raise ValueError(f"illegal newline value: {newline}")
        encoding = io.text_encoding(encoding)
        if encoding == "locale":
            encoding = locale.getencoding()
        codecs.lookup(encoding)  # LookupError before anything is opened
        if errors is None:
            errors = "strict"
    if isinstance(file, int):
        if file < 0:
            raise ValueError("negative file descriptor")
    elif not closefd:
        raise ValueError("Cannot use closefd=False with file name")
    elif "\0" in (file if isinstance(file, str) else os.fsdecode(file)):
        raise ValueError("embedded null byte")

    loop = asyncio.get_running_loop()
    from ._loop import Loop

    if not isinstance(loop, Loop):
        raise RuntimeError("ombrel.open() needs a running ombrel loop")

    owned = closefd
    name: str | bytes | int = file
    if isinstance(file, int):
        fd = file
    else:
        path = file if isinstance(file, str) else os.fsdecode(file)
        if opener is not None:
            fd = opener(file, _os_flags(kind, plus))
            if not isinstance(fd, int):
                raise TypeError("expected integer from opener")
            if fd < 0:
                raise ValueError(f"opener returned {fd}")
        else:
            fd = await _open_fd(loop, path, _native_flags(kind, plus), may_wait=kind in "wa" and not plus, name=file)
            if kind == "r" and not plus:
                fd = await _wait_for_writer(loop, fd)
    try:
        st = os.fstat(fd)
        if stat.S_ISDIR(st.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), name)
        try:
            here = os.lseek(fd, 0, os.SEEK_CUR)
            seekable = True
        except OSError:
            seekable = False
        if kind == "a" and seekable:
            position = st.st_size
        else:
            # A descriptor handed in starts where its offset stands.
            position = here if seekable and isinstance(file, int) else 0
        bufsize = DEFAULT_BUFFER_SIZE if buffering in (-1, 1) else buffering
        raw = AsyncFile(
            loop,
            fd,
            name,
            mode if binary else mode.replace("t", "") + "b",
            readable=kind == "r" or plus,
            writable=kind != "r" or plus,
            append=kind == "a",
            seekable=seekable,
            bufsize=bufsize if buffering != 0 else 0,
            position=position,
            closefd=owned,
        )
    except BaseException:
        if owned:
            os.close(fd)
        raise
    if binary:
        return raw
    return AsyncTextFile(raw, encoding, errors, newline, line_buffering=buffering == 1, mode=mode)


async def _open_fd(loop: Loop, path: str, flags: int, *, may_wait: bool, name: str | bytes | None = None) -> int:
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


async def _wait_for_writer(loop: Loop, fd: int) -> int:
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

    `pin` is a descriptor that keeps `target` naming the FIFO until the
    open is over; it is closed then. The worker thread and the loop thread
    meet under `_lock`: whichever of the open's return and the loop's
    cancel comes second closes what is left, so that neither depends on
    the loop still running when the open returns.
    """

    def __init__(self, target: str, flags: int, *, pin: int) -> None:
        self._target = target
        self._flags = flags | os.O_CLOEXEC | os.O_NOCTTY
        self._pin: int | None = pin
        self._lock = threading.Lock()
        self._fd: int | None = None
        self._finished = False
        self._cancelled = False
        self._release: int | None = None

    async def wait(self, loop: Loop) -> int:
        pin = self._pin
        try:
            job = loop.run_in_executor(None, self._open)
        except BaseException:
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
            try:
                self._release = os.open(self._target, os.O_RDWR | os.O_NONBLOCK | os.O_CLOEXEC | os.O_NOCTTY)
            except OSError:
                pass  # the open then waits for a real writer

    def _close_all(self) -> None:
        for fd in (self._fd, self._release, self._pin):
            if fd is not None:
                os.close(fd)
        self._fd = self._release = self._pin = None


class AsyncFile:
    """A binary file; what ombrel.open returns for a mode with "b".

    Buffered like io.BufferedRandom: reads fetch at least `bufsize` bytes
    ahead, writes are gathered up to `bufsize` bytes and written by flush,
    close, a seek, or a read. With buffering=0 each call is one native
    operation.
    """

    def __init__(
        self,
        loop: Loop,
        fd: int,
        name: str | bytes | int,
        mode: str,
        *,
        readable: bool,
        writable: bool,
        append: bool,
        seekable: bool,
        bufsize: int,
        position: int,
        closefd: bool = True,
    ) -> None:
        self._loop = loop
        self._fd = fd
        self.name = name
        self.mode = mode
        self._readable = readable
        self._writable = writable
        self._append = append
        self._seekable = seekable
        self._bufsize = bufsize
        self._pos = position
        self._rbuf = b""  # bytes of the file from _pos on, read ahead
        self._wbuf = bytearray()  # bytes to write at _wstart, ending at _pos
        self._wstart = 0
        self._lock = asyncio.Lock()
        self._closed = False
        self._closefd = closefd  # False: the descriptor is the caller's

    def __repr__(self) -> str:
        state = " closed" if self._closed else ""
        return f"<ombrel.AsyncFile name={self.name!r} mode={self.mode!r}{state}>"

    # Properties of the object.

    @property
    def closed(self) -> bool:
        return self._closed

    def fileno(self) -> int:
        self._check_open()
        return self._fd

    def readable(self) -> bool:
        self._check_open()
        return self._readable

    def writable(self) -> bool:
        self._check_open()
        return self._writable

    def seekable(self) -> bool:
        self._check_open()
        return self._seekable

    def isatty(self) -> bool:
        self._check_open()
        return os.isatty(self._fd)

    def _check_open(self) -> None:
        if self._closed:
            raise _closed_error()

    def _check_readable(self) -> None:
        self._check_open()
        if not self._readable:
            raise io.UnsupportedOperation("File not open for reading")

    def _check_writable(self) -> None:
        self._check_open()
        if not self._writable:
            raise io.UnsupportedOperation("File not open for writing")

    def _check_seekable(self) -> None:
        self._check_open()
        if not self._seekable:
            raise io.UnsupportedOperation("File or stream is not seekable.")

    # Native operations at a position (or in stream order).

    async def _raw_read(self, size: int, offset: int) -> bytes:
        if self._seekable:
            return await self._loop._file_pread(self._fd, size, offset)
        fut = self._loop._file_read(self._fd, size)
        try:
            return await fut
        except BaseException:
            # Read, but the task was cancelled before it resumed: the bytes
            # are gone from the stream, so they go back to the engine, first
            # in line for the next read of this descriptor.
            if fut.done() and not fut.cancelled() and fut.exception() is None:
                self._loop._sock_unrecv(self._fd, fut.result())
            raise

    async def _raw_write(self, data: Buffer, offset: int) -> int:
        if self._seekable:
            return await self._loop._file_pwrite(self._fd, data, offset)
        return await self._loop._file_write(self._fd, data)

    # Reading.

    async def read(self, size: int | None = -1) -> bytes:
        """Up to `size` bytes (all to the end of file when negative or None);
        fewer only at the end of the file."""
        self._check_readable()
        size = _size_arg(size)
        async with self._lock:
            await self._flush_locked()
            if size < 0:
                return await self._read_all()
            return await self._read_upto(size)

    async def _read_upto(self, size: int) -> bytes:
        # A buffered read of a file that seeks goes on past short reads
        # (/proc, FUSE) to `size` or the end, as the built-in's buffered
        # read does; unbuffered reads and streams give one read's bytes.
        chunks = [self._rbuf]
        have = len(self._rbuf)
        while have < size:
            more = await self._raw_read(max(self._bufsize, size - have), self._pos + have)
            chunks.append(more)
            have += len(more)
            if not more or not self._bufsize or not self._seekable:
                break
        buf = b"".join(chunks) if len(chunks) > 1 else chunks[0]
        data, self._rbuf = buf[:size], buf[size:]
        self._pos += len(data)
        return data

    async def _read_all(self) -> bytes:
        chunks = [self._rbuf]
        offset = self._pos + len(self._rbuf)
        self._rbuf = b""
        want = max(self._bufsize, DEFAULT_BUFFER_SIZE)
        if self._seekable:
            # One read for what the file says it holds, then on until a
            # read returns nothing: a short read is not the end (files of
            # /proc and /sys report size 0 and give a page per read, and
            # the file may grow meanwhile).
            left = await self._loop._file_size(self._fd) - offset
            if left > 0:
                want = left + 1
        try:
            while True:
                chunk = await self._raw_read(want, offset)
                if not chunk:
                    break
                chunks.append(chunk)
                offset += len(chunk)
                want = max(self._bufsize, DEFAULT_BUFFER_SIZE)
        except BaseException:
            # Interrupted: what was read stays buffered for the next read
            # (from a stream it could not be read again).
            self._rbuf = b"".join(chunks)
            raise
        data = b"".join(chunks)
        self._pos += len(data)
        return data

    async def readinto(self, buffer: Buffer) -> int:
        """Read into a writable bytes-like object; the count read."""
        self._check_readable()
        view = memoryview(buffer).cast("B")
        data = await self.read(len(view)) if len(view) else b""
        view[: len(data)] = data
        return len(data)

    async def readline(self, size: int | None = -1) -> bytes:
        """One line with its b"\\n" (none at the end of file), at most
        `size` bytes when size is not negative."""
        self._check_readable()
        size = _size_arg(size) if size is None or size >= 0 else -1
        async with self._lock:
            await self._flush_locked()
            start = 0
            while True:
                end = self._rbuf.find(b"\n", start)
                if end >= 0:
                    n = end + 1
                    break
                if 0 <= size <= len(self._rbuf):
                    n = size
                    break
                start = len(self._rbuf)
                more = await self._raw_read(max(self._bufsize, 8192), self._pos + len(self._rbuf))
                if not more:
                    n = len(self._rbuf)
                    break
                self._rbuf += more
            if 0 <= size < n:
                n = size
            line, self._rbuf = self._rbuf[:n], self._rbuf[n:]
            self._pos += len(line)
            return line

    async def readlines(self, hint: int = -1) -> list[bytes]:
        lines = []
        total = 0
        async for line in self:
            lines.append(line)
            total += len(line)
            if 0 < hint < total:
                break
        return lines

    def __aiter__(self) -> AsyncFile:
        self._check_open()
        return self

    async def __anext__(self) -> bytes:
        line = await self.readline()
        if not line:
            raise StopAsyncIteration
        return line

    async def peek(self, size: int = 0) -> bytes:
        """The bytes ahead of the position without moving it: what is
        read ahead, or one read's worth when nothing is (b"" at the end);
        the count need not be `size`."""
        self._check_readable()
        async with self._lock:
            await self._flush_locked()
            if not self._rbuf:
                self._rbuf = await self._raw_read(max(self._bufsize, 1), self._pos)
            return self._rbuf

    async def pread(self, size: int, offset: int) -> bytes:
        """Up to `size` bytes at `offset`, leaving the position alone."""
        self._check_readable()
        self._check_seekable()
        size, offset = operator.index(size), _offset_arg(offset)
        if size < 0:
            raise OSError(errno.EINVAL, os.strerror(errno.EINVAL))
        if self._wbuf:
            async with self._lock:
                await self._flush_locked()
        return await self._loop._file_pread(self._fd, size, offset)

    # Writing.

    async def write(self, data: Buffer) -> int:
        """Write all of `data` at the position (at the end in append mode);
        the count of bytes, which is all of them."""
        self._check_writable()
        view = memoryview(data)
        n = view.nbytes
        if not n:
            return 0
        async with self._lock:
            self._rbuf = b""
            if self._append and not self._wbuf and self._seekable:
                self._pos = await self._loop._file_size(self._fd)
            if self._bufsize and n < self._bufsize:
                if not self._wbuf:
                    self._wstart = self._pos
                self._wbuf += view
                self._pos += n
                if len(self._wbuf) >= self._bufsize:
                    await self._flush_locked()
                return n
            await self._flush_locked()
            start = self._pos
            if self._append and self._seekable:
                start = self._pos = await self._loop._file_size(self._fd)
            written = await self._raw_write(view, start)
            self._pos = start + written
            return written

    async def writelines(self, lines: Iterable[Buffer]) -> None:
        for line in lines:
            await self.write(line)

    async def pwrite(self, data: Buffer, offset: int) -> int:
        """Write all of `data` at `offset`, leaving the position alone. In
        append mode the data goes to the end of the file whatever the
        offset, as os.pwrite on the built-in append-mode file does."""
        self._check_writable()
        self._check_seekable()
        offset = _offset_arg(offset)
        if self._wbuf or self._rbuf or self._append:
            async with self._lock:
                await self._flush_locked()
                self._rbuf = b""
                if self._append:
                    offset = await self._loop._file_size(self._fd)
                return await self._loop._file_pwrite(self._fd, data, offset)
        return await self._loop._file_pwrite(self._fd, data, offset)

    async def flush(self) -> None:
        """Write what is buffered."""
        self._check_open()
        if self._wbuf:
            async with self._lock:
                await self._flush_locked()

    async def _flush_locked(self) -> None:
        if not self._wbuf:
            return
        # The buffer under write is pinned by the native operation: later
        # writes go to a fresh one. A failed or cancelled flush puts the
        # data back; writing it again at the same offset is harmless.
        data, self._wbuf = self._wbuf, bytearray()
        start = self._wstart
        if self._append and self._seekable:
            start = await self._loop._file_size(self._fd)
        try:
            await self._raw_write(data, start)
        except BaseException:
            self._wbuf = data
            raise
        self._pos = start + len(data)

    # Position, size and durability.

    def tell(self) -> int:
        self._check_seekable()
        return self._pos

    async def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        """Move the position; the new position."""
        self._check_seekable()
        offset = operator.index(offset)
        if whence not in (os.SEEK_SET, os.SEEK_CUR, os.SEEK_END):
            raise ValueError(f"whence value {whence} unsupported")
        async with self._lock:
            await self._flush_locked()
            if whence == os.SEEK_SET:
                target = offset
            elif whence == os.SEEK_CUR:
                target = self._pos + offset
            else:
                target = await self._loop._file_size(self._fd) + offset
            if target < 0:
                raise OSError(errno.EINVAL, os.strerror(errno.EINVAL))
            if target > _OFF_MAX:
                raise ValueError("cannot fit 'int' into an offset-sized integer")
            ahead = target - self._pos
            self._rbuf = self._rbuf[ahead:] if 0 <= ahead <= len(self._rbuf) else b""
            self._pos = target
            return target

    async def truncate(self, size: int | None = None) -> int:
        """Cut (or extend) the file to `size` bytes, the position by
        default; the position does not move."""
        self._check_writable()
        self._check_seekable()
        async with self._lock:
            await self._flush_locked()
            size = self._pos if size is None else _offset_arg(size)
            await self._loop._file_truncate(self._fd, size)
            self._rbuf = b""
            return size

    async def size(self) -> int:
        """The file's size in bytes, buffered writes included."""
        self._check_open()
        async with self._lock:
            await self._flush_locked()
            return await self._loop._file_size(self._fd)

    async def fsync(self, datasync: bool = False) -> None:
        """Flush, then make the file's data (and, unless datasync, its
        metadata) durable."""
        self._check_open()
        async with self._lock:
            await self._flush_locked()
            await self._loop._file_fsync(self._fd, datasync)

    # Closing.

    async def close(self) -> None:
        """Flush and close; closing twice is allowed."""
        if self._closed:
            return
        try:
            async with self._lock:
                await self._flush_locked()
        finally:
            if not self._closed:
                self._closed = True
                self._rbuf = b""
                self._wbuf = bytearray()
                if self._closefd:
                    await asyncio.shield(self._loop._file_close(self._fd))

    async def __aenter__(self) -> AsyncFile:
        self._check_open()
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.close()

    def __del__(self, _warn: Any = warnings.warn) -> None:
        if getattr(self, "_closed", True):
            return
        try:
            if self._closefd:
                _warn(f"unclosed file {self!r}", ResourceWarning, source=self)
        finally:
            self._finalize()

    def _finalize(self) -> None:
        """Write what is buffered and close, without the loop. Nothing of
        the loop's can be in flight here: an operation in flight keeps its
        task, and so this object, alive."""
        self._closed = True
        data, self._wbuf = memoryview(self._wbuf), bytearray()
        self._rbuf = b""
        try:
            if self._seekable:
                offset = os.fstat(self._fd).st_size if self._append else self._wstart
                while data:
                    n = os.pwrite(self._fd, data, offset)
                    data, offset = data[n:], offset + n
            else:
                while data:
                    data = data[os.write(self._fd, data) :]
        finally:
            if self._closefd:
                os.close(self._fd)


class AsyncTextFile:
    """A text file over an AsyncFile (its `buffer`): characters decoded and
    encoded incrementally, newlines handled like io.TextIOWrapper.

    tell() returns the byte offset itself wherever the decoder is between
    characters with no state of its own (most of the time, for most
    encodings), and a larger opaque number otherwise.
    """

    _CHUNK = 8192  # as io.TextIOWrapper's, so tell() picks the same start

    def __init__(
        self, buffer: AsyncFile, encoding: str, errors: str, newline: str | None, *, line_buffering: bool, mode: str
    ) -> None:
        self.buffer = buffer
        self.encoding = encoding
        self.errors = errors
        self.mode = mode
        self.line_buffering = line_buffering
        self._newline = newline
        # Writing: "\n" becomes the newline asked for ("" and "\n" keep it).
        self._writenl = newline or os.linesep if newline != "" else "\n"
        self._encoder = codecs.getincrementalencoder(encoding)(errors)
        if buffer._pos != 0 and buffer._writable:
            self._no_bom()
        self._decoder = self._make_decoder()
        self._decoded = ""  # text decoded from the file and not returned
        self._used = 0  # characters of _decoded returned so far
        # Where _decoded came from: the decoder's flags and the bytes fed
        # to it since, which end at the buffer's position. None when no
        # text is held (after opening, a write, a seek to a clean point, or
        # reading to the end): tell() is the buffer's position then.
        self._snapshot: tuple[int, bytes] | None = None
        # Reads went ahead of the text position: a write or truncate first
        # puts the buffer back where the reader stands.
        self._ahead = False
        self._eof = False
        self._lock = asyncio.Lock()

    def __repr__(self) -> str:
        state = " closed" if self.closed else ""
        return f"<ombrel.AsyncTextFile name={self.name!r} mode={self.mode!r} encoding={self.encoding!r}{state}>"

    def _make_decoder(self) -> Any:
        decoder = codecs.getincrementaldecoder(self.encoding)(self.errors)
        if self._newline is None:
            return io.IncrementalNewlineDecoder(decoder, translate=True)
        if self._newline == "":
            return io.IncrementalNewlineDecoder(decoder, translate=False)
        return decoder

    def _no_bom(self) -> None:
        # Writing after the start of a file: no byte-order mark.
        try:
            self._encoder.setstate(0)
        except (AttributeError, TypeError):
            pass

    # Properties.

    @property
    def name(self) -> str | bytes | int:
        return self.buffer.name

    @property
    def closed(self) -> bool:
        return self.buffer.closed

    @property
    def newlines(self) -> str | tuple[str, ...] | None:
        return getattr(self._decoder, "newlines", None)

    def fileno(self) -> int:
        return self.buffer.fileno()

    def readable(self) -> bool:
        return self.buffer.readable()

    def writable(self) -> bool:
        return self.buffer.writable()

    def seekable(self) -> bool:
        return self.buffer.seekable()

    def isatty(self) -> bool:
        return self.buffer.isatty()

    # Reading.

    def _reset_decoding(self) -> None:
        """Forget decoded text and the decoder's state, as after a write."""
        self._decoder.reset()
        self._decoded = ""
        self._used = 0
        self._snapshot = None
        self._ahead = False
        self._eof = False

    async def _read_chunk(self) -> bool:
        """Decode one more chunk; False at the end of the file."""
        if self._eof:
            return False
        if self._used == len(self._decoded) or self._snapshot is None:
            # Nothing pending: the snapshot starts afresh here.
            state_bytes, flags = self._decoder.getstate()
            self._snapshot = (flags, state_bytes)
            self._decoded = self._decoded[self._used :]
            self._used = 0
        raw = await self.buffer.read(self._CHUNK)
        self._eof = not raw
        self._ahead = True
        flags, fed = self._snapshot
        self._snapshot = (flags, fed + raw)
        self._decoded += self._decoder.decode(raw, final=self._eof)
        return not self._eof

    def _take(self, n: int) -> str:
        text = self._decoded[self._used : self._used + n]
        self._used += len(text)
        return text

    async def read(self, size: int | None = -1) -> str:
        """Up to `size` characters, all to the end of file by default."""
        self.buffer._check_readable()
        if size is None:
            size = -1
        elif not isinstance(size, int):
            raise TypeError(f"argument should be integer or None, not '{type(size).__name__}'")
        async with self._lock:
            await self._before_read()
            self._eof = False  # the file may have grown since
            if size < 0:
                rest = self._decoded[self._used :]
                raw = await self.buffer.read()
                text = rest + self._decoder.decode(raw, final=True)
                # Everything is returned and the decoder is empty: the
                # position is the buffer's again.
                self._decoded = ""
                self._used = 0
                self._snapshot = None
                self._ahead = False
                return text
            while len(self._decoded) - self._used < size and await self._read_chunk():
                pass
            return self._take(size)

    async def _before_read(self) -> None:
        if self.buffer._wbuf:
            await self.buffer.flush()

    def _line_end(self, start: int) -> tuple[int, int]:
        """(index after the first line end at or after `start`, where the
        next search may start) in _decoded; -1 when there is none yet."""
        text = self._decoded
        nl = self._newline
        if nl is None or nl == "\n":
            i = text.find("\n", start)
            return (i + 1 if i >= 0 else -1), len(text)
        if nl == "":
            # The decoder holds back a final "\r" until it sees what follows.
            cr = text.find("\r", start)
            lf = text.find("\n", start)
            if cr < 0 and lf < 0:
                return -1, len(text)
            if cr < 0 or (0 <= lf < cr):
                return lf + 1, len(text)
            if cr + 1 < len(text):
                return (cr + 2 if text[cr + 1] == "\n" else cr + 1), len(text)
            return (cr + 1 if self._eof else -1), cr
        i = text.find(nl, start)
        return (i + len(nl) if i >= 0 else -1), max(len(text) - len(nl) + 1, start)

    async def readline(self, size: int | None = -1) -> str:
        """One line with its line end (none at the end of file), at most
        `size` characters when size is not negative."""
        self.buffer._check_readable()
        if size is None:
            size = -1
        async with self._lock:
            await self._before_read()
            self._eof = False
            start = self._used
            while True:
                end, start = self._line_end(start)
                if end >= 0:
                    n = end - self._used
                    break
                if 0 <= size <= len(self._decoded) - self._used:
                    n = size
                    break
                restarted = self._used == len(self._decoded)
                more = await self._read_chunk()
                if restarted:
                    start = 0  # _read_chunk began a new snapshot
                if not more:
                    end, _ = self._line_end(self._used)
                    n = (end if end >= 0 else len(self._decoded)) - self._used
                    break
            if 0 <= size < n:
                n = size
            line = self._take(n)
            if self._eof and self._used == len(self._decoded):
                self._snapshot = None  # all returned: a plain offset again
                self._ahead = False
            return line

    async def readlines(self, hint: int = -1) -> list[str]:
        lines = []
        total = 0
        async for line in self:
            lines.append(line)
            total += len(line)
            if 0 < hint < total:
                break
        return lines

    def __aiter__(self) -> AsyncTextFile:
        self.buffer._check_open()
        return self

    async def __anext__(self) -> str:
        line = await self.readline()
        if not line:
            raise StopAsyncIteration
        return line

    # Writing.

    async def write(self, text: str) -> int:
        """Write a string; its length in characters."""
        if not isinstance(text, str):
            raise TypeError(f"write() argument must be str, not {type(text).__name__}")
        self.buffer._check_writable()
        async with self._lock:
            if self.buffer._seekable:
                if self._ahead:
                    # Read ahead: the write goes where the reader stands.
                    await self._seek_locked(self._tell())
                # What was decoded, and a "\r" held back to see whether
                # "\n" follows, belong to bytes this write may replace. A
                # stream's reading side is another direction: kept.
                self._reset_decoding()
            out = text
            if self._writenl != "\n" and "\n" in out:
                out = out.replace("\n", self._writenl)
            data = self._encoder.encode(out)
            await self.buffer.write(data)
            if self.line_buffering and ("\n" in text or "\r" in text):
                await self.buffer.flush()
            return len(text)

    async def writelines(self, lines: Iterable[str]) -> None:
        for line in lines:
            await self.write(line)

    async def flush(self) -> None:
        await self.buffer.flush()

    # Position, size and durability.

    def tell(self) -> int:
        """An opaque position for seek(): the byte offset, with the
        decoder's state and the characters to skip from there above bit 64
        when the offset alone does not say it (as io.TextIOWrapper does)."""
        self.buffer._check_seekable()
        return self._tell()

    def _tell(self) -> int:
        position = self.buffer._pos
        if self._snapshot is None:
            return position
        flags, fed = self._snapshot
        start = position - len(fed)
        skip = self._used
        if skip == 0:
            return _cookie(start, flags)
        # A fresh decoder finds a start nearer the position where it holds
        # no bytes: first a guess from the bytes per character of the
        # snapshot (one decode for fixed-width encodings), backing off
        # while it overshoots; then a byte at a time from there, moving
        # the start to each later such point that has given no more
        # characters than were returned. Where the text position falls
        # between two such points (a "\r" held back before a possible
        # "\n"), the guess decides between them as io.TextIOWrapper's does,
        # so a write after seek(tell()) lands on the same byte.
        decoder = self._make_decoder()
        guess = int(len(fed) / len(self._decoded) * skip) if self._decoded else 0
        back = 1
        while guess > 0:
            decoder.setstate((b"", flags))
            n = len(decoder.decode(fed[:guess]))
            if n <= skip:
                state_bytes, state_flags = decoder.getstate()
                if not state_bytes:
                    flags = state_flags
                    skip -= n
                    break
                guess -= len(state_bytes)
                back = 1
            else:
                guess -= back
                back *= 2
        else:
            guess = 0
            decoder.setstate((b"", flags))
        start += guess
        if skip == 0:
            return _cookie(start, flags)
        feed = chars = 0
        eof = False
        for i in range(guess, len(fed)):
            feed += 1
            chars += len(decoder.decode(fed[i : i + 1]))
            state_bytes, state_flags = decoder.getstate()
            if not state_bytes and chars <= skip:
                start += feed
                skip -= chars
                flags, feed, chars = state_flags, 0, 0
            if chars >= skip:
                break
        else:
            chars += len(decoder.decode(b"", final=True))
            eof = True
            if chars < skip:
                raise OSError("can't reconstruct logical file position")
        return _cookie(start, flags, feed, eof, skip)

    async def seek(self, cookie: int, whence: int = os.SEEK_SET) -> int:
        """Go to a position from tell(), to the start, or to the end;
        seek(0, SEEK_CUR) settles the decoder and encoder where tell() is."""
        self.buffer._check_seekable()
        cookie = operator.index(cookie)
        async with self._lock:
            if whence == os.SEEK_CUR:
                if cookie != 0:
                    raise io.UnsupportedOperation("can't do nonzero cur-relative seeks")
                return await self._seek_locked(self._tell())
            if whence == os.SEEK_END:
                if cookie != 0:
                    raise io.UnsupportedOperation("can't do nonzero end-relative seeks")
                await self.buffer.flush()
                pos = await self.buffer.seek(0, os.SEEK_END)
                self._reset_decoding()
                self._reset_encoder(pos)
                return pos
            if whence != os.SEEK_SET:
                raise ValueError(f"invalid whence ({whence}, should be {os.SEEK_SET}, {os.SEEK_CUR} or {os.SEEK_END})")
            if cookie < 0:
                raise ValueError(f"negative seek position {cookie!r}")
            return await self._seek_locked(cookie)

    async def _seek_locked(self, cookie: int) -> int:
        pos, flags, feed, eof, skip = _uncookie(cookie)
        if pos > _OFF_MAX:
            raise OSError(errno.EINVAL, os.strerror(errno.EINVAL))
        await self.buffer.flush()
        await self.buffer.seek(pos)
        self._reset_decoding()
        if cookie != 0 and self.buffer._readable:
            # A position inside the file: the decoder's state there (past
            # a byte-order mark, for instance) comes with it.
            self._decoder.setstate((b"", flags))
            self._snapshot = (flags, b"")
        self._reset_encoder(cookie)
        if skip:
            fed = await self.buffer.read(feed)
            self._decoded = self._decoder.decode(fed, final=eof)
            self._snapshot = (flags, fed)
            if len(self._decoded) < skip:
                raise OSError("can't restore logical file position")
            self._used = skip
        return cookie

    def _reset_encoder(self, pos: int) -> None:
        # A byte-order mark only at the start of the file.
        if pos == 0:
            self._encoder.reset()
        else:
            self._no_bom()

    async def truncate(self, size: int | None = None) -> int:
        """Cut (or extend) the file to `size` bytes, by default where the
        text position is; the position does not move."""
        self.buffer._check_writable()
        async with self._lock:
            if size is None and self._ahead and self.buffer._seekable:
                await self._seek_locked(self._tell())
        await self.flush()
        return await self.buffer.truncate(size)

    async def size(self) -> int:
        """The file's size in bytes."""
        return await self.buffer.size()

    async def fsync(self, datasync: bool = False) -> None:
        await self.buffer.fsync(datasync)

    async def close(self) -> None:
        await self.buffer.close()

    async def __aenter__(self) -> AsyncTextFile:
        self.buffer._check_open()
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.close()

    def __del__(self, _warn: Any = warnings.warn) -> None:
        # Warns once, naming this object, as the built-in text file does;
        # the buffer is closed, so it does not warn again.
        buffer = getattr(self, "buffer", None)
        if buffer is None or buffer.closed:
            return
        try:
            if buffer._closefd:  # a descriptor left to its owner is no leak
                _warn(f"unclosed file {self!r}", ResourceWarning, source=self)
        finally:
            buffer._finalize()
