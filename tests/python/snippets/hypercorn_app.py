# A Starlette app served by Hypercorn on an ombrel loop. Hypercorn picks
# its own loop only from a fixed list, so run its serve() coroutine in
# ombrel.run. Without a shutdown_trigger, serve() handles SIGINT and
# SIGTERM itself: it stops accepting, gives requests in flight up to
# config.graceful_timeout seconds to finish, and returns.
import asyncio
import os

import ombrel
from hypercorn.asyncio import serve
from hypercorn.config import Config
from starlette.applications import Starlette
from starlette.responses import PlainTextResponse, StreamingResponse
from starlette.routing import Route


async def home(request):
    # The loop serving this request: "ombrel._loop".
    return PlainTextResponse(type(asyncio.get_running_loop()).__module__)


async def slow(request):
    seconds = float(request.query_params.get("seconds", "1"))

    async def body():
        yield b"started\n"
        await asyncio.sleep(seconds)
        yield b"finished\n"

    return StreamingResponse(body(), media_type="text/plain")


app = Starlette(routes=[Route("/", home), Route("/slow", slow)])

if __name__ == "__main__":
    config = Config()
    config.bind = [f"127.0.0.1:{os.environ.get('PORT', '8000')}"]
    ombrel.run(serve(app, config))
