"""Re-entrant calls: callbacks, protocol methods and exception handlers
that close, stop or run the loop they are called from, loops closed from
inside their own teardown or from another thread."""

import gc
import socket
import sys
import threading
import types

import _ombrel
import pytest

from helpers import Proto, RecordingLoop, run_once, run_until, spin


def test_loop_methods_from_inside_callbacks(loop):
    seen = []

    def inside():
        for call in (loop.close, loop.run_forever):
            try:
                call()
            except RuntimeError as e:
                seen.append(str(e))
        seen.append(loop.is_running())
        loop.stop()
        loop.stop()

    loop.call_soon(inside)
    loop.run_forever()
    assert seen == ["Cannot close a running event loop", "This event loop is already running", True]
    assert not loop.is_running() and not loop.is_closed()
    run_once(loop)


def test_another_loop_runs_inside_a_callback(loop):
    inner = RecordingLoop()
    order = []

    def outer_cb():
        inner.call_soon(order.append, "inner")
        inner.call_soon(inner.stop)
        inner.run_forever()
        order.append("outer")

    try:
        run_once(loop, outer_cb)
    finally:
        inner.close()
    assert order == ["inner", "outer"]


def test_handle_cancelling_and_running_itself(loop):
    runs = []

    def cb():
        runs.append("h")
        h.cancel()
        h._run()  # cancelled: does nothing
        h.cancel()

    def cancel_timer_then_run_it():
        t.cancel()
        t._run()
        runs.append("other")

    h = loop.call_soon(cb)
    t = loop.call_later(0, runs.append, "timer")
    loop.call_soon(cancel_timer_then_run_it)
    run_once(loop)
    spin(loop)
    assert runs == ["h", "other"] and h.cancelled() and t.cancelled()


def test_exception_handlers_that_raise_or_close(unraisables):
    class Angry(_ombrel.Loop):
        def call_exception_handler(self, context):
            try:
                self.close()
            except RuntimeError:
                pass
            raise ValueError("handler failed")

    lp = Angry()
    try:
        lp.call_soon(lambda: 1 / 0)
        lp.call_soon(lp.stop)
        lp.run_forever()
        # A loop without call_exception_handler at all.
        plain = _ombrel.Loop()
        plain.call_soon(lambda: 1 / 0)
        plain.call_soon(plain.stop)
        plain.run_forever()
        plain.close()
    finally:
        lp.close()
    assert [t for t, _ in unraisables] == [ValueError, AttributeError]


@pytest.mark.parametrize("stage", ["data_received", "connection_lost", "eof_received"])
def test_protocol_callbacks_that_close_stop_or_rerun_the_loop(loop, stage):
    a, b = socket.socketpair()
    a.setblocking(False)
    results = []

    class P(Proto):
        def poke(self):
            for call in (loop.close, loop.run_forever):
                try:
                    call()
                except RuntimeError as e:
                    results.append(type(e))
            loop.stop()

        def data_received(self, data):
            if stage == "data_received":
                self.poke()

        def eof_received(self):
            if stage == "eof_received":
                self.poke()

        def connection_lost(self, exc):
            super().connection_lost(exc)
            if stage == "connection_lost":
                self.poke()

    p = P()
    tr = loop._make_transport(a, p, {}, None)
    tr._start_reading()
    b.sendall(b"x")
    b.shutdown(socket.SHUT_WR)
    run_until(loop, lambda: p.lost)
    assert results == [RuntimeError, RuntimeError] and p.lost == [None]
    a.close()
    b.close()


def test_callbacks_run_by_loop_close_get_a_closing_loop():
    lp = RecordingLoop()
    pairs = [socket.socketpair() for _ in range(3)]
    seen = []

    class P(Proto):
        def connection_lost(self, exc):
            super().connection_lost(exc)
            for call in (
                lp.close,
                lp.stop,
                lp.run_forever,
                lambda: lp.call_soon(print),
                lambda: lp._sock_recv(0, 1),
                lambda: lp._make_transport(pairs[2][1], P(), {}, None),
            ):
                try:
                    r = call()
                    seen.append(("ok", r))
                except RuntimeError as e:
                    seen.append(str(e))
            # Other transports, closed or not yet, from inside the teardown.
            for other in transports:
                other.close()
                other.abort()
                other.write(b"late")

    protos = [P() for _ in pairs]
    transports = []
    for (a, b), p in zip(pairs, protos):
        a.setblocking(False)
        tr = lp._make_transport(a, p, {}, None)
        tr._start_reading()
        tr.write(b"queued")
        transports.append(tr)
    lp.close()
    assert [len(p.lost) for p in protos] == [1, 1, 1]
    # While close drains its transports, the loop still takes callbacks
    # (dropped unrun) and stop; a nested close is a no-op; running it, and
    # anything that would outlive it (operations, transports), is refused.
    assert seen.count(("ok", None)) == 6
    assert sum(1 for s in seen if isinstance(s, tuple) and type(s[1]).__name__ == "Handle") == 3
    assert seen.count("Event loop is closed") == 9
    assert lp.is_closed()
    for a, b in pairs:
        a.close()
        b.close()


