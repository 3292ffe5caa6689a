"""A connection the engine keeps for a listener's next accept is a number
nobody else knows; a program may still close it behind the loop's back (as
daemons close every descriptor they do not know of) and reuse the number.
That number then names another owner's file: the loop must neither hand it
out as a connection nor close it."""

import os
import socket

import pytest

from helpers import wait_for


def end_accept(loop, lst):
    fut = loop._sock_accept(lst.fileno())
    assert not fut.done()  # nothing kept is left: the accept waits for a client
    fut.cancel()
    wait_for(loop, fut)


def end_accept_stop(loop, lst):
    assert loop._sock_accept_stop(lst.fileno(), None) == []


def end_take_kept(loop, lst):
    loop._sock_take_kept(lst.fileno())


def end_listener_gone(loop, lst):
    lst.close()
    loop.close()  # sweeps what was kept for descriptors closed since


@pytest.mark.parametrize("end", [end_accept, end_accept_stop, end_take_kept, end_listener_gone])
def test_a_kept_connection_closed_behind_the_loop_is_not_the_loops_any_more(loop, end):
    with socket.create_server(("127.0.0.1", 0)) as lst, socket.create_connection(lst.getsockname()) as client:
        conn, _ = lst.accept()
        fd = conn.detach()
        assert loop._sock_unaccept(lst.fileno(), fd)  # what a cancelled sock_accept gives back
        os.close(fd)
        mine = os.open(os.devnull, os.O_RDONLY)
        try:
            if mine != fd:
                pytest.skip("the descriptor number was not reused")
            ino = os.fstat(mine).st_ino
            end(loop, lst)
            assert os.fstat(mine).st_ino == ino
        finally:
            os.close(mine)
        client.settimeout(10)
        assert client.recv(1) == b""  # the connection itself ended with its close
