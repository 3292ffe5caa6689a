"""A small program using the public API as a user would, kept free of
errors under `mypy --strict`; tests/python/test_typing.py checks it and runs
it. assert_type makes mypy fail if a public type decays to Any."""

import asyncio
import os
import sys
import tempfile
from typing import assert_type

import ombrel


async def copy_text(folder: str) -> str:
    path = os.path.join(folder, "notes.txt")
    async with await ombrel.open(path, "w", encoding="utf-8") as out:
        assert_type(out, ombrel.AsyncTextFile)
        await out.write("first\n")
        await out.writelines(["second\n", "third\n"])
    lines: list[str] = []
    async with await ombrel.open(path) as text:
        assert_type(text, ombrel.AsyncTextFile)
        async for line in text:
            lines.append(line.rstrip("\n"))
    return ",".join(lines)


async def copy_bytes(folder: str) -> int:
    path = os.path.join(folder, "data.bin")
    async with await ombrel.open(path, "wb") as out:
        assert_type(out, ombrel.AsyncFile)
        await out.write(b"\x00\x01" * 1000)
    binary = await ombrel.open(path, "rb")
    try:
        assert_type(binary, ombrel.AsyncFile)
        head: bytes = await binary.pread(2, 0)
        rest = await binary.read()
        assert_type(rest, bytes)
        return len(head) + await binary.size() - len(rest)
    finally:
        await binary.close()


async def unknown_mode(path: str, mode: str) -> None:
    # A mode known only at run time gives either kind of file.
    f = await ombrel.open(path, mode)
    assert_type(f, ombrel.AsyncFile | ombrel.AsyncTextFile)
    await f.close()


async def main() -> str:
    loop = asyncio.get_running_loop()
    assert isinstance(loop, ombrel.Loop)
    handle = loop.call_later(60, print, "never")
    assert handle.when() > loop.time()
    handle.cancel()
    server = await loop.create_server(asyncio.Protocol, "127.0.0.1", 0)
    reader, writer = await asyncio.open_connection(*server.sockets[0].getsockname()[:2])
    writer.close()
    await writer.wait_closed()
    server.close()
    await server.wait_closed()
    assert_type(reader, asyncio.StreamReader)
    with tempfile.TemporaryDirectory() as folder:
        text = await copy_text(folder)
        count = await copy_bytes(folder)
        await unknown_mode(os.path.join(folder, "data.bin"), "rb")
    return f"{text} {count}"


def on_own_loop() -> int:
    loop: ombrel.Loop = ombrel.new_event_loop()
    try:
        fut: asyncio.Future[int] = loop.create_future()
        loop.call_soon(fut.set_result, 7)
        return loop.run_until_complete(fut)
    finally:
        loop.close()


def entry() -> int:
    ready = ombrel.available()
    if not ready:
        print(f"ombrel unavailable ({ready.kind}): {ready.reason}", file=sys.stderr)
        return 1
    result: str = ombrel.run(main())
    with asyncio.Runner(loop_factory=ombrel.new_event_loop) as runner:
        assert runner.run(main()) == result
    print(result, on_own_loop())
    return 0


if __name__ == "__main__":
    sys.exit(entry())