def test_loop_closed_from_another_thread_with_operations_in_flight():
    lp = RecordingLoop()
    a, b = socket.socketpair()
    recv = lp._sock_recv(a.fileno(), 10)
    timer = lp.call_later(3600, print)
    t = threading.Thread(target=lp.close)
    t.start()
    t.join(10)
    assert lp.is_closed()
    # The future is cut loose: cancel() acts on the future alone.
    assert recv.cancel() and recv.cancelled()
    timer.cancel()
    b.sendall(b"late")  # nothing may receive it any more
    with pytest.raises(RuntimeError):
        lp.call_soon_threadsafe(print)
    assert a.recv(10) == b"late"
    a.close()
    b.close()


def test_call_soon_threadsafe_on_a_loop_closed_meanwhile():
    lp = RecordingLoop()
    errors = []
    started = threading.Event()

    def hammer():
        started.set()
        for _ in range(10000):
            try:
                lp.call_soon_threadsafe(int)
            except RuntimeError:
                errors.append(1)
                return

    t = threading.Thread(target=hammer)
    t.start()
    started.wait(5)
    lp.call_soon(lp.stop)
    lp.run_forever()
    lp.close()
    t.join(10)
    assert not t.is_alive()


# ---- every native method against arguments that act on the loop ----------
#
# A conversion (__index__, __float__, __len__, __bool__, a buffer export,
# iteration, hashing, fileno()) runs Python code in the middle of a native
# method, and so does dropping a reference (__del__). That code may close the
# loop, stop it, raise, or run it. Each native method of the loop, the
# handles, the futures and the transport (also through TransportMethod) is
# called with such an object in each argument position. Whatever it does,
# the call ends in an exception or a result, and the loop still runs and
# closes.

BOGUS = 1_000_000  # as a descriptor, pid, size or port: names nothing here


def _reenter(lp):
    lp.call_soon(lp.stop)
    lp.run_forever()


ACTIONS = {
    "close": lambda lp: lp.close(),
    "stop": lambda lp: lp.stop(),
    "raise": lambda lp: 1 / 0,
    "reenter": _reenter,
    None: lambda lp: None,
}


class Hostile:
    """Acts on the first hook the native code calls, and again when it is
    dropped; every hook answers a value that converts."""

    def __init__(self, lp, action):
        self.lp, self.action, self.armed = lp, action, True

    def act(self):
        if self.armed:
            self.armed = False
            ACTIONS[self.action](self.lp)

    def __index__(self):
        self.act()
        return BOGUS

    def __float__(self):
        self.act()
        return float(BOGUS)

    def __len__(self):
        self.act()
        return 1

    def __bool__(self):
        self.act()
        return True

    def __buffer__(self, flags):
        self.act()
        return memoryview(b"x")

    def __iter__(self):
        self.act()
        return iter([b"x"])

    def __hash__(self):
        self.act()
        return BOGUS  # the key of every sweep transport's extra: __eq__ runs too

    def __eq__(self, other):
        self.act()
        return False

    def __call__(self, *args):
        self.act()

    def fileno(self):
        self.act()
        return BOGUS

    def __del__(self):
        self.armed = True
        self.act()


class SweepLoop(RecordingLoop):
    """With the hooks _set_debug(True) makes the native loop call, and a
    get_debug that acts too: asyncio's Future asks it while the native
    method makes its future."""

    debug_hook = None

    def get_debug(self):
        if self.debug_hook is not None:
            self.debug_hook.act()
        return False

    def _debug_check(self, method, callback):
        return None

    def _debug_ran(self, handle, seconds):
        pass


