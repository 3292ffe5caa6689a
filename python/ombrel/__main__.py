"""python3.14 -m ombrel: can an ombrel loop run here, and does it work?

Prints the versions, whether io_uring can be used in this process (and why
not), what the kernel granted the ring, the descriptor limit, then runs a
short self-check on a real loop: a TCP echo over loopback, a timer, a file
written and read back through ombrel.open, a child process. One line per
fact and per check. Exit status 0 when everything works, 1 otherwise;
--json prints the same as one JSON document.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import platform
import sys
import tempfile
import time
from collections.abc import Awaitable, Callable
from typing import Any

import ombrel

from ._available import available
from ._native import NativeLoop

CHECK_TIMEOUT = 10.0

# io_uring_params.features bits, in bit order.
_FEATURES = [
    "SINGLE_MMAP",
    "NODROP",
    "SUBMIT_STABLE",
    "RW_CUR_POS",
    "CUR_PERSONALITY",
    "FAST_POLL",
    "POLL_32BITS",
    "SQPOLL_NONFIXED",
    "EXT_ARG",
    "NATIVE_WORKERS",
    "RSRC_TAGS",
    "CQE_SKIP",
    "LINKED_FILE",
    "REG_REG_RING",
    "RECVSEND_BUNDLE",
    "MIN_TIMEOUT",
    "RW_ATTR",
    "NO_IOWAIT",
]
# Setup flags the loop asks for (bit value, name); the ring is also made
# disabled until its first wait binds it to the loop's thread, not shown.
_SETUP = [(0x100, "COOP_TASKRUN"), (0x1000, "SINGLE_ISSUER"), (0x2000, "DEFER_TASKRUN"), (0x20, "ATTACH_WQ")]


def _bit_names(value: int, names: list[str]) -> list[str]:
    out = [name for bit, name in enumerate(names) if value & (1 << bit)]
    unknown = value & ~((1 << len(names)) - 1)
    if unknown:
        out.append(f"0x{unknown:x}")
    return out


def ring_info() -> dict[str, Any] | None:
    """What the kernel granted a ring here; None when none can be made."""
    try:
        loop = NativeLoop()
    except Exception:
        return None
    try:
        info = loop._ring_info()
    finally:
        loop.close()
    return {
        "features": _bit_names(info["features"], _FEATURES),
        "setup_flags": [name for bit, name in _SETUP if info["setup_flags"] & bit],
        "sq_entries": info["sq_entries"],
        "cq_entries": info["cq_entries"],
    }


# ---- the self-check ---------------------------------------------------------


async def _tcp_echo() -> str:
    async def echo(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        writer.write(await reader.read(1 << 16))
        await writer.drain()
        writer.close()

    server = await asyncio.start_server(echo, "127.0.0.1", 0)
    async with server:
        host, port = server.sockets[0].getsockname()[:2]
        reader, writer = await asyncio.open_connection(host, port)
        payload = os.urandom(32768)
        writer.write(payload)
        writer.write_eof()
        got = await reader.read()
        writer.close()
        await writer.wait_closed()
    if got != payload:
        raise AssertionError(f"echoed {len(got)} bytes, not the {len(payload)} sent")
    return f"{len(payload)} bytes over 127.0.0.1:{port}"


async def _timer() -> str:
    loop = asyncio.get_running_loop()
    fired = loop.create_future()
    start = loop.time()
    loop.call_later(0.02, fired.set_result, None)
    await fired
    waited = loop.time() - start
    if waited < 0.019:
        raise AssertionError(f"a 20 ms timer fired after {waited * 1000:.1f} ms")
    return f"20 ms timer fired after {waited * 1000:.1f} ms"


async def _file() -> str:
    data = os.urandom(100_000)
    with tempfile.TemporaryDirectory(prefix="ombrel-check-") as folder:
        path = os.path.join(folder, "check.bin")
        async with await ombrel.open(path, "wb") as f:
            await f.write(data)
            await f.fsync()
        async with await ombrel.open(path, "rb") as f:
            back = await f.read()
    if back != data:
        raise AssertionError(f"read back {len(back)} bytes, not the {len(data)} written")
    return f"{len(data)} bytes written, synced and read back"


async def _child() -> str:
    proc = await asyncio.create_subprocess_exec(
        sys.executable,
        "-c",
        "import sys; sys.stdout.write(sys.stdin.read()[::-1])",
        stdin=asyncio.subprocess.PIPE,
        stdout=asyncio.subprocess.PIPE,
    )
    out, _ = await proc.communicate(b"ombrel")
    if (proc.returncode, out) != (0, b"lerbmo"):
        raise AssertionError(f"child exited {proc.returncode} with {out!r}")
    return f"pid {proc.pid} answered through its pipes and exited 0"


CHECKS: list[tuple[str, Callable[[], Awaitable[str]]]] = [
    ("tcp echo", _tcp_echo),
    ("timer", _timer),
    ("file", _file),
    ("child process", _child),
]


async def _run_checks() -> list[dict[str, Any]]:
    results = []
    for name, check in CHECKS:
        start = time.perf_counter()
        try:
            async with asyncio.timeout(CHECK_TIMEOUT):
                detail = await check()
            ok = True
        except TimeoutError:
            ok, detail = False, f"no answer within {CHECK_TIMEOUT:.0f} s"
        except Exception as exc:
            ok, detail = False, f"{type(exc).__name__}: {exc}"
        results.append({"check": name, "ok": ok, "detail": detail, "seconds": round(time.perf_counter() - start, 6)})
    return results


def self_check() -> list[dict[str, Any]]:
    """Runs every check on a fresh ombrel loop; an empty list when no loop
    can be made."""
    try:
        loop = ombrel.new_event_loop()
    except RuntimeError:
        return []
    with asyncio.Runner(loop_factory=lambda: loop) as runner:
        return runner.run(_run_checks())


# ---- the report -------------------------------------------------------------


def gather() -> dict[str, Any]:
    here = available()
    report: dict[str, Any] = {
        "ombrel": ombrel.__version__,
        "python": f"{platform.python_version()} ({sys.executable})",
        "kernel": here.kernel,
        "available": here.as_dict(),
        "ring": ring_info() if here else None,
        "checks": self_check() if here else [],
    }
    report["ok"] = bool(here) and bool(report["checks"]) and all(c["ok"] for c in report["checks"])
    return report


def render(report: dict[str, Any]) -> str:
    a = report["available"]
    lines = [
        f"ombrel          {report['ombrel']}",
        f"python          {report['python']}",
        f"kernel          {report['kernel']}",
    ]
    if a["available"]:
        lines.append("io_uring        available")
    else:
        lines.append(f"io_uring        UNAVAILABLE ({a['kind']}): {a['reason']}")
    disabled = "absent" if a["io_uring_disabled"] is None else a["io_uring_disabled"]
    seccomp = {0: "none", 1: "strict", 2: "filter"}.get(a["seccomp"], "unknown")
    lines.append(f"kernel.io_uring_disabled {disabled}; seccomp {seccomp}")
    ring = report["ring"]
    if ring is not None:
        lines.append(
            f"ring            {ring['sq_entries']} entries ({ring['cq_entries']} completions); "
            f"setup {' '.join(ring['setup_flags'])}"
        )
        lines.append(f"ring features   {' '.join(ring['features'])}")
    lines.append(f"descriptors     {a['open_fds']} open, limit {a['fd_limit']} (hard {a['fd_limit_hard']})")
    for c in report["checks"]:
        mark = "ok" if c["ok"] else "FAILED"
        lines.append(f"check {c['check']:<14} {mark}: {c['detail']} ({c['seconds'] * 1000:.1f} ms)")
    if not report["checks"] and a["available"]:
        lines.append("check           FAILED: no loop could be made for the self-check")
    lines.append("result          " + ("everything works" if report["ok"] else "ombrel cannot run here"))
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python3.14 -m ombrel", description=__doc__.splitlines()[0])
    parser.add_argument("--json", action="store_true", help="print one JSON document")
    args = parser.parse_args(argv)
    report = gather()
    print(json.dumps(report, indent=2) if args.json else render(report))
    return 0 if report["ok"] else 1


if __name__ == "__main__":
    sys.exit(main())
