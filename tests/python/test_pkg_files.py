"""ombrel.open: asynchronous files on the native file operations, checked
against the built-in open on real files."""

import asyncio
import errno
import gc
import hashlib
import io
import os
import random
import threading
import time
import warnings

import ombrel
import pytest

pytestmark = pytest.mark.timeout(60)


def bounded_runner(loop):
    def run(coro, timeout=30):
        async def bounded():
            async with asyncio.timeout(timeout):
                return await coro

        return loop.run_until_complete(bounded())

    return run


@pytest.fixture
def run():
    loop = ombrel.new_event_loop()
    yield bounded_runner(loop)
    loop.close()


@pytest.fixture
def arun(aloop):
    """`run` on each kind of loop: ombrel's ring, or another loop's executor."""
    return bounded_runner(aloop)


def open_fds():
    return set(os.listdir("/proc/self/fd"))


# Modes and arguments.


def test_modes_behave_like_the_builtin_open(run, tmp_path):
    p = tmp_path / "f"

    async def main():
        async with await ombrel.open(p, "w") as f:
            assert (f.readable(), f.writable(), f.seekable()) == (False, True, True)
            assert await f.write("first\n") == 6
            with pytest.raises(io.UnsupportedOperation):
                await f.read()
        async with await ombrel.open(p, "a") as f:
            await f.seek(0)  # appends go to the end anyway
            await f.write("second\n")
            assert f.tell() == 13
        with pytest.raises(FileExistsError) as info:
            await ombrel.open(p, "x")
        assert info.value.errno == errno.EEXIST and info.value.filename == str(p)
        async with await ombrel.open(p, "r+") as f:
            assert await f.read(5) == "first"
            await f.write("!")
            await f.seek(0)
            assert await f.read() == "first!second\n"
            assert not hasattr(f, "pwrite")  # positional calls are binary only
        async with await ombrel.open(p, "a+b") as f:
            assert f.tell() == 13 and f.mode == "a+b"
            await f.write(b"third")
            await f.seek(0)
            assert await f.read() == b"first!second\nthird"
        async with await ombrel.open(p, "w+b") as f:
            assert await f.read() == b""
            await f.write(b"new")
        async with await ombrel.open(tmp_path / "x", "xb") as f:
            assert f.writable() and not f.readable()
        return p.read_bytes()

    assert run(main()) == b"new"


def test_refused_arguments_and_failed_opens(run, tmp_path):
    p = tmp_path / "f"
    p.write_text("x")

    async def main():
        for mode in ("rw", "rr", "", "q", "bt", "r+b+", 3):
            with pytest.raises((ValueError, TypeError)):
                await ombrel.open(p, mode)
        with pytest.raises(ValueError):
            await ombrel.open(p, "rb", encoding="utf-8")
        with pytest.raises(ValueError):
            await ombrel.open(p, "rb", newline="")
        with pytest.raises(ValueError):
            await ombrel.open(p, "r", buffering=0)
        with pytest.raises(ValueError):
            await ombrel.open(p, "r", newline="x")
        with pytest.raises(LookupError):
            await ombrel.open(p, "r", encoding="no-such-codec")
        with pytest.raises(FileNotFoundError) as info:
            await ombrel.open(tmp_path / "missing")
        assert info.value.errno == errno.ENOENT and info.value.filename == str(tmp_path / "missing")
        with pytest.raises(IsADirectoryError):
            await ombrel.open(tmp_path)
        with pytest.raises(NotADirectoryError):
            await ombrel.open(p / "below", "w")

    before = open_fds()
    run(main())
    assert open_fds() == before


