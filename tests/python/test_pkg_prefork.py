"""Listening sockets the loop shares with others (forked workers, dup()s,
inherited descriptors): closing a server ends this loop's part only."""

import asyncio
import os
import socket
import time

import pytest

from helpers import is_ombrel, run

pytestmark = pytest.mark.timeout(30)


async def echo_once(reader, writer):
    writer.write(await reader.read(100))
    await writer.drain()
    writer.close()


def serve_and_close(loop_factory, lsock, settled):
    """Serves lsock on a fresh loop, then closes the server: once the loop's
    accept waits in the kernel, or in the pass that started it."""
    loop = loop_factory()
    try:

        async def main():
            server = await asyncio.start_server(echo_once, sock=lsock, start_serving=False)
            starting = asyncio.ensure_future(server.start_serving())
            if settled:
                await starting
                await asyncio.sleep(0.01)
                server.close()
            else:
                loop.call_soon(server.close)  # right after the task's step
                await starting
            await server.wait_closed()

        run(loop, main())
    finally:
        loop.close()


def in_child(fn):
    """Runs fn in a forked child; its exit status (0: fn returned)."""
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            fn()
            status = 0
        finally:
            os._exit(status)
    deadline = time.monotonic() + 20
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            pytest.fail("child hung")
        time.sleep(0.005)


@pytest.mark.parametrize("settled", [True, False], ids=["settled", "at_once"])
@pytest.mark.parametrize("sharer", ["fork", "dup"])
def test_closing_a_server_leaves_a_shared_listener_listening(loop_factory, sharer, settled):
    with socket.create_server(("127.0.0.1", 0)) as lsock:
        if sharer == "fork":
            assert in_child(lambda: serve_and_close(loop_factory, lsock, settled)) == 0
        else:
            with lsock.dup() as twin:
                serve_and_close(loop_factory, twin, settled)
        # The listener still takes clients, for whoever else serves it.
        with socket.create_connection(lsock.getsockname(), timeout=5) as client:
            conn, _ = lsock.accept()
            client.sendall(b"ping")
            assert conn.recv(4) == b"ping"
            conn.close()


def test_a_connection_accepted_before_close_is_served(aloop):
    """The kernel may accept for the loop's accept before the server closes,
    while the loop has not yet handed the connection over: it is served
    (and counts among the server's clients). The standard loop accepts only
    when it gets there, so the client stays in the backlog and is reset."""
    if not is_ombrel(aloop):
        pytest.skip("the standard loop accepts nothing it has not handed over")

    async def main():
        server = await asyncio.start_server(echo_once, "127.0.0.1", 0)
        await asyncio.sleep(0.01)
        client = socket.create_connection(server.sockets[0].getsockname(), timeout=5)
        # Runs before the pass that hands the accepted connection over.
        aloop.call_soon(server.close)
        client.sendall(b"ping")
        await server.wait_closed()
        return client

    client = run(aloop, main())
    with client:
        assert client.recv(4) == b"ping"
