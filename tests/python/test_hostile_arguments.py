"""Hostile arguments to the native loop's methods: a closed or
never-initialised loop, missing arguments, wrong types, negative and huge
integers, and any argument list at all. Each must end in a clear Python
exception or a future that ends, never a crash or a hang."""

import asyncio
import os
import socket

import _ombrel
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from helpers import ARG_ERRORS, Descriptors, RecordingLoop, run_once, settle

OPERATIONS = [
    "_sock_recv",
    "_sock_sendall",
    "_sock_connect",
    "_sock_accept",
    "_sock_sendfile",
    "_wait_pid",
    "_file_open",
    "_file_close",
    "_file_pread",
    "_file_read",
    "_file_pwrite",
    "_file_write",
    "_file_fsync",
    "_file_truncate",
    "_file_size",
    "_fs_stat",
    "_fs_mkdir",
    "_fs_unlink",
    "_fs_rmdir",
    "_fs_rename",
    "_fs_symlink",
    "_fs_link",
    "_fs_readlink",
    "_fs_access",
    "_fs_chmod",
    "_fs_chown",
    "_fs_utime",
    "_fs_opendir",
    "_fs_readdir",
    "_fs_closedir",
]


class NoInit(_ombrel.Loop):
    def __init__(self):  # never calls the native initialiser
        pass


@pytest.mark.parametrize("make", [lambda: NoInit(), "closed"], ids=["uninitialised", "closed"])
def test_every_method_of_a_closed_loop_raises_or_answers_its_documented_value(make):
    if make == "closed":
        lp = RecordingLoop()
        lp.close()
    else:
        lp = make()
    calls = {name: (0, 1, 2, 3) for name in OPERATIONS}
    calls.update(
        {
            "call_soon": (print,),
            "call_soon_threadsafe": (print,),
            "call_later": (1, print),
            "call_at": (1, print),
            "_add_poller": (0, 0, print),
            "_make_transport": (socket.socket(), None, {}, None),
            "run_forever": (),
            "stop": (),
            "time": (),
        }
    )
    for name, args in calls.items():
        with pytest.raises(RuntimeError, match="Event loop is closed"):
            getattr(lp, name)(*args)
    calls["_make_transport"][0].close()
    assert lp._remove_poller(0, 0) is False
    assert lp.is_closed() and not lp.is_running() and lp.get_debug() is False
    assert lp._timer_handle_cancelled(None) is None
    assert lp.close() is None and lp.close() is None


def test_initialising_a_live_loop_again_is_refused(loop):
    with pytest.raises(RuntimeError):
        loop.__init__()
    run_once(loop)  # still the same working loop


BAD_ARGS = [
    # descriptors that are not integers
    ("_sock_recv", ("3", 10), TypeError),
    ("_sock_recv", (3.0, 10), TypeError),
    ("_sock_recv", (None, 10), TypeError),
    ("_file_size", (b"3",), TypeError),
    ("_file_close", (2**64,), OverflowError),
    ("_wait_pid", (-(2**64),), OverflowError),
    # sizes and offsets
    ("_sock_recv", (0, "10"), TypeError),
    ("_sock_recv", (0, 2**63), OverflowError),
    ("_file_pread", (0, 1, -1), OverflowError),
    ("_file_pread", (0, 1, 2**64), OverflowError),
    ("_file_pwrite", (0, b"x", -5), OverflowError),
    ("_file_truncate", (0, -1), OverflowError),
    ("_sock_sendfile", (0, 0, -1, 10), OverflowError),
    ("_sock_sendfile", (0, 0, 0, 2**63), OverflowError),
    ("_sock_sendfile", (0, 0, 0, "all"), TypeError),
    ("_sock_sendfile", (0, 0, 0, 1, []), ValueError),
    # data without a contiguous byte buffer
    ("_sock_sendall", (0, "text"), TypeError),
    ("_sock_sendall", (0, 12), TypeError),
    ("_sock_sendall", (0, memoryview(bytes(16))[::2]), BufferError),
    ("_file_write", (0, [1, 2]), TypeError),
    ("_file_pwrite", (0, None, 0), TypeError),
    # addresses and ports
    ("_sock_connect", (0, b"127.0.0.1", 80), TypeError),
    ("_sock_connect", (0, "127.0.0.1", -1), ValueError),
    ("_sock_connect", (0, "127.0.0.1", 65536), ValueError),
    ("_sock_connect", (0, "127.0.0.1", 2**80), OverflowError),
    ("_sock_connect", (0, "localhost", 80), ValueError),
    ("_sock_connect", (0, "", 80), ValueError),
    ("_sock_connect", (0, "::1%lo", 80), ValueError),
    ("_sock_connect", (0, "::ffff:1.2.3.4", 80), ValueError),
    ("_sock_connect", (0, "\udcff", 80), UnicodeError),
    ("_sock_connect", (0, "1.2.3", 80), ValueError),
    ("_sock_connect", (0, "1.2.3.4.5", 80), ValueError),
    # paths and flags
    ("_file_open", (b"/tmp", 0, 0), TypeError),
    ("_file_open", ("\ud800", 0, 0), UnicodeError),
    ("_file_open", ("x", "r", 0), TypeError),
    ("_file_open", ("x", 0, 2**70), OverflowError),
    ("_file_fsync", (0, type("Liar", (), {"__bool__": lambda self: 1 / 0})()), ZeroDivisionError),
    ("_fs_symlink", ("x", b"y"), TypeError),
    ("_fs_readlink", (b"a\0b",), ValueError),
    ("_fs_link", (b"a", b"b", type("Liar", (), {"__bool__": lambda self: 1 / 0})()), ZeroDivisionError),
    ("_fs_access", (b"x", 8, True), ValueError),
    ("_fs_chmod", (b"x", -1, True), ValueError),
    ("_fs_chown", (b"x", -2, 0, True), OverflowError),
    ("_fs_chown", (b"x", 0, 2**32 - 1, True), OverflowError),
    ("_fs_utime", (b"x", 1.5, None, True), TypeError),
    ("_fs_utime", (b"x", None, 2**64, True), OverflowError),
    ("_fs_readdir", ("3",), TypeError),
    # pollers
    ("_add_poller", (0, "read", print), TypeError),
    ("_add_poller", (0, 2**70, print), OverflowError),
    ("_remove_poller", (None, 0), TypeError),
    # too few arguments: an argument error, whichever
    *[(name, (), ARG_ERRORS) for name in OPERATIONS],
    ("_sock_connect", (0, "127.0.0.1"), ARG_ERRORS),
]


