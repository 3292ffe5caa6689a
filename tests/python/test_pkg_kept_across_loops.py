"""A socket moved from one loop to another (in another thread): what a
cancelled receive or accept of the first loop took belongs to the socket,
so the next reader gets it, in stream order, whichever loop it runs on."""

import asyncio
import socket
import threading

import pytest

from helpers import run

pytestmark = pytest.mark.timeout(30)


async def cancel_after_input(loop, coro, arrive):
    """Starts coro, makes its input arrive and cancels it before it resumes:
    ombrel's operation has reached the ring but not the kernel, so the kernel
    answers it and the result is kept; the standard loop's is still waiting
    for readiness. The result, or None when cancelled."""
    task = asyncio.ensure_future(coro)
    await asyncio.sleep(0)
    arrive()
    task.cancel()
    try:
        return await task
    except asyncio.CancelledError:
        return None


def in_thread(loop_factory, main):
    """main(loop) run to completion on a new loop in a thread of its own."""
    out = {}

    def body():
        lp = loop_factory()
        try:
            out["result"] = run(lp, main(lp), timeout=10)
        except BaseException as exc:  # reported on the test's thread
            out["error"] = exc
        finally:
            lp.close()

    t = threading.Thread(target=body)
    t.start()
    t.join(20)
    assert not t.is_alive()
    if "error" in out:
        raise out["error"]
    return out["result"]


@pytest.mark.parametrize("kind", ["recv", "accept"])
@pytest.mark.parametrize("first_closes", [False, True])
def test_kept_input_reaches_the_next_loop_to_read_the_socket(loop_factory, kind, first_closes):
    peer, sock = socket.socketpair()
    srv = socket.create_server(("127.0.0.1", 0))
    client = socket.socket()
    with peer, sock, srv, client:
        sock.setblocking(False)
        srv.setblocking(False)
        first = loop_factory()
        try:
            if kind == "recv":
                got = run(first, cancel_after_input(first, first.sock_recv(sock, 100), lambda: peer.send(b"FIRST")))
            else:
                got = run(
                    first, cancel_after_input(first, first.sock_accept(srv), lambda: client.connect(srv.getsockname()))
                )
            if first_closes:
                first.close()
            # The first loop has stopped; the socket now goes to another one.
            if kind == "recv":
                peer.send(b"SECOND")

                async def read(lp):
                    data = got or b""
                    while len(data) < len(b"FIRSTSECOND"):
                        try:
                            data += await asyncio.wait_for(lp.sock_recv(sock, 100), 2)
                        except TimeoutError:
                            break
                    return data

                assert in_thread(loop_factory, read) == b"FIRSTSECOND"
            else:

                async def accept(lp):
                    return got or await asyncio.wait_for(lp.sock_accept(srv), 2)

                conn, address = in_thread(loop_factory, accept)
                conn.close()
                assert address == client.getsockname()
            if not first_closes:
                # Nothing of it turns up later on the first loop.
                op = first.sock_recv(sock, 100) if kind == "recv" else first.sock_accept(srv)
                with pytest.raises(TimeoutError):
                    run(first, asyncio.wait_for(op, 0.05))
        finally:
            first.close()


def test_a_receive_cancelled_as_its_loop_stops_holds_nothing_back(loop_factory):
    """The cancel reaches the kernel before run_forever returns: the socket,
    closed afterwards (by the loop it moved to, say), ends for the peer."""
    peer, sock = socket.socketpair()
    sock.setblocking(False)
    lp = loop_factory()
    with peer, sock:
        try:
            task = lp.create_task(lp.sock_recv(sock, 100))
            run(lp, asyncio.sleep(0.01))  # the receive waits in the kernel
            lp.call_soon(task.cancel)
            lp.call_soon(lp.stop)
            lp.run_forever()
            sock.close()
            peer.settimeout(5)
            assert peer.recv(1) == b""
            run(lp, asyncio.gather(task, return_exceptions=True))
        finally:
            lp.close()
