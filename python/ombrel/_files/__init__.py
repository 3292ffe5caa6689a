"""Asynchronous files: on ombrel's loop its native file operations, on any
other loop blocking calls on that loop's default executor.

    async with ombrel.open(path, "w", encoding="utf-8") as f:
        await f.write("hello\\n")
    f = await ombrel.open(path, "rb")

`open` is the built-in open made asynchronous: the same arguments and
errors, and objects with the familiar methods, whose I/O methods are
coroutines. Its result is awaited or used with `async with`.

By layer, each on the one below: _opening (arguments, modes, descriptors
and openers, the open object), with _fifo (opening on the ring and FIFOs
the blocking way); _text (decoding, newlines, tell cookies) over
_buffered (the binary file: position, read-ahead, write gathering) over
_raw (the operations on one descriptor: the ring's, or the executor's).

Reads and writes that go to the kernel are the raw operations' futures,
awaited directly: on the ring, cancelling the awaiting task aborts the
operation; on an executor, a call that has begun in its worker ends there.
Opening and closing are the exception: a cancelled open could lose a
descriptor that the kernel already made, and a cancelled close could leave
one open, so those two run to their end and only the caller stops waiting.
"""

from ._buffered import AsyncFile
from ._opening import FileOpening, open
from ._text import AsyncTextFile

__all__ = ["AsyncFile", "AsyncTextFile", "FileOpening", "open"]
