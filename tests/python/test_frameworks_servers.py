"""uvicorn, Hypercorn and Tornado serving on ombrel. Each runs the README's
snippet (tests/python/snippets) as its own process, the way a user starts
it; the test asks it over loopback with httpx and then stops it with a
signal, as a terminal or a process supervisor would."""

import asyncio
import contextlib
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from helpers import free_port

httpx = pytest.importorskip("httpx")

pytestmark = pytest.mark.timeout(90)

SNIPPETS = Path(__file__).parent / "snippets"
# Straight to loopback, whatever proxy the environment names.
CLIENT = {"timeout": 20, "trust_env": False}


@contextlib.contextmanager
def serving(snippet, tmp_path):
    """Starts the snippet on a free port; yields (process, base URL, log
    path) once it answers. The process is killed if the test leaves it
    running."""
    port = free_port()
    log_path = tmp_path / "server.log"
    with open(log_path, "wb") as log:
        # ResourceWarnings shown: an unclosed socket or transport is a fault.
        proc = subprocess.Popen(
            [sys.executable, "-W", "default::ResourceWarning", str(SNIPPETS / snippet)],
            env={**os.environ, "PORT": str(port)},
            stdin=subprocess.DEVNULL,
            stdout=log,
            stderr=subprocess.STDOUT,
        )
    base = f"http://127.0.0.1:{port}"
    try:
        deadline = time.monotonic() + 45
        while True:
            assert proc.poll() is None, f"server exited early:\n{log_path.read_text()}"
            try:
                httpx.get(base + "/", timeout=5, trust_env=False)
                break
            except httpx.TransportError:
                assert time.monotonic() < deadline, f"server never answered:\n{log_path.read_text()}"
                time.sleep(0.05)
        yield proc, base, log_path
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def loops_seen(base, n=8):
    """The loop module each of n concurrent requests reports, each request
    on its own connection."""

    async def ask():
        limits = httpx.Limits(max_connections=n, max_keepalive_connections=0)
        async with httpx.AsyncClient(base_url=base, limits=limits, **CLIENT) as client:
            replies = await asyncio.gather(*(client.get("/") for _ in range(n)))
        assert all(r.status_code == 200 for r in replies), replies
        return {r.text for r in replies}

    return asyncio.run(ask())


def stop_with_request_in_flight(proc, base, sig):
    """Sends sig while a streamed response has begun but not ended; returns
    what the client then read of it."""
    with httpx.Client(base_url=base, **CLIENT) as client:
        with client.stream("GET", "/slow", params={"seconds": "1.5"}) as resp:
            assert resp.status_code == 200
            lines = resp.iter_lines()
            assert next(lines) == "started"
            proc.send_signal(sig)
            return list(lines)


def assert_clean(log_path):
    log = log_path.read_text()
    for sign in ("Traceback", "ERROR", "Exception", "Warning"):
        assert sign not in log, log


@pytest.mark.parametrize(
    "sig, status",
    [
        (signal.SIGINT, 0),
        # uvicorn re-raises SIGTERM once it has shut
        # down, so the exit status names the signal
        (signal.SIGTERM, -signal.SIGTERM),
    ],
)
def test_uvicorn_starlette_graceful_shutdown(tmp_path, sig, status):
    pytest.importorskip("uvicorn")
    pytest.importorskip("starlette")
    with serving("uvicorn_app.py", tmp_path) as (proc, base, log_path):
        assert loops_seen(base) == {"ombrel._loop"}
        assert stop_with_request_in_flight(proc, base, sig) == ["finished"]
        assert proc.wait(timeout=30) == status
    assert_clean(log_path)


def test_hypercorn_starlette_graceful_shutdown(tmp_path):
    pytest.importorskip("hypercorn")
    pytest.importorskip("starlette")
    with serving("hypercorn_app.py", tmp_path) as (proc, base, log_path):
        assert loops_seen(base) == {"ombrel._loop"}
        assert stop_with_request_in_flight(proc, base, signal.SIGTERM) == ["finished"]
        assert proc.wait(timeout=30) == 0
    assert_clean(log_path)


def test_tornado_ioloop(tmp_path):
    pytest.importorskip("tornado")
    with serving("tornado_app.py", tmp_path) as (proc, base, log_path):
        assert loops_seen(base) == {"ombrel._loop"}
        with httpx.Client(base_url=base, **CLIENT) as idle:
            assert idle.get("/").text == "ombrel._loop"  # leaves a kept-alive connection
            proc.send_signal(signal.SIGINT)
            assert proc.wait(timeout=30) == 0
    assert_clean(log_path)


def test_the_docs_show_the_programs_these_tests_run():
    top = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    with open(os.path.join(top, "docs", "frameworks.md"), encoding="utf-8") as f:
        docs = f.read()
    for name in ("uvicorn_app.py", "hypercorn_app.py", "tornado_app.py"):
        with open(os.path.join(top, "tests", "python", "snippets", name), encoding="utf-8") as f:
            program = f.read()
        assert "".join("    " + line if line.strip() else line for line in program.splitlines(True)) in docs, name
