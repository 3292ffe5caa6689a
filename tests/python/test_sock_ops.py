"""Native socket operations and their futures: results, errors, cancellation."""

import asyncio
import fcntl
import os
import socket
import threading

import pytest

from helpers import wait_for


@pytest.fixture
def pair():
    a, b = socket.socketpair()
    yield a, b
    a.close()
    b.close()


def listener(family=socket.AF_INET, host="127.0.0.1"):
    s = socket.socket(family, socket.SOCK_STREAM)
    s.bind((host, 0))
    s.listen(16)
    return s


def test_recv_and_sendall_roundtrip(loop, pair):
    a, b = pair
    assert wait_for(loop, loop._sock_sendall(a.fileno(), b"hello")).result() is None
    assert wait_for(loop, loop._sock_recv(b.fileno(), 100)).result() == b"hello"
    # Any buffer-protocol object is sent in place.
    wait_for(loop, loop._sock_sendall(a.fileno(), memoryview(bytearray(b"xyz"))))
    assert wait_for(loop, loop._sock_recv(b.fileno(), 3)).result() == b"xyz"


def test_immediate_answers(loop, pair):
    a, _ = pair
    for n in (0, -5):
        fut = loop._sock_recv(a.fileno(), n)
        assert fut.done() and fut.result() == b""
    fut = loop._sock_sendall(a.fileno(), b"")
    assert fut.done() and fut.result() is None


def read_in_thread(sock, got, want=None):
    """Reads sock into got from a thread of its own until want bytes (or the
    end of the stream) have come; answers the started thread."""

    def read():
        while want is None or len(got) < want:
            chunk = sock.recv(65536)
            if not chunk:
                return
            got.extend(chunk)

    t = threading.Thread(target=read)
    t.start()
    return t


def test_large_sendall_arrives_in_order(loop, pair):
    a, b = pair
    data = os.urandom(8 * 1024 * 1024)
    got = bytearray()

    t = read_in_thread(b, got, len(data))
    wait_for(loop, loop._sock_sendall(a.fileno(), data), timeout=60)
    t.join(60)
    assert bytes(got) == data


def test_sendalls_on_one_socket_go_out_whole_in_call_order(loop, pair):
    a, b = pair
    big, more, last = os.urandom(4 * 1024 * 1024), os.urandom(300_000), os.urandom(2_000_000)
    first = loop._sock_sendall(a.fileno(), big)
    assert not first.done()  # the kernel took part of it: the rest is on the ring
    dropped = loop._sock_sendall(a.fileno(), b"never sent")
    second = loop._sock_sendall(a.fileno(), more)
    third = loop._sock_sendall(a.fileno(), b"tail")
    assert not third.done()  # not sent directly ahead of the others
    # Not begun yet: cancelled at once, none of its bytes ever go out.
    assert dropped.cancel() and dropped.cancelled()
    got = bytearray()

    t = read_in_thread(b, got)
    try:
        wait_for(loop, third, timeout=60)
        assert first.result() is None and second.result() is None
        # A send cancelled while on the ring: the next one still follows
        # whatever part of it the kernel took.
        cut = loop._sock_sendall(a.fileno(), last)
        after = loop._sock_sendall(a.fileno(), b"after")
        cut.cancel()
        wait_for(loop, after, timeout=60)
    finally:
        a.shutdown(socket.SHUT_WR)
        t.join(60)
    head = big + more + b"tail"
    assert got[: len(head)] == head
    k = len(got) - len(head) - len(b"after")
    assert got[len(head) + k :] == b"after" and got[len(head) : len(head) + k] == last[:k]


def test_peer_close_gives_empty_bytes(loop, pair):
    a, b = pair
    fut = loop._sock_recv(a.fileno(), 10)
    b.close()
    assert wait_for(loop, fut).result() == b""


