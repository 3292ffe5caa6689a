"""aiohttp server on one event loop. Prints "READY <port>" once listening and
serves until killed.

  GET /                     a short text body
  POST /upload              reads the whole body (sized or chunked) and answers
                            the number of bytes it got
  GET /download/N           N bytes, with Content-Length
  GET /download/N?chunked=1 N bytes, Transfer-Encoding: chunked

    python3.14 bench/http_server.py --loop ombrel|uvloop|asyncio [--host 127.0.0.1] [--port 0] [--cpu 1]
"""

import argparse
import asyncio

from benchlib import LOOPS, Skip, guarded, pin, run

BODY = "Hello, World!"
BLOCK = bytes(range(256)) * 4096  # 1 MiB: what a download writes at a time


async def serve(host, port):
    try:
        from aiohttp import web
    except ImportError as exc:
        raise Skip(f"aiohttp does not import: {exc}") from None

    async def hello(request):
        return web.Response(text=BODY)

    async def upload(request):
        n = 0
        async for chunk in request.content.iter_any():
            n += len(chunk)
        return web.Response(text=str(n))

    async def download(request):
        size = int(request.match_info["size"])
        resp = web.StreamResponse()
        if request.query.get("chunked") == "1":
            resp.enable_chunked_encoding()
        else:
            resp.content_length = size
        await resp.prepare(request)
        view = memoryview(BLOCK)
        left = size
        while left > 0:
            n = min(left, len(BLOCK))
            await resp.write(view[:n])
            left -= n
        await resp.write_eof()
        return resp

    # Bodies far beyond aiohttp's default 1 MiB limit.
    app = web.Application(client_max_size=1 << 31)
    app.router.add_get("/", hello)
    app.router.add_post("/upload", upload)
    app.router.add_get("/download/{size}", download)
    runner = web.AppRunner(app, access_log=None, handle_signals=False)
    await runner.setup()
    site = web.TCPSite(runner, host, port, backlog=1024)
    await site.start()
    print(f"READY {runner.addresses[0][1]}", flush=True)
    try:
        await asyncio.Event().wait()
    finally:
        await runner.cleanup()


@guarded
def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--loop", choices=LOOPS, required=True)
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--cpu", type=int, default=1)
    args = p.parse_args()
    pin(args.cpu)
    run(args.loop, serve, args.host, args.port)


if __name__ == "__main__":
    main()
