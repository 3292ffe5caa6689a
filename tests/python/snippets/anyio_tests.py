# A user's anyio tests, run by anyio's pytest plugin.
import asyncio

import anyio
import pytest
from anyio.abc import SocketAttribute

pytestmark = pytest.mark.anyio


def on_ombrel():
    return type(asyncio.get_running_loop()).__module__.startswith("ombrel")


@pytest.fixture
async def echo_listener():
    assert on_ombrel()

    async def echo(stream):
        async with stream:
            await stream.send(await stream.receive())

    listener = await anyio.create_tcp_listener(local_host="127.0.0.1")
    async with listener, anyio.create_task_group() as tg:
        tg.start_soon(listener.serve, echo)
        yield listener.extra(SocketAttribute.local_port)
        tg.cancel_scope.cancel()


async def test_echo_over_loopback(echo_listener):
    assert on_ombrel()
    async with await anyio.connect_tcp("127.0.0.1", echo_listener) as client:
        await client.send(b"ping")
        assert await client.receive() == b"ping"


async def test_thread_and_timeout():
    assert on_ombrel()
    assert await anyio.to_thread.run_sync(sum, [1, 2, 3]) == 6
    with anyio.move_on_after(0.01) as scope:
        await anyio.sleep(10)
    assert scope.cancelled_caught
