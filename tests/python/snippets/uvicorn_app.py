# A Starlette app served by uvicorn on an ombrel loop. uvicorn's `loop`
# setting takes an import string naming a loop factory (the same on the
# command line: uvicorn app:app --loop ombrel:new_event_loop).
# Ctrl+C (SIGINT) or SIGTERM shuts down gracefully: no new connections,
# requests in flight run to the end, then the process exits.
import asyncio
import os

import uvicorn
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
    uvicorn.run(app, host="127.0.0.1", port=int(os.environ.get("PORT", "8000")),
                loop="ombrel:new_event_loop")
