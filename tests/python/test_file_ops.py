"""Native file operations."""

import os

import pytest

from helpers import wait_for

CREATE, READ, WRITE, TRUNC, EXCL = 1, 2, 4, 8, 16


def run(loop, fut, timeout=30):
    return wait_for(loop, fut, timeout).result()


def test_open_variants(loop, tmp_path):
    missing = str(tmp_path / "missing")
    exc = wait_for(loop, loop._file_open(missing, READ, 0)).exception()
    assert type(exc) is FileNotFoundError

    path = str(tmp_path / "f")
    fd, pollable = run(loop, loop._file_open(path, CREATE | READ | EXCL, 0o600))
    assert pollable is False
    assert os.stat(path).st_mode & 0o777 == 0o600
    os.close(fd)
    exc = wait_for(loop, loop._file_open(path, CREATE | WRITE | EXCL, 0o644)).exception()
    assert type(exc) is FileExistsError

    fd, pollable = run(loop, loop._file_open(path, READ, 0))
    assert (fd, pollable)[1] is False
    assert os.get_inheritable(fd) is False
    with pytest.raises(OSError):
        os.write(fd, b"x")  # read-only
    run(loop, loop._file_close(fd))
    with pytest.raises(OSError):
        os.fstat(fd)

    exc = wait_for(loop, loop._file_open(str(tmp_path), READ | WRITE, 0)).exception()
    assert type(exc) is IsADirectoryError


def test_reads_and_writes(loop, tmp_path):
    path = str(tmp_path / "f")
    fd, _ = run(loop, loop._file_open(path, CREATE | READ | TRUNC, 0o644))
    try:
        for size in (0, -5):
            fut = loop._file_read(fd, size)
            assert fut.done() and fut.result() == b""
        fut = loop._file_write(fd, b"")
        assert fut.done() and fut.result() == 0

        assert run(loop, loop._file_write(fd, b"hello ")) == 6
        assert run(loop, loop._file_write(fd, bytearray(b"world"))) == 5
        assert run(loop, loop._file_pread(fd, 100, 0)) == b"hello world"
        assert run(loop, loop._file_pread(fd, 100, 11 - 4)) == b"orld"
        assert run(loop, loop._file_pread(fd, 100, 11)) == b""
        assert run(loop, loop._file_pread(fd, 100, 1 << 40)) == b""
        os.lseek(fd, 0, os.SEEK_SET)
        assert run(loop, loop._file_read(fd, 5)) == b"hello"
        assert run(loop, loop._file_read(fd, 100)) == b" world"
        assert run(loop, loop._file_read(fd, 100)) == b""

        assert run(loop, loop._file_size(fd)) == 11
        run(loop, loop._file_truncate(fd, 4))
        assert run(loop, loop._file_size(fd)) == 4
        run(loop, loop._file_truncate(fd, 1 << 20))
        assert os.fstat(fd).st_size == 1 << 20
        with pytest.raises(OverflowError):
            loop._file_truncate(fd, -1)
        with pytest.raises(OverflowError):
            loop._file_pread(fd, 1, -1)
        assert run(loop, loop._file_fsync(fd, 1)) is None
        assert run(loop, loop._file_fsync(fd, 0)) is None
    finally:
        os.close(fd)


def test_large_positional_write(loop, tmp_path):
    path = str(tmp_path / "big")
    data = os.urandom(10 * 1024 * 1024)
    fd, _ = run(loop, loop._file_open(path, CREATE | READ | TRUNC, 0o644))
    try:
        assert run(loop, loop._file_pwrite(fd, data, 4096)) == len(data)
        assert os.pread(fd, len(data), 4096) == data
        assert os.pread(fd, 4096, 0) == b"\0" * 4096
        got = run(loop, loop._file_pread(fd, len(data), 4096))
        assert got == data
    finally:
        os.close(fd)


def test_streaming_on_a_pipe(loop):
    r, w = os.pipe()
    try:
        fut = loop._file_read(r, 10)
        assert run(loop, loop._file_write(w, b"abc")) == 3
        assert run(loop, fut) == b"abc"
        os.close(w)
        w = -1
        assert run(loop, loop._file_read(r, 10)) == b""
    finally:
        os.close(r)
        if w >= 0:
            os.close(w)


def test_errors_are_futures_not_raises(loop):
    fut = wait_for(loop, loop._file_size(10_000))
    assert isinstance(fut.exception(), OSError)
    fut = wait_for(loop, loop._file_pread(10_000, 10, 0))
    assert isinstance(fut.exception(), OSError)


def test_closed_loop(loop, tmp_path):
    loop.close()
    for name, args in [
        ("_file_open", ("x", 0, 0)),
        ("_file_close", (0,)),
        ("_file_pread", (0, 1, 0)),
        ("_file_read", (0, 1)),
        ("_file_pwrite", (0, b"x", 0)),
        ("_file_write", (0, b"x")),
        ("_file_fsync", (0, 0)),
        ("_file_truncate", (0, 0)),
        ("_file_size", (0,)),
    ]:
        with pytest.raises(RuntimeError, match="^Event loop is closed$"):
            getattr(loop, name)(*args)


def test_cancelled_open_does_not_leak_its_descriptor(loop, tmp_path):
    path = str(tmp_path / "f")
    open(path, "w").close()
    before = set(os.listdir("/proc/self/fd"))
    fut = loop._file_open(path, READ, 0)
    assert fut.cancel() is True  # before the open completes: its result is discarded
    wait_for(loop, fut)
    assert fut.cancelled()
    assert set(os.listdir("/proc/self/fd")) <= before


def test_bytes_of_a_cancelled_stream_read_go_to_the_next_read(loop):
    r, w = os.pipe()
    try:
        os.write(w, b"hello")
        fut = loop._file_read(r, 100)
        assert fut.cancel() is True  # the read completes at submission anyway
        wait_for(loop, fut)
        assert fut.cancelled()
        fut = loop._file_read(r, 2)
        assert fut.done() and fut.result() == b"he"
        closing = loop._file_close(r)  # closed through the loop: the rest is dropped
        assert not loop._sock_has_kept(r)
        r = -1
        run(loop, closing)
    finally:
        for fd in (r, w):
            if fd >= 0:
                os.close(fd)
