"""add_reader/add_writer: readiness callbacks on descriptors."""

import asyncio
import contextlib
import contextvars
import errno
import logging
import socket
import tempfile

import pytest

pytestmark = pytest.mark.timeout(30)

var = contextvars.ContextVar("var", default="unset")


@pytest.fixture
def pair():
    a, b = socket.socketpair()
    a.setblocking(False)
    b.setblocking(False)
    yield a, b
    a.close()
    b.close()


def run_until(loop, predicate, timeout=5.0):
    async def wait():
        async with asyncio.timeout(timeout):
            while not predicate():
                await asyncio.sleep(0.001)

    loop.run_until_complete(wait())


def test_reader_runs_with_args_in_the_context_it_was_added_in(aloop, pair):
    a, b = pair
    got = []

    def on_readable(tag):
        got.append((tag, a.recv(100), var.get()))

    var.set("at add")
    aloop.add_reader(a, on_readable, "tag")
    var.set("later")
    b.send(b"ping")
    run_until(aloop, lambda: got)
    assert got == [("tag", b"ping", "at add")]
    assert aloop.remove_reader(a.fileno()) is True
    assert aloop.remove_reader(a) is False
    b.send(b"unseen")
    aloop.run_until_complete(asyncio.sleep(0.02))
    assert len(got) == 1


def test_undrained_reader_fires_every_iteration_and_replacement_wins(aloop, pair):
    a, b = pair
    first, second = [], []
    aloop.add_reader(a, first.append, 1)
    b.send(b"x")
    run_until(aloop, lambda: len(first) >= 3)
    aloop.add_reader(a, second.append, 2)  # replaces the first reader
    count = len(first)
    run_until(aloop, lambda: len(second) >= 3)
    assert len(first) == count
    assert aloop.remove_reader(a)


def test_writer_and_reader_are_independent(aloop, pair):
    a, b = pair
    events = []
    aloop.add_writer(a, events.append, "writable")
    aloop.add_reader(a, events.append, "readable")
    run_until(aloop, lambda: "writable" in events)
    assert "readable" not in events
    assert aloop.remove_writer(a)
    b.send(b"x")
    run_until(aloop, lambda: "readable" in events)
    assert aloop.remove_reader(a)
    assert not aloop.remove_writer(a)


def test_removing_a_reader_cancels_its_queued_run(aloop, pair):
    a, b = pair
    c, d = socket.socketpair()
    ran = []
    try:

        def first(me, other):
            ran.append(me)
            aloop.remove_reader(me)
            aloop.remove_reader(other)

        aloop.add_reader(a, first, a, c)
        aloop.add_reader(c, first, c, a)
        b.send(b"x")
        d.send(b"x")
        run_until(aloop, lambda: ran)
        aloop.run_until_complete(asyncio.sleep(0.02))
        assert len(ran) == 1  # the other one was removed before it ran
    finally:
        aloop.remove_reader(a)
        aloop.remove_reader(c)
        c.close()
        d.close()


def test_reader_errors_go_to_the_exception_handler(aloop, pair, caplog):
    a, b = pair
    calls = []

    def fail():
        calls.append(1)
        aloop.remove_reader(a)
        raise ValueError("reader failed")

    aloop.add_reader(a, fail)
    b.send(b"x")
    run_until(aloop, lambda: calls)
    errors = [r for r in caplog.records if r.levelno == logging.ERROR]
    assert len(errors) == 1
    assert errors[0].getMessage().startswith("Exception in callback")
    assert isinstance(errors[0].exc_info[1], ValueError)


def test_cancelling_the_handle_given_to_the_exception_handler_ends_the_reader(aloop, pair):
    a, b = pair
    calls = []

    def fail():
        calls.append(a.recv(1))
        raise ValueError("reader failed")

    aloop.set_exception_handler(lambda loop, context: context["handle"].cancel())
    aloop.add_reader(a, fail)
    b.send(b"1")
    run_until(aloop, lambda: calls)
    b.send(b"2")
    aloop.run_until_complete(asyncio.sleep(0.05))
    assert calls == [b"1"]
    assert aloop.remove_reader(a) is False


def test_debug_mode_reader_names_where_it_was_added(aloop, pair):
    a, b = pair
    contexts = []

    def fail():
        a.recv(1)
        aloop.remove_reader(a)
        raise ValueError("reader failed")

    aloop.set_debug(True)
    aloop.set_exception_handler(lambda loop, context: contexts.append(context))
    aloop.add_reader(a, fail)
    b.send(b"1")
    run_until(aloop, lambda: contexts)
    frames = [frame.name for frame in contexts[0]["source_traceback"]]
    assert "test_debug_mode_reader_names_where_it_was_added" in frames


def test_bad_descriptors_and_closed_loop(aloop, pair):
    with pytest.raises(ValueError, match="Invalid file object"):
        aloop.add_reader(object(), print)
    with pytest.raises(ValueError, match="Invalid file descriptor: -1"):
        aloop.add_writer(-1, print)
    with tempfile.TemporaryFile() as f, pytest.raises(PermissionError):
        aloop.add_reader(f, print)  # epoll cannot watch a regular file
    aloop.close()
    with pytest.raises(RuntimeError, match="Event loop is closed"):
        aloop.add_reader(pair[0], print)
    assert aloop.remove_reader(pair[0]) is False
    assert aloop.remove_writer(pair[0]) is False


@pytest.mark.parametrize("remove", [True, False], ids=["removed", "not_removed"])
@pytest.mark.parametrize("direction", ["reader", "writer"])
def test_socket_closed_while_watched_is_released_at_once(aloop, pair, direction, remove):
    a, b = pair
    calls = []
    if direction == "writer":
        with contextlib.suppress(BlockingIOError):
            while True:  # not writable: the watch stays armed
                a.send(b"x" * 65536)
    getattr(aloop, f"add_{direction}")(a, calls.append, 1)
    aloop.run_until_complete(asyncio.sleep(0.01))  # the watch is armed
    calls.clear()
    a.close()
    if remove:
        # Found by the object although its fileno() is now -1.
        assert getattr(aloop, f"remove_{direction}")(a) is True
        with pytest.raises(ValueError, match="Invalid file descriptor: -1"):
            getattr(aloop, f"remove_{direction}")(a)  # nothing left to find it by
    # The peer sees the end of stream without the loop running again.
    while b.recv(1 << 20):
        pass
    with pytest.raises(OSError) as err:
        b.send(b"x")
    assert err.value.errno in (errno.EPIPE, errno.ECONNRESET)
    b.close()
    aloop.run_until_complete(asyncio.sleep(0.02))
    assert calls == []  # no stale callback


@pytest.mark.parametrize("method", ["add_reader", "add_writer", "remove_reader", "remove_writer"])
def test_descriptor_of_a_transport_is_refused(aloop, pair, method):
    a, _ = pair

    async def check():
        tr, _ = await aloop.create_connection(asyncio.Protocol, sock=a)
        try:
            args = (print,) if method.startswith("add") else ()
            for fd in (a, a.fileno()):
                with pytest.raises(RuntimeError) as err:
                    getattr(aloop, method)(fd, *args)
                assert str(err.value) == f"File descriptor {fd!r} is used by transport {tr!r}"
        finally:
            tr.close()

    aloop.run_until_complete(check())
