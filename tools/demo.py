"""make demo: a small program on the native loop: callbacks, timers, a
cancelled timer, a callback from another thread and an idle wait that costs
no CPU."""

import threading
import time

import _ombrel


class Loop(_ombrel.Loop):
    def call_exception_handler(self, context):
        print(f"  handler: {context['message']}: {context['exception']!r}")


def main():
    print(_ombrel.__doc__)
    loop = Loop()
    start = loop.time()

    def say(what):
        print(f"  {loop.time() - start:6.3f}s  {what}")

    loop.call_soon(say, "call_soon: first")
    loop.call_soon(say, "call_soon: second, same pass")
    loop.call_later(0.20, say, "call_later(0.20)")
    loop.call_later(0.10, say, "call_later(0.10)")
    loop.call_at(start + 0.15, say, "call_at(start + 0.15)")
    loop.call_later(0.05, say, "never: cancelled").cancel()
    loop.call_soon(lambda: 1 / 0)

    def from_thread():
        time.sleep(0.3)
        loop.call_soon_threadsafe(say, "call_soon_threadsafe from a worker thread")
        loop.call_soon_threadsafe(loop.stop)

    threading.Thread(target=from_thread).start()
    cpu = time.thread_time()
    loop.run_forever()
    print(f"  loop thread CPU while mostly idle: {(time.thread_time() - cpu) * 1000:.1f} ms")
    loop.close()


if __name__ == "__main__":
    main()