@pytest.mark.parametrize("name, args, exc", BAD_ARGS, ids=[f"{n}{a!r}"[:60] for n, a, _ in BAD_ARGS])
def test_bad_arguments_raise_before_anything_starts(loop, name, args, exc):
    with pytest.raises(exc):
        getattr(loop, name)(*args)
    run_once(loop)  # nothing was left half-started
    assert loop.handler_calls == []


def test_callback_arguments_are_checked_when_it_matters(loop):
    async def coro_fn():
        pass

    coro = coro_fn()
    for name in ("call_soon", "call_soon_threadsafe"):
        with pytest.raises(TypeError, match="requires a callback"):
            getattr(loop, name)()
        with pytest.raises(TypeError, match=r"^coroutines cannot be used with call_soon"):  # asyncio's words
            getattr(loop, name)(coro)
    for name in ("call_later", "call_at"):
        with pytest.raises(TypeError, match="requires"):
            getattr(loop, name)(1)
        with pytest.raises(TypeError):
            getattr(loop, name)("soon", print)
        with pytest.raises(OverflowError):
            getattr(loop, name)(10**400, print)
        with pytest.raises(ValueError):
            getattr(loop, name)(float("nan"), print)
        with pytest.raises(TypeError, match=rf"^coroutines cannot be used with {name}\(\)$"):
            getattr(loop, name)(0, coro)
    coro.close()
    loop.call_soon(coro_fn).cancel()  # a coroutine function is a plain callable
    # Not callable: accepted, and the failure is reported when it runs.
    loop.call_soon(42)
    run_once(loop)
    assert [type(c["exception"]) for c in loop.handler_calls] == [TypeError]
    # A context that cannot be entered ends run_forever with the error; the
    # handles behind it stay queued for the next run.
    ran = []
    loop.call_soon(ran.append, 1, context="not a context")
    loop.call_soon(ran.append, 2)
    with pytest.raises(TypeError):
        loop.run_forever()
    assert not loop.is_running()
    run_once(loop)
    assert ran == [2]


def test_extreme_timer_values_keep_the_loop_usable(loop):
    ran = []
    far = [loop.call_later(d, ran.append, d) for d in (float("inf"), 1e300, 2**63, 1e18)]
    past = [loop.call_at(t, ran.append, t) for t in (float("-inf"), -1e300, 0, -5)]
    soon = [loop.call_later(d, ran.append, d) for d in (-1e300, float("-inf"), -0.0)]
    assert far[0].when() == float("inf") and past[0].when() == float("-inf")
    run_once(loop)
    loop.call_later(0.01, loop.stop)
    loop.run_forever()
    assert sorted(map(str, ran)) == sorted(map(str, [float("-inf"), -1e300, 0, -5, -1e300, float("-inf"), -0.0]))
    for h in far:
        h.cancel()
        h.cancel()
    run_once(loop)


