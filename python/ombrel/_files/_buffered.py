"""The binary file: buffered reads and writes at a position this object
keeps, on a raw backend's operations.

The file position is tracked here, not by the kernel: every read and
write of a regular file is a positional raw operation at that position,
so independent positional calls (pread/pwrite) can run concurrently on one
file object with no seek in between. Files that cannot seek (FIFOs,
terminals) are read and written in stream order instead and refuse seek,
tell, pread and pwrite.

Append mode writes at the end of the file as it is when a write (or a
flush of buffered writes) begins; unlike O_APPEND this is not atomic
against other processes appending to the same file. pwrite there writes
at the end too, as os.pwrite does on an O_APPEND descriptor.

A file object dropped without close() writes its buffered bytes and closes
its descriptor with plain blocking calls, as the built-in file does, since
the loop may be stopped or gone by then.
"""

from __future__ import annotations

import asyncio
import errno
import io
import operator
import os
from collections.abc import Awaitable, Buffer, Iterable

from ._base import FileBase
from ._raw import RawOps

__all__ = ["DEFAULT_BUFFER_SIZE", "OFF_MAX", "AsyncFile"]

DEFAULT_BUFFER_SIZE = max(io.DEFAULT_BUFFER_SIZE, 64 * 1024)

OFF_MAX = (1 << 63) - 1


def _offset_arg(offset: int) -> int:
    """A file offset as the kernel takes it: negative ones are the kernel's
    EINVAL, ones past off_t the built-in file's ValueError."""
    offset = operator.index(offset)
    if offset < 0:
        raise OSError(errno.EINVAL, os.strerror(errno.EINVAL))
    if offset > OFF_MAX:
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


class AsyncFile(FileBase[bytes]):
    """A binary file; what ombrel.open returns for a mode with "b".

    Buffered like io.BufferedRandom: reads fetch at least `bufsize` bytes
    ahead, writes are gathered up to `bufsize` bytes and written by flush,
    close, a seek, or a read. With buffering=0 each call is one raw
    operation.
    """

    def __init__(
        self,
        raw: RawOps,
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
        self._ops = raw  # the backend; the descriptor is this object's (see closefd)
        self._fd = fd
        self.name = name
        self.mode = mode
        # What the descriptor was opened for, and whether it seeks.
        self._readable, self._writable, self._append, self._seekable = readable, writable, append, seekable
        self._bufsize = bufsize
        self._pos = position
        self._rbuf = b""  # bytes of the file from _pos on, read ahead
        self._wbuf = bytearray()  # bytes to write at _wstart, ending at _pos
        self._wstart = 0
        self._lock = asyncio.Lock()
        self._closed = False
        self._closefd = closefd  # False: the descriptor is the caller's
        # pread's fast path, fixed at open: whether it may be called at
        # all, and the backend's operation looked up once.
        self._preadable = readable and seekable
        self._pread_op = raw.pread

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

    def isatty(self) -> bool:
        return os.isatty(self.fileno())

    def readable(self) -> bool:
        self._check_open()
        return self._readable

    def writable(self) -> bool:
        self._check_open()
        return self._writable

    def seekable(self) -> bool:
        self._check_open()
        return self._seekable

    def _check_open(self) -> None:
        if self._closed:
            raise _closed_error()

    def _check_can(self, allowed: bool, refusal: str) -> None:
        self._check_open()
        if not allowed:
            raise io.UnsupportedOperation(refusal)

    def _check_readable(self) -> None:
        self._check_can(self._readable, "File not open for reading")

    def _check_writable(self) -> None:
        self._check_can(self._writable, "File not open for writing")

    def _check_seekable(self) -> None:
        self._check_can(self._seekable, "File or stream is not seekable.")

    # Raw operations at a position (or in stream order).

    def _raw_read(self, size: int, offset: int) -> Awaitable[bytes]:
        if self._seekable:
            return self._ops.pread(self._fd, size, offset)
        return self._ops.read(self._fd, size)

    def _raw_write(self, data: Buffer, offset: int) -> Awaitable[int]:
        if self._seekable:
            return self._ops.pwrite(self._fd, data, offset)
        return self._ops.write(self._fd, data)

    # Reading.

    async def read(self, size: int | None = -1) -> bytes:
        """Up to `size` bytes (all to the end of file when negative or None);
        fewer only at the end of the file."""
        self._check_readable()
        size = _size_arg(size)
        async with self._lock:
            if self._wbuf:  # a call saved on the usual read
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
            left = await self._ops.size(self._fd) - offset
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
            if self._wbuf:  # a call saved on the usual read
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

    async def peek(self, size: int = 0) -> bytes:
        """The bytes ahead of the position without moving it: what is
        read ahead, or one read's worth when nothing is (b"" at the end);
        the count need not be `size`."""
        self._check_readable()
        async with self._lock:
            if self._wbuf:  # a call saved on the usual read
                await self._flush_locked()
            if not self._rbuf:
                self._rbuf = await self._raw_read(max(self._bufsize, 1), self._pos)
            return self._rbuf

    async def pread(self, size: int, offset: int) -> bytes:
        """Up to `size` bytes at `offset`, leaving the position alone."""
        # The usual call, checked inline: it is a hot path, and each check
        # below is a call of its own. Anything unusual takes the long way,
        # which gives the errors.
        if (
            self._preadable
            and not self._closed
            and not self._wbuf
            and type(size) is int
            and type(offset) is int
            and size >= 0
            and 0 <= offset <= OFF_MAX
        ):
            return await self._pread_op(self._fd, size, offset)
        self._check_readable()
        self._check_seekable()
        size, offset = operator.index(size), _offset_arg(offset)
        if size < 0:
            raise OSError(errno.EINVAL, os.strerror(errno.EINVAL))
        if self._wbuf:
            async with self._lock:
                await self._flush_locked()
        return await self._ops.pread(self._fd, size, offset)

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
                self._pos = await self._ops.size(self._fd)
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
                start = self._pos = await self._ops.size(self._fd)
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
                    offset = await self._ops.size(self._fd)
                return await self._ops.pwrite(self._fd, data, offset)
        return await self._ops.pwrite(self._fd, data, offset)

    async def flush(self) -> None:
        """Write what is buffered."""
        self._check_open()
        if self._wbuf:
            async with self._lock:
                await self._flush_locked()

    async def _flush_locked(self) -> None:
        if not self._wbuf:
            return
        # The buffer under write is pinned by the raw operation: later
        # writes go to a fresh one. A failed or cancelled flush puts the
        # data back; writing it again at the same offset is harmless.
        data, self._wbuf = self._wbuf, bytearray()
        start = self._wstart
        if self._append and self._seekable:
            start = await self._ops.size(self._fd)
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
                target = await self._ops.size(self._fd) + offset
            if target < 0:
                raise OSError(errno.EINVAL, os.strerror(errno.EINVAL))
            if target > OFF_MAX:
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
            await self._ops.truncate(self._fd, size)
            self._rbuf = b""
            return size

    async def size(self) -> int:
        """The file's size in bytes, buffered writes included."""
        self._check_open()
        async with self._lock:
            await self._flush_locked()
            return await self._ops.size(self._fd)

    async def fsync(self, datasync: bool = False) -> None:
        """Flush, then make the file's data (and, unless datasync, its
        metadata) durable."""
        self._check_open()
        async with self._lock:
            await self._flush_locked()
            await self._ops.fsync(self._fd, datasync)

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
                    await asyncio.shield(self._ops.close(self._fd))

    def _binary(self) -> AsyncFile | None:
        return self if hasattr(self, "_closed") else None

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
