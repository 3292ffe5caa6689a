# An aiohttp server on an ombrel loop; SIGINT or SIGTERM stops it cleanly
# (run_app handles both: on_shutdown and on_cleanup run, exit status 0).
import os

import ombrel
from aiohttp import web


async def hello(request):
    return web.Response(text="hello")


async def on_shutdown(app):
    print("shutdown", flush=True)


async def on_cleanup(app):
    print("cleanup", flush=True)


def make_app():
    app = web.Application()
    app.router.add_get("/", hello)
    app.on_shutdown.append(on_shutdown)
    app.on_cleanup.append(on_cleanup)
    return app


if __name__ == "__main__":
    web.run_app(make_app(), host="127.0.0.1", port=int(os.environ.get("PORT", "8080")),
                loop=ombrel.new_event_loop())
