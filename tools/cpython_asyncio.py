"""Runs CPython's own loop-generic asyncio tests against one event loop.

The standard test modules (from the interpreter's test package) define their
tests as mixins with a hook that makes the loop (`create_event_loop` or
`new_loop`); this script subclasses those mixins with our hook. For modules
without such a hook, the standard loop constructor is replaced.

    python3.14 tools/cpython_asyncio.py --loop ombrel|asyncio --module test_events [--json OUT]

One module per process (isolation); tools/cpython-tests runs them all and
compares the two loops.
"""

import argparse
import asyncio
import importlib
import json
import signal
import sys
import time
import unittest

# The modules and the mixins with their hooks, per area.
AREAS = {
    "test_events": ("EventLoopTestsMixin", "create_event_loop", "test_utils.TestCase"),
    "test_sock_lowlevel": ("BaseSockTestsMixin", "create_event_loop", "test_utils.TestCase"),
    "test_server": ("BaseStartServer", "new_loop", "unittest.TestCase"),
    "test_buffered_proto": ("BaseTestBufferedProtocol", "new_loop", "unittest.TestCase"),
    "test_sendfile": ("SendfileTestsBase", "create_event_loop", "test_utils.TestCase"),
    "test_streams": (None, None, None),
    "test_subprocess": (None, None, None),
    "test_events_subprocess": ("SubprocessTestsMixin", "create_event_loop", "test_utils.TestCase"),
}
# Areas that are one mixin of a larger module: the module to import.
MODULE_OF = {"test_events_subprocess": "test_events"}

# Tests of the standard loops' internals, left out of the comparison: they
# reach into attributes that only those loops have. Each reason says what
# the test looks at and how ombrel stands on what it guards.
NOT_APPLICABLE = {
    "test_events.LoopEventLoopTestsMixin.test_internal_fds": "counts the selector loop's self-pipe descriptors (_internal_fds, _csock, _ssock); "
    "skips itself on any other loop",
    "test_events.LoopEventLoopTestsMixin.test_timeout_rounding": "counts calls of the selector loop's _run_once; ombrel's run loop is native, and "
    "the test's five sleeps take it five waits (the standard loop twelve)",
    "test_subprocess.SubprocessPidfdWatcherTests.test_watcher_implementation": "checks the class of loop._watcher; ombrel reaps children in the ring, "
    "without a child watcher",
    "test_subprocess.SubprocessThreadedWatcherTests.test_watcher_implementation": "checks the class of loop._watcher; ombrel reaps children in the ring, "
    "without a child watcher",
    "test_subprocess.SubprocessThreadedWatcherTests.test_pid_not_reaped_before_exit_published": "joins a thread of loop._watcher._threads; ombrel signals a child through "
    "a pidfd, which never reaches a process that took over the pid",
}


class LoopSetUp:
    """What test_events.EventLoopTestsMixin gives the other mixins of that
    module: self.loop, made by the hook, set and torn down."""

    def setUp(self):
        super().setUp()
        self.loop = self.create_event_loop()
        self.set_event_loop(self.loop)

    def tearDown(self):
        from test.support import gc_collect
        from test.test_asyncio import utils as test_utils

        if not self.loop.is_closed():
            test_utils.run_briefly(self.loop)
        self.doCleanups()
        gc_collect()
        super().tearDown()


def loop_factory(name):
    if name == "asyncio":
        return asyncio.SelectorEventLoop
    import ombrel

    return ombrel.new_event_loop


