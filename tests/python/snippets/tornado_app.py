# A Tornado application on an ombrel loop. Tornado's IOLoop wraps whatever
# asyncio loop is running, so start Tornado from a coroutine in ombrel.run.
# SIGINT or SIGTERM stops it: no new connections, open ones are closed.
import asyncio
import os
import signal

import ombrel
import tornado.ioloop
import tornado.web


class LoopHandler(tornado.web.RequestHandler):
    def get(self):
        # The asyncio loop under Tornado's IOLoop: "ombrel._loop".
        self.write(type(tornado.ioloop.IOLoop.current().asyncio_loop).__module__)


async def main():
    app = tornado.web.Application([(r"/", LoopHandler)])
    server = app.listen(int(os.environ.get("PORT", "8000")), address="127.0.0.1")
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    await stop.wait()
    server.stop()
    await server.close_all_connections()


if __name__ == "__main__":
    ombrel.run(main())
