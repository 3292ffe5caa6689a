"""Echo server on one event loop, in one of four styles. Prints "READY <port>"
once listening and serves until killed.

    python3.14 bench/echo_server.py --loop ombrel|uvloop|asyncio
        --kind sock|streams|protocol|buffered [--host 127.0.0.1] [--port 0] [--cpu 1]

  sock      loop.sock_accept, then loop.sock_recv / loop.sock_sendall per connection
  streams   asyncio.start_server: reader.read, writer.write, await writer.drain()
  protocol  loop.create_server with an asyncio.Protocol: data_received -> transport.write
  buffered  loop.create_server with an asyncio.BufferedProtocol reading into its own buffer
"""

import argparse
import asyncio
import socket

from benchlib import LOOPS, guarded, pin, run

READ_SIZE = 65536


def ready(port):
    print(f"READY {port}", flush=True)


def nodelay(sock):
    if sock is not None and sock.family in (socket.AF_INET, socket.AF_INET6):
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


async def serve_sock(host, port):
    loop = asyncio.get_running_loop()
    lsock = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET, socket.SOCK_STREAM)
    lsock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    lsock.bind((host, port))
    lsock.listen(1024)
    lsock.setblocking(False)
    tasks = set()

    async def handle(conn):
        try:
            while data := await loop.sock_recv(conn, READ_SIZE):
                await loop.sock_sendall(conn, data)
        except OSError:
            pass
        finally:
            conn.close()

    # The first accept starts before READY, so a loop without sock_accept
    # says so before any client connects.
    accept = loop.create_task(loop.sock_accept(lsock))
    await asyncio.sleep(0)
    if accept.done():
        accept.result()
    ready(lsock.getsockname()[1])
    while True:
        conn, _ = await accept
        accept = loop.create_task(loop.sock_accept(lsock))
        conn.setblocking(False)
        nodelay(conn)
        task = loop.create_task(handle(conn))
        tasks.add(task)
        task.add_done_callback(tasks.discard)


async def serve_streams(host, port):
    async def handle(reader, writer):
        nodelay(writer.get_extra_info("socket"))
        try:
            while data := await reader.read(READ_SIZE):
                writer.write(data)
                await writer.drain()
        except OSError:
            pass
        finally:
            writer.close()

    server = await asyncio.start_server(handle, host, port, backlog=1024)
    ready(server.sockets[0].getsockname()[1])
    await server.serve_forever()


class EchoProtocol(asyncio.Protocol):
    def connection_made(self, transport):
        self.transport = transport
        nodelay(transport.get_extra_info("socket"))

    def data_received(self, data):
        self.transport.write(data)


class EchoBufferedProtocol(asyncio.BufferedProtocol):
    def __init__(self):
        self.buffer = bytearray(READ_SIZE)
        self.view = memoryview(self.buffer)

    def connection_made(self, transport):
        self.transport = transport
        nodelay(transport.get_extra_info("socket"))

    def get_buffer(self, sizehint):
        return self.view

    def buffer_updated(self, nbytes):
        # A copy: the buffer is reused by the next read while a partly sent
        # write may still be queued in the transport.
        self.transport.write(self.buffer[:nbytes])


async def serve_protocol(host, port, factory):
    loop = asyncio.get_running_loop()
    server = await loop.create_server(factory, host, port, backlog=1024)
    ready(server.sockets[0].getsockname()[1])
    await server.serve_forever()


async def serve(kind, host, port):
    if kind == "sock":
        await serve_sock(host, port)
    elif kind == "streams":
        await serve_streams(host, port)
    elif kind == "protocol":
        await serve_protocol(host, port, EchoProtocol)
    else:
        await serve_protocol(host, port, EchoBufferedProtocol)


@guarded
def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--loop", choices=LOOPS, required=True)
    p.add_argument("--kind", choices=("sock", "streams", "protocol", "buffered"), required=True)
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--cpu", type=int, default=1)
    args = p.parse_args()
    pin(args.cpu)
    run(args.loop, serve, args.kind, args.host, args.port)


if __name__ == "__main__":
    main()