class Wrapper:
    """What the package wraps a native transport in; its _native acts."""

    def __init__(self, tr, hostile):
        self.tr, self.hostile = tr, hostile

    @property
    def _native(self):
        self.hostile.act()
        return self.tr


def _loop(lp, action, pair):
    lp.debug_hook = Hostile(lp, action)
    return lp


def _future(lp, action, pair):
    fut = lp._sock_recv(pair[0].fileno(), 10)
    fut.add_done_callback(Hostile(lp, action))
    return fut


def _transport(lp, action, pair):
    pair[0].setblocking(False)
    tr = lp._make_transport(pair[0], Proto(), {BOGUS: "bogus"}, None)
    tr._start_reading()
    tr.write(b"queued")
    return tr


def _wrapped(lp, action, pair):
    tr = _transport(lp, action, pair)
    native = {n: _ombrel.Loop._transport_method(n) for n in vars(type(tr)) if not n.startswith("__")}
    wrapper = Wrapper(tr, Hostile(lp, action))
    return type("Wrapped", (), {n: (lambda m: lambda self, *a: m(wrapper, *a))(m) for n, m in native.items()})()


TARGETS = {
    "Loop": _loop,
    "Handle": lambda lp, action, pair: lp.call_soon(Hostile(lp, action), Hostile(lp, action)),
    "TimerHandle": lambda lp, action, pair: lp.call_later(0, Hostile(lp, action), Hostile(lp, action)),
    "SockFuture": _future,
    "Transport": _transport,
    "TransportMethod": _wrapped,
}

SKIP = {
    ("Loop", "run_forever", 0): "runs until stopped: every call ends with a run of its own",
}

# No arguments, then 1 to 4 arguments with the hostile one in each position.
SHAPES = [(0, None)] + [(n, p) for n in range(1, 5) for p in range(n)]


def _methods(target):
    """The native methods: those of the types' method tables (and asyncio's
    Future's, for the futures), not the Python ones of the test's loop."""
    cls = type(target)
    native = (types.MethodDescriptorType, types.BuiltinMethodType)
    return sorted(
        n
        for n in dir(cls)
        if not n.startswith("__") and (cls.__name__ == "Wrapped" or isinstance(getattr(cls, n), native))
    )


@pytest.mark.timeout(120)
@pytest.mark.parametrize("action", ["close", "stop", "raise", "reenter"])
@pytest.mark.parametrize("kind", list(TARGETS))
def test_every_native_method_survives_arguments_that_act_on_the_loop(kind, action, monkeypatch):
    # Finalizers and completion callbacks report here; nothing is kept alive.
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
    make = TARGETS[kind]
    probe = SweepLoop()
    pair = socket.socketpair()
    try:
        names = _methods(make(probe, None, pair))
    finally:
        probe.close()
        for s in pair:
            s.close()
    assert len(names) >= 5
    for name in names:
        for n, p in SHAPES:
            if (kind, name, n) in SKIP:
                continue
            lp = SweepLoop()
            pair = socket.socketpair()
            try:
                target = make(lp, action, pair)
                args = [Hostile(lp, action if i == p else None) for i in range(n)]
                try:
                    getattr(target, name)(*args)
                except Exception:
                    pass
                del target, args
                if not lp.is_closed():
                    try:
                        run_once(lp)
                    except RuntimeError:  # stopped or closed from inside
                        pass
            finally:
                lp.close()
                assert lp.is_closed()
                for s in pair:
                    s.close()
    del lp, pair
    gc.collect()  # what outlived its loop acts now, on a closed loop


def test_stopping_an_accept_whose_future_callbacks_try_to_close_the_loop(monkeypatch):
    """_sock_accept_stop reaps the accept at once, and cancelling its future
    schedules callbacks through call_soon, which a subclass may define."""

    class Closing(RecordingLoop):
        def call_soon(self, *args, **kwargs):
            self.close()

    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
    lp = Closing()
    with socket.socket() as srv:
        srv.bind(("127.0.0.1", 0))
        srv.listen()
        fut = lp._sock_accept(srv.fileno())
        fut.add_done_callback(print)
        try:
            assert lp._sock_accept_stop(srv.fileno(), fut) == []
            assert fut.cancelled() and not lp.is_running() and not lp.is_closed()
        finally:
            lp.close()
