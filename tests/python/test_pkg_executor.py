"""The default executor, its shutdown, and name resolution."""

import concurrent.futures
import socket
import threading

import pytest

from helpers import is_ombrel

pytestmark = pytest.mark.timeout(30)


def test_run_in_executor_default_and_custom(aloop):
    async def main():
        loop_thread = threading.get_ident()
        first = await aloop.run_in_executor(None, threading.get_ident)
        default = aloop._default_executor
        second = await aloop.run_in_executor(None, threading.get_ident)
        with concurrent.futures.ThreadPoolExecutor(1) as own:
            custom = await aloop.run_in_executor(own, lambda x: x * 2, 21)
        with pytest.raises(ZeroDivisionError):
            await aloop.run_in_executor(None, lambda: 1 / 0)
        return loop_thread, first, second, default, custom

    loop_thread, first, second, default, custom = aloop.run_until_complete(main())
    assert loop_thread not in (first, second)
    assert default is aloop._default_executor  # made once, then reused
    assert custom == 42
    with pytest.raises(TypeError, match="ThreadPoolExecutor"):
        aloop.set_default_executor(object())


def test_shutdown_default_executor_waits_then_refuses_work(aloop):
    finished = threading.Event()

    def slow():
        finished.wait(0.1)
        finished.set()

    aloop.run_until_complete(aloop.run_in_executor(None, lambda: None))
    aloop.run_in_executor(None, slow)
    aloop.run_until_complete(aloop.shutdown_default_executor())
    assert finished.is_set()
    with pytest.raises(RuntimeError, match="Executor shutdown has been called"):
        aloop.run_in_executor(None, print)
    # An explicit executor is still fine.
    with concurrent.futures.ThreadPoolExecutor(1) as own:
        assert aloop.run_until_complete(aloop.run_in_executor(own, len, "ab")) == 2


def test_shutdown_default_executor_timeout_warns(aloop):
    release = threading.Event()
    aloop.run_in_executor(None, release.wait, 5)
    try:
        with pytest.warns(RuntimeWarning, match="did not finishing joining"):
            aloop.run_until_complete(aloop.shutdown_default_executor(0.05))
    finally:
        release.set()


def test_close_shuts_the_executor_down_without_waiting(aloop):
    release = threading.Event()
    aloop.run_in_executor(None, release.wait, 5)
    executor = aloop._default_executor
    try:
        aloop.close()  # returns although a worker is still blocked
        assert executor._shutdown
        assert not release.is_set()
    finally:
        release.set()


@pytest.mark.parametrize(
    "host, port, family",
    [
        ("127.0.0.1", 80, socket.AF_UNSPEC),
        ("::1", "443", socket.AF_INET6),
        (b"10.1.2.3", None, socket.AF_INET),
        (None, 0, socket.AF_UNSPEC),
    ],
)
def test_getaddrinfo_numeric_answers_without_the_executor(aloop, host, port, family):
    expected = socket.getaddrinfo(host, port, family, socket.SOCK_STREAM)
    result = aloop.run_until_complete(aloop.getaddrinfo(host, port, family=family, type=socket.SOCK_STREAM))
    assert result == expected
    if is_ombrel(aloop):
        assert aloop._default_executor is None


def test_getaddrinfo_resolves_names_and_reports_errors(aloop):
    async def main():
        found = await aloop.getaddrinfo("localhost", "80", type=socket.SOCK_STREAM)
        with pytest.raises(socket.gaierror):
            await aloop.getaddrinfo("127.0.0.1", 80, family=socket.AF_INET6, flags=socket.AI_NUMERICHOST)
        name = await aloop.getnameinfo(("127.0.0.1", 80))
        numeric = await aloop.getnameinfo(("127.0.0.1", 80), socket.NI_NUMERICHOST | socket.NI_NUMERICSERV)
        return found, name, numeric

    found, name, numeric = aloop.run_until_complete(main())
    assert {info[4][0] for info in found} <= {"127.0.0.1", "::1"}
    assert found
    assert name == socket.getnameinfo(("127.0.0.1", 80), 0)
    assert numeric == ("127.0.0.1", "80")
