"""Descriptors the native operations cannot use: closed, of the wrong kind,
out of range, or named by numbers a 32-bit truncation would turn into
another one. Each fails its own future and leaves the descriptors and the
loop as they were."""

import os

import pytest

from helpers import outcome, settle, wait_for


def test_operations_on_closed_and_wrong_kind_descriptors_fail_their_future(loop, fds):
    k = fds.kinds()
    data = b"payload"
    calls = [
        ("_sock_recv", (fds.closed, 10)),
        ("_sock_recv", (-1, 10)),
        ("_sock_recv", (k["file"], 10)),
        ("_sock_recv", (k["listener"], 10)),
        ("_sock_recv", (k["dir"], 10)),
        ("_sock_sendall", (fds.closed, data)),
        ("_sock_sendall", (k["pipe_r"], data)),
        ("_sock_sendall", (k["unbound"], data)),
        ("_sock_sendall", (k["listener"], data)),
        ("_sock_accept", (k["file"],)),
        ("_sock_accept", (k["sock"],)),
        ("_sock_accept", (k["unbound"],)),
        ("_sock_accept", (-7,)),
        ("_sock_connect", (k["pipe_w"], "127.0.0.1", 9)),
        ("_sock_connect", (k["listener"], "127.0.0.1", 9)),
        ("_sock_connect", (k["udp"], "::1", 9)),
        ("_sock_sendfile", (k["pipe_r"], k["file"], 0, 5)),
        ("_sock_sendfile", (k["sock"], k["dir"], 0, -1)),
        ("_sock_sendfile", (k["sock"], fds.closed, 0, 10)),
        ("_file_read", (k["dir"], 10)),
        ("_file_read", (k["pipe_w"], 10)),
        ("_file_read", (fds.closed, 10)),
        ("_file_pread", (k["pipe_r"], 10, 0)),
        ("_file_pread", (k["dir"], 10, 0)),
        ("_file_write", (k["pipe_r"], data)),
        ("_file_write", (k["dir"], data)),
        ("_file_pwrite", (k["dir"], data, 0)),
        ("_file_pwrite", (fds.closed, data, 0)),
        ("_file_fsync", (fds.closed, True)),
        ("_file_truncate", (k["pipe_w"], 0)),
        ("_file_truncate", (k["dir"], 5)),
        ("_file_size", (fds.closed,)),
        ("_file_size", (-1,)),
        ("_file_close", (fds.closed,)),
        ("_file_close", (-1,)),
        ("_file_close", (2**31 - 1,)),
        ("_wait_pid", (0,)),
        ("_wait_pid", (-1,)),
        ("_wait_pid", (os.getpid(),)),
        ("_wait_pid", (1,)),
        ("_wait_pid", (2**31 - 1,)),
        ("_wait_pid", (-(2**31),)),
        ("_file_open", ("", 0, 0)),
        ("_file_open", ("nul\0inside", 0, 0)),
        ("_file_open", (fds.path + "/x", 1, 0o600)),
        ("_file_open", (fds.path, 1 | 16, 0o600)),
        ("_file_open", (os.path.dirname(fds.path), 6, 0)),
    ]
    futures = [getattr(loop, name)(*args) for name, args in calls]
    settle(loop, futures)
    for (name, args), fut in zip(calls, futures):
        assert fut.done()
        if not fut.cancelled():
            assert isinstance(fut.exception(), OSError), (name, args, outcome(fut))
    # The descriptors named are untouched and the loop goes on working.
    os.write(fds.pipe_w, b"ok")
    assert os.read(fds.pipe_r, 2) == b"ok"
    assert loop.handler_calls == []


def test_pollers_on_bad_descriptors_end_silently(loop, fds, unraisables):
    calls = []
    for fd in (-1, fds.closed, 2**31 - 1, -(2**31)):
        loop._add_poller(fd, 0, lambda: calls.append(fd))
        loop._add_poller(fd, 7, lambda: calls.append(fd))  # any non-zero event is "write"
    loop.call_later(0.02, loop.stop)
    loop.run_forever()
    assert calls == []
    for fd in (-1, fds.closed):
        # Already ended by the failed poll; removing again answers False.
        assert loop._remove_poller(fd, 0) is False
    # A poller whose callback is not callable reports and stays armed.
    os.write(fds.pipe_w, b"x")
    loop._add_poller(fds.pipe_r, 0, "not callable")
    loop.call_later(0.02, loop.stop)
    loop.run_forever()
    assert loop._remove_poller(fds.pipe_r, 0) is True
    assert unraisables and set(unraisables) == {(TypeError, "not callable")}


def test_descriptor_numbers_beyond_32_bits_are_refused(loop, fds):
    # _file_size is harmless; _file_close(2**32 + fd) closes fd the same way.
    try:
        fut = loop._file_size(2**32 + fds.file)
    except (OverflowError, ValueError):
        return
    wait_for(loop, fut)
    assert fut.exception() is not None, f"reported the size of descriptor {fds.file}: {fut.result()}"


@pytest.mark.parametrize("op", ["pread", "pwrite", "sendfile"])
def test_offsets_beyond_the_file_offset_range_are_refused(loop, fds, op):
    os.lseek(fds.file, 10, os.SEEK_SET)
    try:
        if op == "pread":
            fut = loop._file_pread(fds.file, 4, 2**64 - 1)
        elif op == "pwrite":
            fut = loop._file_pwrite(fds.file, b"ZZ", 2**64 - 1)
        else:
            fut = loop._sock_sendfile(fds.sock_a.fileno(), fds.file, 2**64 - 1, 10)
    except (OverflowError, ValueError):
        return
    wait_for(loop, fut)
    moved = os.lseek(fds.file, 0, os.SEEK_CUR)
    sent = b""
    if op == "sendfile":
        fds.sock_b.setblocking(False)
        try:
            sent = fds.sock_b.recv(100)
        except BlockingIOError:
            pass
    with open(fds.path, "rb") as f:
        content = f.read()
    assert fut.exception() is not None and moved == 10 and sent == b"" and content == b"0123456789abcdef", (
        outcome(fut),
        moved,
        sent,
        content,
    )
