"""make demo: a real asyncio program on ombrel.

1. An echo server (asyncio.start_server) and clients that push data through
   it concurrently; prints the throughput and the round-trip rate.
2. An HTTP exchange with aiohttp: its server and its client, both on the
   ombrel loop (when aiohttp is installed).
"""

import asyncio
import hashlib
import os
import time

import ombrel

CLIENTS = 8
BYTES_PER_CLIENT = 32 * 1024 * 1024
ROUND_TRIPS = 5000


async def echo(reader, writer):
    try:
        while data := await reader.read(256 * 1024):
            writer.write(data)
            await writer.drain()
    except ConnectionError:
        pass
    finally:
        writer.close()


async def bulk_client(port):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    block = os.urandom(256 * 1024)
    digest = hashlib.sha256()

    async def send():
        for _ in range(BYTES_PER_CLIENT // len(block)):
            writer.write(block)
            await writer.drain()
        writer.write_eof()

    async def receive():
        received = 0
        while data := await reader.read(256 * 1024):
            digest.update(data)
            received += len(data)
        return received

    _, received = await asyncio.gather(send(), receive())
    expected = hashlib.sha256(block * (BYTES_PER_CLIENT // len(block))).digest()
    assert received == BYTES_PER_CLIENT and digest.digest() == expected, "echo mismatch"
    writer.close()
    await writer.wait_closed()


async def ping_client(port):
    reader, writer = await asyncio.open_connection("127.0.0.1", port)
    for _ in range(ROUND_TRIPS):
        writer.write(b"ping")
        await reader.readexactly(4)
    writer.close()
    await writer.wait_closed()


async def echo_demo():
    server = await asyncio.start_server(echo, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    print(f"echo server on 127.0.0.1:{port}")
    start = time.perf_counter()
    await asyncio.gather(*(bulk_client(port) for _ in range(CLIENTS)))
    elapsed = time.perf_counter() - start
    total = CLIENTS * BYTES_PER_CLIENT
    print(
        f"  {CLIENTS} clients echoed {total / 2**20:.0f} MiB each way in {elapsed:.2f} s: "
        f"{2 * total / elapsed / 2**20:.0f} MiB/s through the server"
    )
    start = time.perf_counter()
    await ping_client(port)
    elapsed = time.perf_counter() - start
    print(f"  one client, {ROUND_TRIPS} request/reply round trips: {ROUND_TRIPS / elapsed:.0f} per second")
    server.close()
    await server.wait_closed()


async def http_demo():
    try:
        import aiohttp
        from aiohttp import web
    except ImportError:
        print("aiohttp is not installed: no HTTP demo")
        return

    async def greet(request):
        return web.json_response(
            {"hello": request.match_info["name"], "loop": type(asyncio.get_running_loop()).__module__}
        )

    async def upload(request):
        body = await request.read()
        return web.Response(text=hashlib.sha256(body).hexdigest())

    app = web.Application(client_max_size=64 * 2**20)
    app.router.add_get("/greet/{name}", greet)
    app.router.add_post("/upload", upload)
    runner = web.AppRunner(app)
    await runner.setup()
    site = web.TCPSite(runner, "127.0.0.1", 0)
    await site.start()
    port = site._server.sockets[0].getsockname()[1]
    url = f"http://127.0.0.1:{port}"
    print(f"aiohttp server on {url}")
    try:
        async with aiohttp.ClientSession() as session:
            async with session.get(f"{url}/greet/ombrel") as resp:
                print(f"  GET /greet/ombrel -> {resp.status} {await resp.json()}")
            body = os.urandom(16 * 2**20)
            start = time.perf_counter()
            async with session.post(f"{url}/upload", data=body) as resp:
                digest = await resp.text()
            elapsed = time.perf_counter() - start
            assert digest == hashlib.sha256(body).hexdigest()
            print(f"  POST /upload of 16 MiB -> {resp.status}, digest checked, {elapsed * 1000:.0f} ms")
            n = 500
            start = time.perf_counter()

            async def get(i):
                async with session.get(f"{url}/greet/{i}") as r:
                    return (await r.json())["hello"]

            names = await asyncio.gather(*(get(i) for i in range(n)))
            elapsed = time.perf_counter() - start
            assert names == [str(i) for i in range(n)]
            print(f"  {n} concurrent GETs in {elapsed * 1000:.0f} ms ({n / elapsed:.0f} requests per second)")
    finally:
        await runner.cleanup()


async def main():
    print(f"running on {type(asyncio.get_running_loop())!r}")
    await echo_demo()
    await http_demo()


if __name__ == "__main__":
    ombrel.run(main())