def test_the_public_surface_on_any_loop(arun, tmp_path):
    p = tmp_path / "f"

    async def main():
        async with ombrel.open(p, "w+b") as f:
            assert await f.write(b"0123456789") == 10
            assert await f.seek(2) == 2
            assert await f.read(3) == b"234"
            assert await f.pwrite(b"ab", 8) == 2
            assert await f.pread(4, 6) == b"67ab"
            assert f.tell() == 5
            assert await f.truncate(4) == 4
            assert await f.size() == 4
            await f.fsync()
        assert f.closed and p.read_bytes() == b"0123"
        # pread's guards: buffered writes first, refusals on files that
        # cannot give it, arguments of the wrong type.
        async with await ombrel.open(p, "r+b") as f:
            await f.write(b"W")
            assert await f.pread(2, 0) == b"W1"
            with pytest.raises(TypeError):
                await f.pread(1.0, 0)
        with pytest.raises(ValueError, match="closed file"):
            await f.pread(1, 0)
        async with await ombrel.open(p, "ab") as f:
            with pytest.raises(io.UnsupportedOperation):
                await f.pread(1, 0)
        async with await ombrel.open(p, "a", encoding="utf-8") as t:
            await t.write("é\n")
        f = await ombrel.open(p, "r", encoding="utf-8")
        assert await f.readlines() == ["W123é\n"]
        await f.close()
        with pytest.raises(FileNotFoundError) as info:
            await ombrel.open(os.fsencode(tmp_path / "missing"), "rb")
        assert info.value.errno == errno.ENOENT and info.value.filename == os.fsencode(tmp_path / "missing")

    before = open_fds()
    arun(main())
    assert open_fds() == before


# Binary files against a model of their content.


@pytest.mark.parametrize("buffering", [0, 7, -1])
def test_binary_reads_writes_and_positions_follow_the_model(run, tmp_path, buffering):
    p = tmp_path / "f"
    rng = random.Random(buffering)
    model = bytearray()
    pos = 0

    async def main():
        nonlocal pos
        async with await ombrel.open(p, "w+b", buffering=buffering) as f:
            for _ in range(400):
                op = rng.choice(
                    ["write", "read", "seek", "readline", "pread", "pwrite", "readinto", "truncate", "size"]
                )
                if op == "write":
                    data = bytes(rng.choice(b"ab\n") for _ in range(rng.randrange(1, 20)))
                    assert await f.write(data) == len(data)
                    if pos > len(model):
                        model.extend(b"\0" * (pos - len(model)))
                    model[pos : pos + len(data)] = data
                    pos += len(data)
                elif op == "read":
                    n = rng.choice([-1, 0, 1, 5, 30])
                    got = await f.read(n)
                    want = bytes(model[pos:] if n < 0 else model[pos : pos + n])
                    assert got == want
                    pos += len(want)
                elif op == "readline":
                    limit = rng.choice([-1, 3])
                    got = await f.readline(limit)
                    end = model.find(b"\n", pos)
                    end = len(model) if end < 0 else end + 1
                    want = bytes(model[pos:end])
                    assert got == (want if limit < 0 else want[:limit])
                    pos += len(got)
                elif op == "readinto":
                    buf = bytearray(8)
                    n = await f.readinto(buf)
                    assert bytes(buf[:n]) == bytes(model[pos : pos + 8])
                    pos += n
                elif op == "seek":
                    whence = rng.choice([0, 1, 2])
                    off = rng.randrange(0, 10) if whence == 0 else rng.randrange(-3, 4)
                    base = {0: 0, 1: pos, 2: len(model)}[whence]
                    if base + off < 0:
                        with pytest.raises(OSError):
                            await f.seek(off, whence)
                        continue
                    assert await f.seek(off, whence) == base + off
                    pos = base + off
                elif op == "pread":
                    off = rng.randrange(0, len(model) + 2)
                    assert await f.pread(6, off) == bytes(model[off : off + 6])
                elif op == "pwrite":
                    off = rng.randrange(0, len(model) + 2)
                    await f.pwrite(b"PW", off)
                    if off > len(model):
                        model.extend(b"\0" * (off - len(model)))
                    model[off : off + 2] = b"PW"
                elif op == "truncate":
                    size = rng.randrange(0, len(model) + 3)
                    assert await f.truncate(size) == size
                    del model[size:]
                    model.extend(b"\0" * (size - len(model)))
                else:
                    assert await f.size() == len(model)
                assert f.tell() == pos, op
        return p.read_bytes()

    assert run(main()) == bytes(model)


