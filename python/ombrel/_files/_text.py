"""The text file: characters decoded and encoded incrementally over a
binary file, with io.TextIOWrapper's newlines and tell() numbers."""

from __future__ import annotations

import asyncio
import codecs
import errno
import io
import operator
import os
from collections.abc import Iterable
from typing import Any

from ._base import FileBase
from ._buffered import OFF_MAX, AsyncFile

__all__ = ["AsyncTextFile"]


# A text position: the byte offset of a point where the decoder holds no
# bytes, the decoder's flags there, then the bytes to feed it from there
# and the characters of their text to skip (and whether the feed ends the
# file). Laid out as io.TextIOWrapper lays out its tell() numbers.
def _cookie(pos: int, flags: int = 0, feed: int = 0, eof: bool = False, skip: int = 0) -> int:
    return pos | (flags << 64) | (feed << 128) | (skip << 192) | (int(eof) << 256)


def _uncookie(cookie: int) -> tuple[int, int, int, bool, int]:
    mask = (1 << 64) - 1
    return cookie & mask, (cookie >> 64) & mask, (cookie >> 128) & mask, bool(cookie >> 256), (cookie >> 192) & mask


class AsyncTextFile(FileBase[str]):
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

    def _check_open(self) -> None:
        self.buffer._check_open()

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
        if pos > OFF_MAX:
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

    def _binary(self) -> AsyncFile | None:
        return getattr(self, "buffer", None)
