"""aiohttp's server and client, both on one ombrel loop: a real HTTP stack
that none of ombrel's authors wrote, over create_server, create_connection,
the native transport, flow control and sendfile."""

import asyncio
import hashlib
import os

import ombrel
import pytest

aiohttp = pytest.importorskip("aiohttp")
from aiohttp import web  # noqa: E402

pytestmark = pytest.mark.timeout(60)

BIG = os.urandom(5 * 1024 * 1024 + 7)


@pytest.fixture(autouse=True)
def not_under_refleak_runs(request):
    # aiohttp and yarl fill caches keyed by URL (each run has a new port):
    # references grow on the standard loop as on ombrel.
    if request.config.pluginmanager.hasplugin("refleak_plugin"):
        pytest.skip("aiohttp's caches grow from run to run")


def make_app(events, tmp_path):
    async def hello(request):
        return web.Response(text=f"hello {request.query.get('n', '')}")

    async def echo(request):
        body = await request.read()
        return web.Response(body=body, headers={"X-Sha": hashlib.sha256(body).hexdigest()})

    async def stream(request):
        resp = web.StreamResponse()
        resp.enable_chunked_encoding()
        await resp.prepare(request)
        for i in range(50):
            await resp.write(f"chunk {i}\n".encode() * 100)
        await resp.write_eof()
        return resp

    async def endless(request):
        resp = web.StreamResponse()
        await resp.prepare(request)
        try:
            while True:
                await resp.write(b"z" * 65536)
        except (ConnectionError, asyncio.CancelledError) as exc:
            events.set_result(type(exc))
            raise
        return resp

    path = tmp_path / "file.bin"
    path.write_bytes(BIG)

    async def file(request):
        return web.FileResponse(path)

    app = web.Application(client_max_size=len(BIG) + 1024)
    app.router.add_get("/hello", hello)
    app.router.add_post("/echo", echo)
    app.router.add_get("/stream", stream)
    app.router.add_get("/endless", endless)
    app.router.add_get("/file", file)
    return app


@pytest.fixture
def served(tmp_path):
    """Runs `scenario(session, base_url, gone)` on an ombrel loop that serves
    the app; `gone` resolves with the exception type the endless handler
    saw when its client went away."""

    def runner(scenario):
        async def main():
            gone = asyncio.get_running_loop().create_future()
            app_runner = web.AppRunner(make_app(gone, tmp_path))
            await app_runner.setup()
            site = web.TCPSite(app_runner, "127.0.0.1", 0)
            await site.start()
            port = site._server.sockets[0].getsockname()[1]
            try:
                async with aiohttp.ClientSession() as session:
                    await asyncio.wait_for(scenario(session, f"http://127.0.0.1:{port}", gone), 30)
            finally:
                await app_runner.cleanup()

        with asyncio.Runner(loop_factory=ombrel.new_event_loop) as r:
            assert isinstance(r.get_loop(), ombrel.Loop)
            r.run(main())

    return runner


def test_many_small_requests_sequential_and_concurrent(served):
    async def scenario(session, url, gone):
        for n in range(20):  # reuses the keep-alive connection
            async with session.get(f"{url}/hello", params={"n": n}) as resp:
                assert resp.status == 200
                assert await resp.text() == f"hello {n}"

        async def one(n):
            async with session.get(f"{url}/hello", params={"n": n}) as resp:
                return await resp.text()

        got = await asyncio.gather(*(one(n) for n in range(50)))
        assert got == [f"hello {n}" for n in range(50)]

    served(scenario)


def test_large_bodies_both_ways(served):
    async def scenario(session, url, gone):
        async with session.post(f"{url}/echo", data=BIG) as resp:
            assert resp.headers["X-Sha"] == hashlib.sha256(BIG).hexdigest()
            assert await resp.read() == BIG
        async with session.get(f"{url}/file") as resp:  # loop.sendfile
            assert resp.status == 200
            assert await resp.read() == BIG
        async with session.get(f"{url}/file", headers={"Range": "bytes=1000-1999"}) as resp:
            assert resp.status == 206
            assert await resp.read() == BIG[1000:2000]

    served(scenario)


def test_streamed_response_arrives_in_pieces(served):
    async def scenario(session, url, gone):
        async with session.get(f"{url}/stream") as resp:
            assert resp.headers.get("Transfer-Encoding") == "chunked"
            lines = [line async for line in resp.content]
        assert len(lines) == 5000
        assert lines[0] == b"chunk 0\n" and lines[-1] == b"chunk 49\n"

    served(scenario)


def test_client_disconnect_is_seen_by_the_server(served):
    async def scenario(session, url, gone):
        resp = await session.get(f"{url}/endless")
        await resp.content.readexactly(200_000)
        resp.close()  # drops the connection mid-response
        kind = await asyncio.wait_for(gone, 10)
        assert issubclass(kind, (ConnectionError, asyncio.CancelledError))
        # The server is still fine.
        async with session.get(f"{url}/hello") as again:
            assert await again.text() == "hello "

    served(scenario)