def test_buffered_writes_reach_the_file_on_flush_and_close(run, tmp_path):
    p = tmp_path / "f"

    async def main():
        f = await ombrel.open(p, "wb")
        await f.write(b"held")
        assert p.read_bytes() == b""  # still buffered
        await f.flush()
        assert p.read_bytes() == b"held"
        await f.write(b" back")
        await f.fsync()
        assert p.read_bytes() == b"held back"
        await f.write(b"!")
        await f.fsync(datasync=True)
        await f.write(b"?")
        await f.close()
        await f.close()
        assert f.closed
        for call in (f.read(), f.write(b"x"), f.seek(0), f.flush(), f.size()):
            with pytest.raises(ValueError, match="closed file"):
                await call
        with pytest.raises(ValueError):
            f.tell()
        return p.read_bytes()

    assert run(main()) == b"held back!?"


def test_a_dropped_file_writes_what_it_buffered_warns_and_closes(run, tmp_path):
    # Dropped without close(), as the built-in file does: its buffered
    # writes land where they belong, one warning names it, no descriptor
    # stays open; the loop is not running by then.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    (tmp_path / "a").write_bytes(b"start ")
    before = open_fds()

    async def main():
        files = [
            await ombrel.open(tmp_path / "b", "wb"),
            await ombrel.open(tmp_path / "a", "ab"),
            await ombrel.open(tmp_path / "t", "w", encoding="utf-16"),
            await ombrel.open(fifo, "r+b"),
        ]
        await files[0].write(b"0123456789")
        await files[0].seek(2)
        await files[0].write(b"ab")
        await files[1].write(b"appended")
        await files[2].write("text ünï")
        await files[3].write(b"into the fifo")
        return files

    files = run(main())
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        del files
        gc.collect()
    messages = sorted(str(w.message) for w in caught if w.category is ResourceWarning)
    assert len(messages) == 4 and all(m.startswith("unclosed file <ombrel.Async") for m in messages)
    assert "AsyncTextFile" in messages[-1]  # the text file, not its buffer
    assert (tmp_path / "b").read_bytes() == b"01ab456789"
    assert (tmp_path / "a").read_bytes() == b"start appended"
    assert (tmp_path / "t").read_text(encoding="utf-16") == "text ünï"
    assert os.read(reader, 100) == b"into the fifo"
    os.close(reader)
    assert open_fds() == before


# Text files against the built-in open.

TEXT = "ascii line\nçé ünïcödé €\r\nold mac\rlast line without end"


@pytest.mark.parametrize("encoding", ["utf-8", "utf-16", "latin-1", "utf-8-sig"])
@pytest.mark.parametrize("newline", [None, "", "\n", "\r", "\r\n"])
def test_text_reads_and_writes_match_the_builtin(run, tmp_path, encoding, newline):
    text = TEXT if encoding != "latin-1" else TEXT.replace("€", "E")
    ours, theirs = tmp_path / "ours", tmp_path / "theirs"
    with open(theirs, "w", encoding=encoding, newline=newline) as f:
        f.write(text)
    with open(theirs, encoding=encoding, newline=newline) as f:
        want_lines = f.readlines()

    async def main():
        async with await ombrel.open(ours, "w", encoding=encoding, newline=newline) as f:
            for piece in (text[:7], text[7:20], text[20:]):
                await f.write(piece)
        async with await ombrel.open(ours, encoding=encoding, newline=newline) as f:
            lines = [line async for line in f]
        async with await ombrel.open(ours, encoding=encoding, newline=newline) as f:
            # tell() after each line gives back a place seek() returns to.
            marks = []
            while line := await f.readline():
                marks.append((f.tell(), await f.read(3)))
                await f.seek(marks[-1][0])
            for mark, after in marks:
                await f.seek(mark)
                assert await f.read(3) == after
            await f.seek(0)
            whole = await f.read()
        return lines, whole

    lines, whole = run(main())
    assert ours.read_bytes() == theirs.read_bytes()
    assert lines == want_lines
    assert whole == "".join(want_lines)


def test_text_reads_in_small_pieces_across_chunk_boundaries(run, tmp_path):
    p = tmp_path / "f"
    text = "".join(f"{i} ünï\r\n" for i in range(5000))  # well over a chunk
    p.write_bytes(text.encode("utf-8"))

    async def main():
        async with await ombrel.open(p, encoding="utf-8") as f:
            got = []
            while piece := await f.read(7):
                got.append(piece)
            assert f.newlines == "\r\n"
        async with await ombrel.open(p, encoding="utf-8", newline="") as f:
            n = 0
            async for line in f:
                assert line.endswith("\r\n")
                n += 1
        return "".join(got), n

    got, n = run(main())
    assert got == text.replace("\r\n", "\n") and n == 5000