def build_suite(module_name, factory):
    from test.test_asyncio import utils as test_utils

    module = importlib.import_module(f"test.test_asyncio.{MODULE_OF.get(module_name, module_name)}")
    mixin_name, hook, base_name = AREAS[module_name]
    loader = unittest.defaultTestLoader
    suite = unittest.TestSuite()
    if mixin_name is not None:
        mixin = getattr(module, mixin_name)
        base = test_utils.TestCase if base_name == "test_utils.TestCase" else unittest.TestCase
        bases = (mixin, LoopSetUp, base) if module_name in MODULE_OF else (mixin, base)
        cls = type(f"Loop{mixin_name}", bases, {hook: lambda self: factory(), "__module__": module.__name__})
        suite.addTests(loader.loadTestsFromTestCase(cls))
        # Tests written against a running loop of the standard kind.
        for name in dir(module):
            obj = getattr(module, name)
            if isinstance(obj, type) and issubclass(obj, unittest.IsolatedAsyncioTestCase):
                sub = type(name, (obj,), {"loop_factory": staticmethod(factory), "__module__": module.__name__})
                suite.addTests(loader.loadTestsFromTestCase(sub))
    else:
        # No hook: every loop the module creates is ours.
        asyncio.new_event_loop = factory
        asyncio.events.new_event_loop = factory
        for name in dir(module):
            obj = getattr(module, name)
            if not isinstance(obj, type) or not issubclass(obj, unittest.TestCase):
                continue
            if any(k in name for k in ("Proactor", "Windows", "Kqueue", "Select", "Poll")):
                continue  # tied to a particular standard loop
            if issubclass(obj, unittest.IsolatedAsyncioTestCase):
                obj = type(name, (obj,), {"loop_factory": staticmethod(factory), "__module__": module.__name__})
            suite.addTests(loader.loadTestsFromTestCase(obj))
    return suite


# A test that hangs fails alone instead of stopping the module's run: an
# alarm raises in the main thread, which the loops check for signals.
TEST_TIMEOUT = 30


class TestTimeout(Exception):
    pass


def _alarm(signum, frame):
    raise TestTimeout(f"test still running after {TEST_TIMEOUT} s")


class Collect(unittest.TextTestResult):
    def __init__(self, *a, **k):
        super().__init__(*a, **k)
        self.outcomes = {}

    def startTest(self, test):
        super().startTest(test)
        signal.signal(signal.SIGALRM, _alarm)
        signal.alarm(TEST_TIMEOUT)

    def stopTest(self, test):
        signal.alarm(0)
        super().stopTest(test)

    def addSuccess(self, test):
        super().addSuccess(test)
        self.outcomes[test.id()] = "pass"

    def addFailure(self, test, err):
        super().addFailure(test, err)
        self.outcomes[test.id()] = "fail"

    def addError(self, test, err):
        super().addError(test, err)
        self.outcomes[test.id()] = "fail"

    def addSkip(self, test, reason):
        super().addSkip(test, reason)
        self.outcomes[test.id()] = "skip"

    def addExpectedFailure(self, test, err):
        super().addExpectedFailure(test, err)
        self.outcomes[test.id()] = "pass"

    def addUnexpectedSuccess(self, test):
        super().addUnexpectedSuccess(test)
        self.outcomes[test.id()] = "pass"


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--loop", choices=["ombrel", "asyncio"], required=True)
    ap.add_argument("--module", required=True, choices=sorted(AREAS))
    ap.add_argument("--json")
    ap.add_argument("-v", action="store_true")
    args = ap.parse_args()
    suite = build_suite(args.module, loop_factory(args.loop))
    runner = unittest.TextTestRunner(resultclass=Collect, verbosity=2 if args.v else 0, stream=sys.stderr)
    start = time.monotonic()
    result = runner.run(suite)
    outcomes = {k.split(".", 2)[-1]: v for k, v in result.outcomes.items()}
    summary = {
        "loop": args.loop,
        "module": args.module,
        "seconds": round(time.monotonic() - start, 1),
        "outcomes": outcomes,
        "not_applicable": {t: why for t, why in NOT_APPLICABLE.items() if t in outcomes},
        "failures": {t.id().split(".", 2)[-1]: tb[-2000:] for t, tb in result.failures + result.errors},
    }
    if args.json:
        with open(args.json, "w") as f:
            json.dump(summary, f, indent=1)
    counts = {k: sum(1 for v in outcomes.values() if v == k) for k in ("pass", "fail", "skip")}
    print(f"{args.module} on {args.loop}: {counts['pass']} passed, {counts['fail']} failed, {counts['skip']} skipped")


if __name__ == "__main__":
    main()
