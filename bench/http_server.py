"""aiohttp server on one event loop: GET / answers a short text body. Prints
"READY <port>" once listening and serves until killed.

    python3.14 bench/http_server.py --loop ombrel|uvloop|asyncio [--host 127.0.0.1] [--port 0] [--cpu 1]
"""

import argparse
import asyncio

from benchlib import LOOPS, Skip, guarded, pin, run

BODY = "Hello, World!"


async def serve(host, port):
    try:
        from aiohttp import web
    except ImportError as exc:
        raise Skip(f"aiohttp does not import: {exc}") from None

    async def hello(request):
        return web.Response(text=BODY)

    app = web.Application()
    app.router.add_get("/", hello)
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