def test_text_line_buffering_and_appending_without_a_second_bom(run, tmp_path):
    p = tmp_path / "f"

    async def main():
        async with await ombrel.open(p, "w", encoding="utf-16", buffering=1) as f:
            await f.write("no newline")
            assert p.read_bytes() == b""
            await f.write(" now\n")
            assert p.read_bytes().decode("utf-16") == "no newline now\n"
        async with await ombrel.open(p, "a", encoding="utf-16") as f:
            await f.write("more\n")

    run(main())
    assert p.read_bytes().decode("utf-16") == "no newline now\nmore\n"


# Cancellation aborts the native operation.


def test_cancelled_read_and_write_abort_the_native_operation(run, tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)

    async def main():
        # Opened for reading and writing, a FIFO never blocks the open, and
        # a read waits for data that nobody sends.
        f = await ombrel.open(fifo, "r+b", buffering=0)
        assert not f.seekable()
        with pytest.raises(io.UnsupportedOperation):
            f.tell()
        reader = asyncio.ensure_future(f.read(100))
        await asyncio.sleep(0.05)
        assert not reader.done()
        reader.cancel()
        with pytest.raises(asyncio.CancelledError):
            await reader
        # Had the read stayed in flight, it would take these bytes.
        other = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        os.write(other, b"after")
        assert await asyncio.wait_for(f.read(100), 5) == b"after"

        # Fill the FIFO, then a write waits for room.
        payload = b"w" * (1 << 20)
        writer = asyncio.ensure_future(f.write(payload))
        await asyncio.sleep(0.05)
        assert not writer.done()
        writer.cancel()
        with pytest.raises(asyncio.CancelledError):
            await writer
        os.close(other)
        await f.close()

    run(main())


def test_stream_reads_under_tiny_timeouts_lose_and_duplicate_nothing(arun, tmp_path):
    """A FIFO read through wait_for with timeouts that expire as often as
    not, by read(n) and by read() to the end: a read cancelled after the
    kernel delivered hands its bytes to the next one."""
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    data = b"".join(i.to_bytes(4, "little") for i in range(20_000))

    def writer():
        w = os.open(fifo, os.O_WRONLY)
        for i in range(0, len(data), 64):
            os.write(w, data[i : i + 64])
            if i % 512 == 0:
                time.sleep(0.00005)
        os.close(w)

    async def main():
        f = await ombrel.open(fifo, "rb", buffering=0)
        got = bytearray()
        timeouts = [0.00001, 0.00005, 0.0002, 0.001]
        for n in range(10**6):
            try:
                chunk = await asyncio.wait_for(f.read(100 if n % 3 else -1), timeouts[n % 4])
            except TimeoutError:
                continue
            if not chunk:
                break
            got += chunk
        await f.close()
        return bytes(got)

    t = threading.Thread(target=writer)
    t.start()
    try:
        assert arun(main(), timeout=50) == data
    finally:
        t.join(60)


def test_a_cancelled_open_leaks_no_descriptor(arun, tmp_path):
    before = open_fds()

    async def main():
        for i in range(50):
            task = asyncio.ensure_future(ombrel.open(tmp_path / f"f{i}", "w"))
            await asyncio.sleep(0)
            task.cancel()
            try:
                f = await task
            except asyncio.CancelledError:
                pass
            else:
                await f.close()
        await asyncio.sleep(0.1)

    arun(main())
    assert open_fds() == before


# FIFOs open as the built-in open opens them.


