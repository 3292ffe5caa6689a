import _ombrel
import pytest


class RecordingLoop(_ombrel.Loop):
    """The native loop plus the one method the package layer must supply:
    call_exception_handler, here recording its contexts."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.handler_calls = []

    def call_exception_handler(self, context):
        self.handler_calls.append(context)


@pytest.fixture
def loop():
    lp = RecordingLoop()
    yield lp
    lp.close()


def run_once(loop, *callbacks):
    """Schedules the callbacks, then stop, and runs the loop until it stops."""
    for cb in callbacks:
        loop.call_soon(cb)
    loop.call_soon(loop.stop)
    loop.run_forever()


def wait_for(loop, fut, timeout=10.0):
    """Runs the loop until fut is done (a hang bound, not a timing check)."""
    if not fut.done():
        fut.add_done_callback(lambda f: loop.stop())
        guard = loop.call_later(timeout, loop.stop)
        loop.run_forever()
        guard.cancel()
    assert fut.done(), "operation did not finish in time"
    return fut