@pytest.mark.parametrize("family,host", [(socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")])
def test_connect_and_accept(loop, family, host):
    try:
        lst = listener(family, host)
    except OSError:
        pytest.skip(f"no {host} here")
    with lst, socket.socket(family, socket.SOCK_STREAM) as cli:
        accept = loop._sock_accept(lst.fileno())
        port = lst.getsockname()[1]
        connect = loop._sock_connect(cli.fileno(), host, port)
        wait_for(loop, connect)
        assert connect.result() is None
        fd = wait_for(loop, accept).result()
        assert isinstance(fd, int)
        flags = fcntl.fcntl(fd, fcntl.F_GETFL)
        assert flags & os.O_NONBLOCK
        assert fcntl.fcntl(fd, fcntl.F_GETFD) & fcntl.FD_CLOEXEC
        os.close(fd)


def test_refused_connect_maps_to_its_exception(loop):
    lst = listener()
    port = lst.getsockname()[1]
    lst.close()
    with socket.socket() as cli:
        fut = wait_for(loop, loop._sock_connect(cli.fileno(), "127.0.0.1", port))
        exc = fut.exception()
        assert type(exc) is ConnectionRefusedError


def test_cancel_in_flight_recv_with_message(loop, pair):
    a, _ = pair
    fut = loop._sock_recv(a.fileno(), 10)
    assert fut.cancel("first") is True
    assert not fut.cancelled()  # until the aborted receive is dispatched
    assert fut.cancel("second") is True
    wait_for(loop, fut)
    assert fut.cancelled()
    with pytest.raises(asyncio.CancelledError, match="first"):
        fut.result()


def test_bytes_of_a_cancelled_receive_go_to_the_next_ones_in_order(loop, pair):
    a, b = pair
    b.send(b"0123456789abcdefghij")
    # Both receives complete as soon as they are submitted, before the
    # cancel request finds the first: its bytes are kept, and come first.
    first = loop._sock_recv(a.fileno(), 10)
    second = loop._sock_recv(a.fileno(), 10)
    assert first.cancel() is True
    wait_for(loop, second)
    assert first.cancelled()
    assert second.result() == b"0123456789"
    # What is kept answers at once, a shorter receive leaving the rest.
    fut = loop._sock_recv(a.fileno(), 4)
    assert fut.done() and fut.result() == b"abcd"
    assert loop._sock_unrecv(a.fileno(), b"xy") is True  # given back: first in line
    fut = loop._sock_recv(a.fileno(), 100)
    assert fut.done() and fut.result() == b"xyefghij"
    fut = loop._sock_recv(a.fileno(), 100)
    assert not fut.done()  # nothing kept any more: the kernel answers
    b.send(b"z")
    assert wait_for(loop, fut).result() == b"z"


def test_kept_bytes_never_reach_another_socket_on_the_same_number(loop):
    a, b = socket.socketpair()
    fd = a.fileno()
    b.send(b"old")
    fut = loop._sock_recv(fd, 10)
    fut.cancel()
    wait_for(loop, fut)
    assert loop._sock_has_kept(fd)
    a.close()  # behind the loop's back
    b.close()
    c, d = socket.socketpair()
    with c, d:
        if c.fileno() != fd:
            pytest.skip("the descriptor number was not reused")
        assert not loop._sock_has_kept(fd)
        d.send(b"new")
        assert wait_for(loop, loop._sock_recv(fd, 10)).result() == b"new"
        # Taken (a transport takes over the socket): handed out once.
        d.send(b"kept")
        fut = loop._sock_recv(fd, 10)
        fut.cancel()
        wait_for(loop, fut)
        assert loop._sock_take_kept(fd) == b"kept"
        assert loop._sock_take_kept(fd) == b""


def test_connections_of_cancelled_accepts_go_to_the_next_accept(loop):
    def cancelled_accept(lst):
        fut = loop._sock_accept(lst.fileno())
        assert fut.cancel() is True
        wait_for(loop, fut)
        assert fut.cancelled()

    with listener() as lst, socket.socket() as c1, socket.socket() as c2, socket.socket() as c3:
        c1.connect(lst.getsockname())  # waiting in the backlog: accepted at submission
        cancelled_accept(lst)
        fut = loop._sock_accept(lst.fileno())
        assert fut.done()
        with socket.socket(fileno=fut.result()) as conn:
            assert conn.getpeername() == c1.getsockname()
        # Kept connections end with the listener closed through the loop
        # (the package takes them), or at a loop's close once the listener
        # was closed behind its back (while it lives, they outlast the loop).
        for cli, end in ((c2, lambda: loop._sock_take_kept(lst.fileno())), (c3, lambda: (lst.close(), loop.close()))):
            cli.connect(lst.getsockname())
            cancelled_accept(lst)
            end()
            cli.settimeout(10)
            assert cli.recv(1) == b""


def test_cancel_of_a_waiting_accept(loop):
    with listener() as lst:
        fut = loop._sock_accept(lst.fileno())
        loop.call_soon(loop.stop)
        loop.run_forever()  # the accept waits in the kernel now
        assert fut.cancel("bye") is True
        wait_for(loop, fut)
        assert fut.cancelled()


def test_sendfile_to_the_end(loop, pair, tmp_path):
    a, b = pair
    data = os.urandom(700_000)
    path = tmp_path / "f"
    path.write_bytes(data)
    got = bytearray()

    t = read_in_thread(b, got, len(data) - 1000)
    with open(path, "rb") as f:
        fut = wait_for(loop, loop._sock_sendfile(a.fileno(), f.fileno(), 1000, -1), timeout=60)
    t.join(60)
    assert fut.result() == len(data) - 1000
    assert bytes(got) == data[1000:]
    with pytest.raises(OverflowError):
        loop._sock_sendfile(a.fileno(), 0, -1, 10)


def test_closed_loop_and_in_flight_operations(loop, pair):
    a, _ = pair
    pending = loop._sock_recv(a.fileno(), 10)
    loop.close()
    # The loop is gone: cancelling the orphaned future must not touch it.
    assert pending.cancel() is True
    assert pending.cancelled()
    for name, args in [
        ("_sock_recv", (a.fileno(), 1)),
        ("_sock_sendall", (a.fileno(), b"x")),
        ("_sock_connect", (a.fileno(), "127.0.0.1", 1)),
        ("_sock_accept", (a.fileno(),)),
        ("_sock_sendfile", (a.fileno(), 0, 0, 1)),
    ]:
        with pytest.raises(RuntimeError, match="^Event loop is closed$"):
            getattr(loop, name)(*args)