def test_a_fifo_opened_for_one_direction_waits_for_the_other_end(arun, tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)

    async def main():
        # Reading: no false end of file before a writer comes, and the
        # reads that follow wait for data without blocking the loop.
        opening = asyncio.ensure_future(ombrel.open(fifo, "rb", buffering=0))
        await asyncio.sleep(0.05)
        assert not opening.done()
        writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        f = await opening
        reading = asyncio.ensure_future(f.read(10))
        await asyncio.sleep(0.05)
        assert not reading.done()
        os.write(writer, b"data")
        assert await reading == b"data"
        os.close(writer)
        assert await f.read() == b""
        await f.close()

        # Writing: the open waits for a reader.
        opening = asyncio.ensure_future(ombrel.open(fifo, "w", encoding="utf-8"))
        await asyncio.sleep(0.05)
        assert not opening.done()
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        async with await opening as f:
            await f.write("text")
        assert os.read(reader, 10) == b"text"
        os.close(reader)

    arun(main())


@pytest.mark.parametrize("mode", ["rb", "r", "wb", "a"])
def test_a_cancelled_fifo_open_ends_its_wait_and_keeps_nothing(arun, tmp_path, mode):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    before = open_fds()

    async def main():
        loop = asyncio.get_running_loop()
        for _ in range(3):
            opening = asyncio.ensure_future(ombrel.open(fifo, mode))
            await asyncio.sleep(0.05)
            opening.cancel()
            with pytest.raises(asyncio.CancelledError):
                await opening
        # No worker thread is left in an open...
        await asyncio.wait_for(loop.shutdown_default_executor(), 5)
        # ...nor an open in the kernel, which the next reader would meet
        # and see close before the real writer comes.
        got = []
        reader = threading.Thread(target=lambda: got.append(fifo.read_bytes()), daemon=True)
        reader.start()
        while True:
            try:
                writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
                break
            except OSError:  # no reader in its open: not yet, or not any more
                assert reader.is_alive(), got
                await asyncio.sleep(0.01)
        os.write(writer, b"late")
        os.close(writer)
        reader.join(5)
        assert got == [b"late"]

    arun(main())
    assert open_fds() == before


# At scale.


def test_ten_thousand_concurrent_small_reads_and_writes(run, tmp_path):
    nfiles, per_file, rec = 4, 1250, 64

    def record(i, j):
        return f"{i:02d}:{j:06d}:".encode().ljust(rec, b".")

    async def main():
        files = [await ombrel.open(tmp_path / f"f{i}", "w+b") for i in range(nfiles)]
        # Positional writes of distinct records, all in flight together.
        await asyncio.gather(*(files[i].pwrite(record(i, j), j * rec) for i in range(nfiles) for j in range(per_file)))
        # And reads of every record, in a shuffled order.
        order = [(i, j) for i in range(nfiles) for j in range(per_file)]
        random.Random(1).shuffle(order)
        got = await asyncio.gather(*(files[i].pread(rec, j * rec) for i, j in order))
        assert got == [record(i, j) for i, j in order]
        # Stream writes from many tasks at once each land whole.
        await files[0].seek(per_file * rec)
        await asyncio.gather(*(files[0].write(b"<%05d>" % k) for k in range(2000)))
        await files[0].seek(per_file * rec)
        tail = await files[0].read()
        for f in files:
            await f.close()
        return tail

    tail = run(main(), timeout=50)
    chunks = [tail[k : k + 7] for k in range(0, len(tail), 7)]
    assert sorted(chunks) == [b"<%05d>" % k for k in range(2000)]
    for i in range(nfiles):
        data = (tmp_path / f"f{i}").read_bytes()[: per_file * rec]
        assert data == b"".join(record(i, j) for j in range(per_file))


def test_sequential_copy_of_64_megabytes_is_exact(run, tmp_path):
    src, dst = tmp_path / "src", tmp_path / "dst"
    block = os.urandom(1 << 20)
    with open(src, "wb") as f:
        for k in range(64):
            f.write(bytes([k]) + block[1:])
    want = hashlib.sha256(src.read_bytes()).hexdigest()

    async def main():
        async with await ombrel.open(src, "rb") as fin, await ombrel.open(dst, "wb") as fout:
            while chunk := await fin.read(1 << 20):
                await fout.write(chunk)
            return await fout.size()

    start = time.monotonic()
    size = run(main(), timeout=50)
    elapsed = time.monotonic() - start
    assert size == 64 << 20
    assert hashlib.sha256(dst.read_bytes()).hexdigest() == want
    assert elapsed < 30, f"the copy took {elapsed:.1f}s"


