import asyncio
import gc
import socket
import sys

import pytest

from helpers import Descriptors, Proto, RecordingLoop, spin


@pytest.fixture
def loop():
    lp = RecordingLoop()
    yield lp
    lp.close()


# The package tests run twice: on ombrel's loop and on the standard
# library's, which is the reference for what an asyncio loop does. A test
# that fails only for "asyncio" checks something the standard loop does not
# promise.
LOOP_KINDS = ["asyncio", "ombrel"]


@pytest.fixture(params=LOOP_KINDS)
def loop_factory(request):
    if request.param == "ombrel":
        import ombrel

        return ombrel.new_event_loop
    return asyncio.new_event_loop


@pytest.fixture
def aloop(loop_factory):
    lp = loop_factory()
    yield lp
    if lp.is_running():  # a failed test may leave it stopped mid-run only
        lp.stop()
    lp.close()
    gc.collect()


@pytest.fixture
def unraisables(monkeypatch):
    """What PyErr_WriteUnraisable reported, as (exception type, object)."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append((type(u.exc_value), u.object)))
    return seen


@pytest.fixture
def fds(tmp_path):
    d = Descriptors(tmp_path)
    yield d
    d.close()


@pytest.fixture
def transport(loop):
    """A native transport reading a socket pair: (transport, Proto, peer)."""
    a, b = socket.socketpair()
    a.setblocking(False)
    b.settimeout(5)
    p = Proto()
    tr = loop._make_transport(a, p, {"peername": "peer"}, None)
    p.connection_made(tr)
    tr._start_reading()
    yield tr, p, b
    tr.abort()
    spin(loop)
    a.close()
    b.close()
