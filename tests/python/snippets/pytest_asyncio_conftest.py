# conftest.py: every async test and fixture of the suite runs on an ombrel loop.
import ombrel


def pytest_asyncio_loop_factories(config, item):
    return {"ombrel": ombrel.new_event_loop}