INTS = st.sampled_from(
    [
        0,
        -1,
        1,
        -(2**31),
        2**31 - 1,
        2**31,
        2**32 - 1,
        2**63 - 1,
        -(2**63),
        2**63,
        2**64,
        10**30,
        -(10**30),
        65535,
        65536,
        4096,
        1 << 20,
    ]
)
ODD = st.sampled_from(
    [
        None,
        "",
        "x",
        "127.0.0.1",
        "::1",
        "/",
        b"",
        b"data",
        bytearray(b"buf"),
        memoryview(b"mv"),
        1.5,
        float("nan"),
        [],
        (),
        {},
        object(),
        print,
        True,
    ]
)
KINDS = st.sampled_from(["pipe_r", "pipe_w", "file", "dir", "listener", "udp", "unbound", "sock", "closed"])


def resolve(fds, value):
    if isinstance(value, tuple) and len(value) == 2 and value[0] == "fd":
        return fds.closed if value[1] == "closed" else fds.fresh(value[1])
    return value


# Under AddressSanitizer (tools/run-tests-asan) an allocation too large to
# make aborts the process instead of returning null (MemoryError here), unless
# the run allows it: such sizes are left out of those runs.
HUGE_ALLOCATIONS_ABORT = (
    "ASAN_OPTIONS" in os.environ and "allocator_may_return_null=1" not in os.environ["ASAN_OPTIONS"]
)


def as_size(value):
    if HUGE_ALLOCATIONS_ABORT and isinstance(value, int) and value >= 1 << 32:
        return -1
    return value


def as_descriptor(value):
    """Integers that a 32-bit truncation would turn into a live descriptor of
    this process are kept out: that fault has its own test in test_hostile_descriptors."""
    if isinstance(value, int) and not -(2**31) <= value < 2**31:
        return -1
    return value


@settings(
    max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow]
)
@given(
    calls=st.lists(
        st.tuples(
            st.sampled_from(OPERATIONS), st.lists(st.one_of(INTS, ODD, st.tuples(st.just("fd"), KINDS)), max_size=5)
        ),
        min_size=1,
        max_size=6,
    ),
    cancel_early=st.booleans(),
)
def test_any_arguments_give_an_exception_or_a_future_that_ends(tmp_path_factory, calls, cancel_early):
    fds = Descriptors(tmp_path_factory.mktemp("hostile"))
    lp = RecordingLoop()
    try:
        futures, opened = [], []
        for name, raw in calls:
            args = [resolve(fds, v) for v in raw]
            if args:
                args[0] = as_descriptor(args[0])
                if name == "_sock_sendfile" and len(args) > 1:
                    args[1] = as_descriptor(args[1])
                if name in ("_sock_recv", "_file_read", "_file_pread") and len(args) > 1:
                    args[1] = as_size(args[1])
            if name.startswith("_fs_"):  # paths only under the test's folder
                base = os.fsencode(tmp_path_factory.getbasetemp())
                args = [os.path.join(base, a.lstrip(b"/")) if isinstance(a, bytes) else a for a in args]
            if (
                name
                in ("_file_close", "_file_write", "_file_pwrite", "_file_truncate", "_sock_sendall", "_fs_closedir")
                and args
                and isinstance(args[0], int)
                and 0 <= args[0] <= 2
            ):
                args[0] = -1  # never our own standard streams
            if name == "_wait_pid" and args and isinstance(args[0], int) and args[0] > 0:
                args[0] = -args[0]  # never reap or wait for a real process
            if name == "_file_open" and args and isinstance(args[0], str):
                args[0] = os.path.join(str(tmp_path_factory.getbasetemp()), args[0].lstrip("/"))
            try:
                fut = getattr(lp, name)(*args)
            except ARG_ERRORS:
                continue
            assert isinstance(fut, asyncio.Future) and fut.get_loop() is lp
            futures.append(fut)
            if name in ("_sock_accept", "_file_open", "_fs_opendir"):
                opened.append(fut)
            if cancel_early:
                fut.cancel()
        settle(lp, futures)
        for fut in futures:
            assert fut.done()
            if not fut.cancelled() and fut.exception() is None:
                # Only these results are descriptors: a byte count or a size
                # (3, 16) closed as one would take the test runner's own.
                if fut in opened:
                    fds.adopt(fut.result())
            elif not fut.cancelled():
                assert isinstance(fut.exception(), OSError)
        assert lp.handler_calls == []
    finally:
        lp.close()
        fds.close()
