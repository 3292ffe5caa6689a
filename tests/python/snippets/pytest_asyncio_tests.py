# A user's async tests, run by pytest-asyncio in auto mode: no markers needed.
import asyncio

import pytest


def on_ombrel():
    return type(asyncio.get_running_loop()).__module__.startswith("ombrel")


@pytest.fixture
async def echo_server():
    assert on_ombrel()

    async def echo(reader, writer):
        writer.write(await reader.read(100))
        await writer.drain()
        writer.close()

    server = await asyncio.start_server(echo, "127.0.0.1", 0)
    yield server.sockets[0].getsockname()[1]
    server.close()
    await server.wait_closed()


async def test_echo_over_loopback(echo_server):
    assert on_ombrel()
    reader, writer = await asyncio.open_connection("127.0.0.1", echo_server)
    writer.write(b"ping")
    assert await reader.read() == b"ping"
    writer.close()
    await writer.wait_closed()


async def test_timer_and_thread():
    assert on_ombrel()
    await asyncio.sleep(0.01)
    assert await asyncio.to_thread(sum, [1, 2, 3]) == 6