# Matches with the built-in file where it used to differ.


@pytest.mark.parametrize("mode, buffering", [("rb", 0), ("rb", -1), ("r", -1)])
def test_reads_go_on_past_short_reads_to_the_end(run, mode, buffering):
    # /proc files report size 0 and give a page per read.
    path = "/proc/kallsyms"
    if not os.access(path, os.R_OK):
        pytest.skip("no /proc/kallsyms here")
    sizes = [5000, 300_000] if buffering else []  # buffered reads go on to the size
    with open(path, mode, buffering=buffering) as f:
        want = [f.read(n) for n in sizes] + [f.read()]

    async def main():
        async with ombrel.open(path, mode, buffering=buffering) as f:
            return [await f.read(n) for n in sizes] + [await f.read()]

    got = run(main())
    assert [len(x) for x in got] == [len(x) for x in want] and got == want
    assert len(want[-1]) > 8192


def test_a_text_write_after_a_read_lands_where_the_reader_stands(run, tmp_path):
    # A file with "\r" line ends and the default newline: the decoder's
    # state is part of the position, which is no byte offset.
    ours, theirs = tmp_path / "ours", tmp_path / "theirs"
    for p in (ours, theirs):
        p.write_bytes(b"one\rtwo\rthree\r")
    with open(theirs, "r+") as f:
        line = f.readline()
        f.seek(0, os.SEEK_CUR)  # the built-in writes after its read-ahead otherwise
        f.write("X")
        f.seek(0, os.SEEK_CUR)
        f.truncate()

    async def main():
        async with ombrel.open(ours, "r+") as f:
            assert await f.readline() == line
            assert await f.write("X") == 1
            await f.truncate()

    run(main())
    assert ours.read_bytes() == theirs.read_bytes()


@pytest.mark.parametrize(
    "initial, args, ops",
    [
        # truncate() where the position carries decoder state
        (b"\xef\xbb\xbfabc", {"mode": "r+", "encoding": "utf-8-sig"}, [("truncate", None), ("write", "x")]),
        # seek(0, SEEK_CUR) settles the encoder (no second byte-order
        # mark) and the decoder
        (
            None,
            {"mode": "w+", "encoding": "utf-8-sig"},
            [("write", "a"), ("seek", 0, 0), ("read", -1), ("seek", 0, 1), ("write", "b")],
        ),
        (
            "abcdef".encode("utf-16"),
            {"mode": "r+", "encoding": "utf-16"},
            [("read", 2), ("seek", 0, 1), ("write", "X"), ("seek", 0, 0), ("read", -1)],
        ),
        # a "\r" held back before a write does not come back after it
        (
            b"ab\rcd\r\n",
            {"mode": "r+", "encoding": "utf-8", "newline": ""},
            [("readline", -1), ("tell",), ("seek_saved", 0), ("write", "XY"), ("readline", -1)],
        ),
        # out-of-range positions and sizes fail as the built-in's do
        (b"abc", {"mode": "r+b"}, [("seek", 2**63, 0), ("seek", -1, 0), ("truncate", -1), ("read", -2)]),
        (b"abc", {"mode": "r+b", "buffering": 0}, [("pread", 4, -1), ("pread", -1, 0), ("pwrite", b"x", -1)]),
        (b"abc", {"mode": "r+"}, [("seek", 2**63, 0), ("seek", -1, 0), ("truncate", -1)]),
        # pwrite appends in append mode, as os.pwrite on the built-in's file
        (b"abc", {"mode": "a+b"}, [("pwrite", b"XY", 0), ("seek", 0, 0), ("read", -1)]),
        # peek shows what is ahead without moving
        (b"abcdef", {"mode": "rb"}, [("read", 2), ("peek", 1), ("read", 1)]),
    ],
)
def test_cases_that_differed_from_the_builtin_file(run, tmp_path, initial, args, ops):
    from test_files_differential import run_case

    assert run(run_case(args, initial, ops, tmp_path)) is None


