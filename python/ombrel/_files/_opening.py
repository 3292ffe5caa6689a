"""ombrel.open: the built-in open's arguments, checks and errors, and the
object it returns, which is awaited or used with `async with`.

On ombrel's loop the file's operations run on the ring; on any other loop
they are blocking calls on its default executor, chosen once per file.
An opener runs on the loop thread, as the built-in runs it: synchronously.
A descriptor handed to open starts at its offset; reads and writes are
positional, so the descriptor's own offset stays where it was.
"""

from __future__ import annotations

import asyncio
import codecs
import errno
import io
import locale
import os
import stat
import warnings
from collections.abc import Callable, Coroutine, Generator
from typing import Any, Literal, TypeVar, overload

from ._buffered import DEFAULT_BUFFER_SIZE, AsyncFile
from ._fifo import open_fd, open_fd_blocking, wait_for_writer
from ._raw import ExecutorRawOps, LoopRawOps, RawOps
from ._text import AsyncTextFile

__all__ = ["FileOpening", "open"]

# The module's own open flags (not os.O_*).
_CREATE, _READ, _WRITE, _TRUNC, _EXCL = 1, 2, 4, 8, 16


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


# The parameters are the built-in open's in every overload; only the mode
# and the result differ, so each signature is kept to a glance.
# fmt: off
@overload
def open(
    file: _File, mode: _TextMode = "r", buffering: int = -1, encoding: str | None = None, errors: str | None = None,
    newline: str | None = None, closefd: bool = True, opener: _Opener | None = None,
) -> FileOpening[AsyncTextFile]: ...
@overload
def open(
    file: _File, mode: _BinaryMode, buffering: int = -1, encoding: None = None, errors: None = None,
    newline: None = None, closefd: bool = True, opener: _Opener | None = None,
) -> FileOpening[AsyncFile]: ...
@overload
def open(
    file: _File, mode: str, buffering: int = -1, encoding: str | None = None, errors: str | None = None,
    newline: str | None = None, closefd: bool = True, opener: _Opener | None = None,
) -> FileOpening[AsyncFile | AsyncTextFile]: ...
def open(
    file: _File, mode: str = "r", buffering: int = -1, encoding: str | None = None, errors: str | None = None,
    newline: str | None = None, closefd: bool = True, opener: _Opener | None = None,
) -> FileOpening[Any]:
    """Open a file on the running loop, ombrel's or any other; see the built-in open().
    Await the result, or use it with `async with`."""
    return FileOpening(_open(file, mode, buffering, encoding, errors, newline, closefd, opener))
# fmt: on


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
    text_encoding = text_errors = ""  # resolved below for a text mode
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
        text_encoding = io.text_encoding(encoding)
        if text_encoding == "locale":
            text_encoding = locale.getencoding()
        codecs.lookup(text_encoding)  # LookupError before anything is opened
        text_errors = "strict" if errors is None else errors
    if isinstance(file, int):
        if file < 0:
            raise ValueError("negative file descriptor")
    elif not closefd:
        raise ValueError("Cannot use closefd=False with file name")
    elif "\0" in (file if isinstance(file, str) else os.fsdecode(file)):
        raise ValueError("embedded null byte")

    loop = asyncio.get_running_loop()
    from .._loop import Loop

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
        elif isinstance(loop, Loop):
            fd = await open_fd(loop, path, _native_flags(kind, plus), may_wait=kind in "wa" and not plus, name=file)
            if kind == "r" and not plus:
                fd = await wait_for_writer(loop, fd)
        else:
            # O_APPEND left out, as on the ring: appends go to the end the
            # file object finds, so that both backends write alike.
            flags = _os_flags(kind, plus) & ~os.O_APPEND
            fd = await open_fd_blocking(loop, path, flags, name=file)
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
        ops: RawOps = LoopRawOps(loop) if isinstance(loop, Loop) else ExecutorRawOps(loop)
        raw = AsyncFile(
            ops,
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
    return AsyncTextFile(raw, text_encoding, text_errors, newline, line_buffering=buffering == 1, mode=mode)
