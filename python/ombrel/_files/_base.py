"""What the binary and the text file objects share: iteration by line,
readlines, `async with`, and the warning and blocking close of a file
dropped open, built on their readline, close and binary file."""

from __future__ import annotations

import warnings
from typing import TYPE_CHECKING, Any, AnyStr, Generic, Self

if TYPE_CHECKING:
    from ._buffered import AsyncFile

__all__ = ["FileBase"]


class FileBase(Generic[AnyStr]):
    """Lines are bytes for the binary file, str for the text file."""

    __slots__ = ()

    def _check_open(self) -> None:
        raise NotImplementedError

    async def readline(self, size: int | None = -1) -> AnyStr:
        raise NotImplementedError

    async def close(self) -> None:
        raise NotImplementedError

    def _binary(self) -> AsyncFile | None:
        """The binary file that holds the descriptor (this one, or a text
        file's buffer); None when the constructor did not get that far."""
        raise NotImplementedError

    async def readlines(self, hint: int = -1) -> list[AnyStr]:
        lines = []
        total = 0
        async for line in self:
            lines.append(line)
            total += len(line)
            if 0 < hint < total:
                break
        return lines

    def __aiter__(self) -> Self:
        self._check_open()
        return self

    async def __anext__(self) -> AnyStr:
        line = await self.readline()
        if not line:
            raise StopAsyncIteration
        return line

    async def __aenter__(self) -> Self:
        self._check_open()
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.close()

    def __del__(self, _warn: Any = warnings.warn) -> None:
        # Warns once, naming the outermost object, as the built-in file
        # does: a text file's buffer is closed by then, so it does not warn
        # again.
        binary = self._binary()
        if binary is None or binary._closed:
            return
        try:
            if binary._closefd:  # a descriptor left to its owner is no leak
                _warn(f"unclosed file {self!r}", ResourceWarning, source=self)
        finally:
            binary._finalize()
