# The same server under asyncio.Runner, for programs that run more than the app:
# the loop's own signal handlers turn SIGINT and SIGTERM into a clean stop.
import asyncio
import os
import signal

import ombrel
from aiohttp import web


async def hello(request):
    return web.Response(text="hello")


async def on_shutdown(app):
    print("shutdown", flush=True)


async def on_cleanup(app):
    print("cleanup", flush=True)


async def serve(app, host, port):
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    runner = web.AppRunner(app)
    await runner.setup()
    try:
        await web.TCPSite(runner, host, port).start()
        await stop.wait()
    finally:
        await runner.cleanup()  # runs on_shutdown, then on_cleanup


if __name__ == "__main__":
    app = web.Application()
    app.router.add_get("/", hello)
    app.on_shutdown.append(on_shutdown)
    app.on_cleanup.append(on_cleanup)
    with asyncio.Runner(loop_factory=ombrel.new_event_loop) as runner:
        runner.run(serve(app, "127.0.0.1", int(os.environ.get("PORT", "8080"))))
