"""What the benchmark programs share: choosing the event loop by name, pinning
to a CPU, and the one JSON line each program prints.

A program that cannot run on a loop (the loop does not exist yet, or lacks
the feature measured) prints {"skip": reason} and exits with SKIP_EXIT, so
the runner reports it and moves on.
"""

import asyncio
import functools
import json
import os
import sys

LOOPS = ("ombrel", "uvloop", "asyncio")
SKIP_EXIT = 3


class Skip(Exception):
    """This benchmark cannot run on this loop."""


def loop_factory(name):
    """The loop_factory for asyncio.Runner that makes a loop of this name."""
    if name == "asyncio":
        return asyncio.SelectorEventLoop
    if name == "uvloop":
        import uvloop

        return uvloop.new_event_loop
    if name == "ombrel":
        try:
            import ombrel
        except ImportError as exc:
            raise Skip(f"ombrel does not import: {exc}") from None
        factory = getattr(ombrel, "new_event_loop", None)
        if factory is None:
            raise Skip("ombrel.new_event_loop does not exist yet")
        return factory
    raise SystemExit(f"unknown loop {name!r} (one of {', '.join(LOOPS)})")


def run(loop_name, coro_fn, *args):
    """Runs coro_fn(*args) to completion on a new loop of that name."""
    factory = loop_factory(loop_name)
    try:
        with asyncio.Runner(loop_factory=factory) as runner:
            return runner.run(coro_fn(*args))
    except NotImplementedError as exc:
        raise Skip(f"{loop_name}: not implemented: {exc or type(exc).__name__}") from None


def pin(cpu):
    """Pins this process to one CPU (a negative number leaves it free)."""
    if cpu is not None and cpu >= 0 and cpu < (os.cpu_count() or 1):
        os.sched_setaffinity(0, {cpu})


def emit(obj):
    print(json.dumps(obj), flush=True)


def guarded(main):
    """Wraps a program's main: a Skip becomes the skip line and SKIP_EXIT."""

    @functools.wraps(main)
    def wrapper(*args, **kwargs):
        try:
            return main(*args, **kwargs)
        except Skip as exc:
            emit({"skip": str(exc)})
            sys.exit(SKIP_EXIT)

    return wrapper
