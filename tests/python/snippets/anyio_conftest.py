# conftest.py: tests marked for anyio run on asyncio with an ombrel loop.
import ombrel
import pytest


@pytest.fixture
def anyio_backend():
    return "asyncio", {"loop_factory": ombrel.new_event_loop}
