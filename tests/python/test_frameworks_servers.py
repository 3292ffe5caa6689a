"""uvicorn, gunicorn, Hypercorn and Tornado serving on ombrel. Each runs
the README's snippet (tests/python/snippets) or command line as its own
process, the way a user starts it; the test asks it over loopback and then
stops it with a signal, as a terminal or a process supervisor would."""

import asyncio
import collections
import concurrent.futures
import contextlib
import os
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from helpers import free_port

httpx = pytest.importorskip("httpx")

pytestmark = pytest.mark.timeout(90)

SNIPPETS = Path(__file__).parent / "snippets"
# The servers run in the snippets' folder: the package paths they inherit
# must not be relative.
PYTHONPATH = os.pathsep.join(os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p)
# Straight to loopback, whatever proxy the environment names.
CLIENT = {"timeout": 20, "trust_env": False}


@contextlib.contextmanager
def serving(snippet, tmp_path, args=()):
    """Starts the snippet on a free port (a module run with `args`, which
    may name the port as {port}); yields (process, base URL, log path) once
    it answers. The process and its workers are killed if the test leaves
    them running."""
    port = free_port()
    log_path = tmp_path / "server.log"
    command = [sys.executable, "-W", "default::ResourceWarning"]
    command += [a.format(port=port) for a in args] if args else [str(SNIPPETS / snippet)]
    with open(log_path, "wb") as log:
        # ResourceWarnings shown: an unclosed socket or transport is a fault.
        proc = subprocess.Popen(
            command,
            env={**os.environ, "PORT": str(port), "PYTHONPATH": PYTHONPATH},
            cwd=SNIPPETS,
            stdin=subprocess.DEVNULL,
            stdout=log,
            stderr=subprocess.STDOUT,
            start_new_session=True,
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
        with contextlib.suppress(ProcessLookupError):
            os.killpg(proc.pid, signal.SIGKILL)
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


def ask(base):
    """One request on a connection of its own: the reply's status line, or
    what went wrong ("ConnectionRefusedError", "disconnected", ...)."""
    host, port = base.removeprefix("http://").split(":")
    try:
        with socket.create_connection((host, int(port)), timeout=20) as s:
            s.sendall(b"GET / HTTP/1.1\r\nHost: test\r\nConnection: close\r\n\r\n")
            reply = b""
            while chunk := s.recv(65536):
                reply += chunk
    except OSError as exc:
        return type(exc).__name__
    return reply.split(b"\r\n", 1)[0].decode() or "disconnected"


def assert_served(outcomes):
    """None refused, and at most one in fifty lost. A stopping uvicorn worker
    closes connections whose request it has not read yet, so one accepted
    just before may be dropped: on a loaded machine the standard loop and
    uvloop lose up to three in 200 here too. Refusals, or losses beyond
    that, are faults of the loop."""
    lost = outcomes.total() - outcomes["HTTP/1.1 200 OK"]
    assert set(outcomes) <= {"HTTP/1.1 200 OK", "disconnected", "ConnectionResetError"}, outcomes
    assert lost <= outcomes.total() // 50, outcomes


@contextlib.contextmanager
def asking(base, clients=2):
    """Clients asking one request after another while the block runs;
    yields the Counter of their outcomes."""
    outcomes = collections.Counter()
    done = threading.Event()

    def client():
        while not done.is_set():
            outcomes.update([ask(base)])

    threads = [threading.Thread(target=client) for _ in range(clients)]
    for t in threads:
        t.start()
    try:
        yield outcomes
    finally:
        done.set()
        for t in threads:
            t.join(30)


def wait_for_log(log_path, text, times, timeout=40):
    deadline = time.monotonic() + timeout
    while log_path.read_text().count(text) < times:
        assert time.monotonic() < deadline, f"{text!r} not seen {times} times:\n{log_path.read_text()}"
        time.sleep(0.05)


def assert_clean(log_path, but=()):
    """No sign of a fault in the log, except in lines that hold one of `but`."""
    log = "".join(line for line in log_path.read_text().splitlines(True) if not any(b in line for b in but))
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


def test_uvicorn_workers_reload_on_sighup_without_refusing(tmp_path):
    """uvicorn --workers: the supervisor's listening socket is shared by the
    workers; SIGHUP replaces them one by one while requests keep coming."""
    pytest.importorskip("uvicorn")
    pytest.importorskip("starlette")
    args = ["-m", "uvicorn", "uvicorn_app:app", "--workers", "2", "--loop", "ombrel:new_event_loop"]
    with serving(None, tmp_path, [*args, "--port", "{port}"]) as (proc, base, log_path):
        wait_for_log(log_path, "Application startup complete", 2)
        with asking(base) as outcomes:
            proc.send_signal(signal.SIGHUP)
            wait_for_log(log_path, "Finished server process", 2)
            time.sleep(0.2)
        assert_served(outcomes)
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=30) == 0
    # The supervisor, which runs no loop, leaves its socket to the exit.
    assert_clean(log_path, but=("unclosed <socket.socket fd=3,", "Enable tracemalloc"))


def test_gunicorn_uvicorn_worker_with_max_requests(tmp_path):
    """gunicorn with the README's worker class: every worker is replaced
    after 20 requests, while the other serves the shared socket."""
    pytest.importorskip("gunicorn")
    pytest.importorskip("uvicorn")
    pytest.importorskip("starlette")
    args = ["-m", "gunicorn", "uvicorn_app:app", "-k", "gunicorn_worker.OmbrelUvicornWorker"]
    args += ["-w", "2", "--max-requests", "20", "-b", "127.0.0.1:{port}"]
    with serving(None, tmp_path, args) as (proc, base, log_path):
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            outcomes = collections.Counter(pool.map(lambda _: ask(base), range(200)))
        assert_served(outcomes)
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=30) == 0
    log = log_path.read_text()
    assert "Error on accepting a connection" not in log and "Traceback" not in log, log


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
    for name in ("uvicorn_app.py", "gunicorn_worker.py", "hypercorn_app.py", "tornado_app.py"):
        with open(os.path.join(top, "tests", "python", "snippets", name), encoding="utf-8") as f:
            program = f.read()
        assert "".join("    " + line if line.strip() else line for line in program.splitlines(True)) in docs, name
