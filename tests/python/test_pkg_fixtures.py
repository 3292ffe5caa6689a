"""Fixtures of the package tests, imported by the test_pkg_* modules.

Every package test runs twice: on ombrel's loop and on the standard
library's, which is the reference for what an asyncio loop does. A test
that fails only for "asyncio" checks something the standard loop does not
promise.
"""

import asyncio
import gc

import ombrel
import pytest

FACTORIES = {
    "ombrel": ombrel.new_event_loop,
    "asyncio": asyncio.new_event_loop,
}


@pytest.fixture(params=sorted(FACTORIES))
def loop_factory(request):
    return FACTORIES[request.param]


@pytest.fixture
def aloop(loop_factory):
    lp = loop_factory()
    yield lp
    if lp.is_running():  # a failed test may leave it stopped mid-run only
        lp.stop()
    lp.close()
    gc.collect()


def is_ombrel(loop):
    return isinstance(loop, ombrel.Loop)
