"""The private asyncio names the package borrows (through ombrel._borrowed,
and the hooks it overrides), each checked to exist: a CPython release that
renames or drops one fails here, by name, before any behaviour test does."""

import importlib

import pytest

BORROWED = [
    "base_events.BaseEventLoop._check_sendfile_params",
    "base_events.BaseEventLoop._connect_sock",
    "base_events.BaseEventLoop._create_connection_transport",
    "base_events.BaseEventLoop._create_server_getaddrinfo",
    "base_events.BaseEventLoop._ensure_resolved",
    "base_events.BaseEventLoop._sendfile_fallback",
    "base_events.BaseEventLoop._sock_sendfile_fallback",
    "base_events._check_ssl_socket",
    "base_events._format_pipe",
    "base_events._ipaddr_info",
    "base_events._set_nodelay",
    "base_events._set_reuseport",
    "base_subprocess.BaseSubprocessTransport._start",
    "constants._SendfileMode.TRY_NATIVE",
    "coroutines._is_debug_mode",
    "coroutines._iscoroutinefunction",
    "events._ThreadSafeHandle",
    "events._get_running_loop",
    "events._set_running_loop",
    "futures._get_loop",
    "futures._set_result_unless_cancelled",
    "protocols._feed_data_to_buffered_proto",
    "selector_events.BaseSelectorEventLoop._accept_connection2",
    "transports._FlowControlMixin",
    "unix_events._UnixSelectorEventLoop.create_unix_connection",
    "unix_events._UnixSelectorEventLoop.create_unix_server",
]


@pytest.mark.parametrize("name", BORROWED)
def test_borrowed_name_exists(name):
    module, *path = name.split(".")
    obj = importlib.import_module(f"asyncio.{module}")
    for part in path:
        assert hasattr(obj, part), f"asyncio.{name}: {part} is gone"
        obj = getattr(obj, part)


def test_every_borrowing_is_pinned():
    from ombrel._borrowed import SOURCES

    assert sorted(set(SOURCES.values()) - set(BORROWED)) == []
