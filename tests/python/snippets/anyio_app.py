# An anyio program on an ombrel loop: a TCP echo server and a client to it.
import asyncio

import anyio
import ombrel
from anyio.abc import SocketAttribute


async def main():
    async def echo(stream):
        async with stream:
            await stream.send((await stream.receive()).upper())

    listener = await anyio.create_tcp_listener(local_host="127.0.0.1")
    async with listener, anyio.create_task_group() as tg:
        tg.start_soon(listener.serve, echo)
        port = listener.extra(SocketAttribute.local_port)
        async with await anyio.connect_tcp("127.0.0.1", port) as client:
            await client.send(b"hello")
            reply = await client.receive()
        tg.cancel_scope.cancel()
    print(type(asyncio.get_running_loop()).__module__, reply.decode())


if __name__ == "__main__":
    anyio.run(main, backend="asyncio", backend_options={"loop_factory": ombrel.new_event_loop})
