"""The README's "Use with" snippets for pytest-asyncio, anyio and aiohttp,
each run as a user would run it, in its own interpreter, against loopback."""

import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import pytest

from helpers import free_port

pytestmark = pytest.mark.timeout(60)

SNIPPETS = Path(__file__).parent / "snippets"


def child_env(**extra):
    # The outer pytest's options, plugins and current-test marker must not
    # reach the inner interpreter; PYTHONPATH (where ombrel is) must.
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTEST_")}
    env.update(extra)
    return env


def run_suite(tmp_path, files):
    """Copies snippets into a fresh project (snippet name -> name there) and
    runs pytest on it; returns the outcome counts of its summary line."""
    for src, dst in files.items():
        shutil.copy(SNIPPETS / src, tmp_path / dst)
    proc = subprocess.run(
        [
            sys.executable,
            "-m",
            "pytest",
            "-q",
            "-p",
            "no:cacheprovider",
            "-W",
            "error::ResourceWarning",
            "--rootdir",
            str(tmp_path),
            str(tmp_path),
        ],
        cwd=tmp_path,
        env=child_env(),
        capture_output=True,
        text=True,
        timeout=50,
    )
    last = proc.stdout.strip().splitlines()[-1] if proc.stdout.strip() else ""
    counts = {kind: int(n) for n, kind in re.findall(r"(\d+) (\w+)", last)}
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return counts


def test_pytest_asyncio_suite_runs_on_ombrel(tmp_path):
    pytest.importorskip("pytest_asyncio")
    counts = run_suite(
        tmp_path,
        {
            "pytest_asyncio_conftest.py": "conftest.py",
            "pytest_asyncio_pyproject.toml": "pyproject.toml",
            "pytest_asyncio_tests.py": "test_app.py",
        },
    )
    assert counts == {"passed": 2}


def test_anyio_plugin_suite_runs_on_ombrel(tmp_path):
    pytest.importorskip("anyio")
    (tmp_path / "pytest.ini").write_text("[pytest]\n")
    counts = run_suite(tmp_path, {"anyio_conftest.py": "conftest.py", "anyio_tests.py": "test_app.py"})
    assert counts == {"passed": 2}


def test_anyio_run_on_ombrel():
    pytest.importorskip("anyio")
    proc = subprocess.run(
        [sys.executable, SNIPPETS / "anyio_app.py"], env=child_env(), capture_output=True, text=True, timeout=50
    )
    assert proc.returncode == 0, proc.stderr
    module, reply = proc.stdout.split()
    assert module.startswith("ombrel") and reply == "HELLO"


def connect(port, deadline):
    while True:
        try:
            return socket.create_connection(("127.0.0.1", port), timeout=10)
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


@pytest.mark.parametrize("snippet", ["aiohttp_run_app.py", "aiohttp_runner.py"])
@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM], ids=["SIGINT", "SIGTERM"])
def test_aiohttp_serves_then_stops_cleanly_on_signal(snippet, sig):
    pytest.importorskip("aiohttp")
    port = free_port()
    proc = subprocess.Popen(
        [sys.executable, SNIPPETS / snippet],
        env=child_env(PORT=str(port)),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,
    )
    try:
        # A keep-alive connection stays open across the signal: the shutdown
        # must close it, not wait on it or leave it dangling.
        with connect(port, time.monotonic() + 30) as conn:
            conn.sendall(b"GET / HTTP/1.1\r\nHost: localhost\r\n\r\n")
            reply = b""
            while not reply.endswith(b"hello"):
                chunk = conn.recv(4096)
                assert chunk, reply
                reply += chunk
            assert reply.startswith(b"HTTP/1.1 200 ")
            proc.send_signal(sig)
            assert conn.recv(4096) == b""
        out, err = proc.communicate(timeout=30)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert proc.returncode == 0, err
    assert out.splitlines()[-2:] == ["shutdown", "cleanup"], out + err
    assert "Traceback" not in err, err