def test_open_spellings_and_arguments_of_the_builtin(run, tmp_path):
    p = tmp_path / "f"
    p.write_bytes(b"data")

    async def main():
        async with ombrel.open(p, "rb") as f:  # the aiofiles spelling
            assert await f.read() == b"data"
        assert f.closed
        f = await ombrel.open(p, "rb")  # and the awaited one
        await f.close()
        # A descriptor, the caller's with closefd=False, starting at its offset.
        fd = os.open(p, os.O_RDWR)
        os.lseek(fd, 1, os.SEEK_SET)
        async with ombrel.open(fd, "rb", closefd=False) as f:
            assert f.name == fd and await f.read() == b"ata"
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # dropped unclosed: the caller's, no warning
            await (await ombrel.open(fd, "w", closefd=False)).write("x")
            gc.collect()
        assert os.read(fd, 0) == b"" and os.close(fd) is None  # still open
        fd = os.open(p, os.O_RDONLY)
        async with ombrel.open(fd, "rb") as f:
            pass
        with pytest.raises(OSError):
            os.fstat(fd)
        seen = []

        def opener(path, flags):
            seen.append((path, flags & (os.O_ACCMODE | os.O_APPEND | os.O_CREAT)))
            return os.open(path, flags)

        async with ombrel.open(p, "a", opener=opener) as f:
            await f.write("!")
        assert seen == [(str(p), os.O_WRONLY | os.O_APPEND | os.O_CREAT)]
        for kwargs, exc, match in [
            ({"newline": 5}, TypeError, "newline"),
            ({"file": str(p) + "\0"}, ValueError, "embedded null byte"),
            ({"file": os.fsencode(p) + b"\0"}, ValueError, "embedded null byte"),
            ({"closefd": False}, ValueError, "closefd"),
            ({"file": -1}, ValueError, "negative file descriptor"),
            ({"opener": lambda path, flags: -1}, ValueError, "opener returned -1"),
        ]:
            with pytest.raises(exc, match=match):
                await ombrel.open(**({"file": p} | kwargs))
        with pytest.raises(FileNotFoundError) as info:
            await ombrel.open(os.fsencode(tmp_path / "missing"))
        assert info.value.filename == os.fsencode(tmp_path / "missing")
        with pytest.warns(RuntimeWarning, match="line buffering"):
            await (await ombrel.open(p, "rb", buffering=1)).close()

    before = open_fds()
    run(main())
    assert open_fds() == before and p.read_bytes() == b"dxta!"


def test_a_text_write_to_a_stream_keeps_what_was_read_ahead(run, tmp_path):
    # Reading and writing a FIFO are two directions: a write drops no text
    # that was decoded and not yet returned.
    p = tmp_path / "fifo"
    os.mkfifo(p)

    async def main():
        async with ombrel.open(p, "r+", newline="") as f:
            await f.write("one\r\ntwo\r")
            await f.flush()
            assert await f.readline() == "one\r\n"  # "two\r" read ahead
            await f.write("\nthree\n")
            await f.flush()
            return [await f.readline(), await f.readline()]

    assert run(main()) == ["two\r\n", "three\n"]


@pytest.mark.timeout(30)
def test_a_worker_call_outliving_its_caller_never_reaches_a_reused_descriptor(tmp_path):
    """On loops other than ombrel's the file's calls run in executor
    workers, where a call whose caller stopped waiting goes on: its
    descriptor number is given back only when it returns, and a call that
    starts after the close fails as on a closed file."""
    from ombrel._files._raw import _InUse

    use = _InUse()
    fd = os.open(tmp_path / "f", os.O_RDWR | os.O_CREAT)
    started, release = threading.Event(), threading.Event()

    def blocked(fd):
        started.set()
        release.wait(10)
        return os.pwrite(fd, b"late", 0)

    worker = threading.Thread(target=lambda: results.append(use.run(blocked, fd)))
    results = []
    worker.start()
    assert started.wait(10)
    use.close(fd)
    os.fstat(fd)  # still this file's: the running call holds the number
    with pytest.raises(OSError) as e:
        use.run(os.pread, fd, 1, 0)
    assert e.value.errno == errno.EBADF
    release.set()
    worker.join(10)
    assert results == [4] and (tmp_path / "f").read_bytes() == b"late"
    with pytest.raises(OSError):
        os.fstat(fd)  # closed by the call that returned last
