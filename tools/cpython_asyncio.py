"""Runs CPython's own loop-generic asyncio tests against one event loop.

The standard test modules (from the interpreter's test package) define their
tests as mixins with a hook that makes the loop (`create_event_loop` or
`new_loop`); this script subclasses those mixins with our hook. For modules
without such a hook, the standard loop constructor is replaced.

    python3.14 tools/cpython_asyncio.py --loop ombrel|asyncio --module test_events [--json OUT]

One module per run (isolation); tools/cpython-tests runs them all and
compares the two loops. The run supervises child processes of this script:
when a test hangs past the watchdog or takes its process down, that test is
recorded as failed with the stacks of every thread, and a new child runs the
tests still without an outcome.
"""

import argparse
import asyncio
import faulthandler
import importlib
import json
import pathlib
import shutil
import signal
import subprocess
import sys
import tempfile
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
    "test_sslproto": ("BaseStartTLS", "new_loop", "unittest.TestCase"),
}
# Modules whose tests make their loops with asyncio.new_event_loop, asyncio.run
# or IsolatedAsyncioTestCase: no hook, the default policy's loop factory is
# replaced.
for _m in (
    "test_ssl test_unix_events test_runners test_tasks test_taskgroups test_timeouts test_waitfor test_locks "
    "test_queues test_futures test_futures2 test_eager_task_factory test_staggered test_threads "
    "test_free_threading test_graph test_context test_pep492 test_protocols"
).split():
    AREAS[_m] = (None, None, None)
# Classes of a hooked module that make their loop with asyncio.new_event_loop.
ALSO = {"test_sslproto": ("SslProtoHandshakeTests",)}
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
    "test_unix_events.PidfdChildWatcherTests.test_pidfd_closed_when_waitpid_raises": "patches os.waitpid and waits for the "
    "standard loop's pidfd watcher to call it; ombrel reaps children with waitid in the ring and never calls it",
    "test_ssl.TestSSL.test_remote_shutdown_receives_trailing_data_on_slow_socket": "reads the selector socket transport's "
    "_read_ready_cb and swaps its _sock; ombrel's transport has neither, so the client fails and the server thread "
    "waits in join",
    "test_sslproto.SslProtoHandshakeTests.test_connection_lost_when_busy": "builds a transport with the selector loop's "
    "private _make_socket_transport around a mock socket (descriptor 12345, send raising); ombrel's transport sends "
    "through the ring on the descriptor and never calls the socket's send",
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


def default_loops_from(factory):
    """Every loop the default policy makes is then ours (new_event_loop,
    asyncio.run and Runner without a loop_factory). Tests that install their
    own policy keep it: they check what the policy does."""
    asyncio.unix_events._DefaultEventLoopPolicy._loop_factory = staticmethod(factory)


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
        if module_name in ALSO:
            default_loops_from(factory)
            for name in ALSO[module_name]:
                suite.addTests(loader.loadTestsFromTestCase(getattr(module, name)))
    else:
        default_loops_from(factory)
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


# A test that hangs fails alone instead of stopping the module's run. Two
# limits: an alarm raises in the main thread, which the loops check for
# signals, so a test waiting in a loop fails and the run goes on; a test
# blocked where no signal handler runs (Thread.join, a C call) is ended by
# faulthandler's watchdog thread, which dumps every thread's stack and ends
# the process. The supervisor then records that test as failed and runs the
# rest of the module in a new process.
TEST_TIMEOUT = 30
HARD_TIMEOUT = TEST_TIMEOUT + 30
# Bounds one child process whatever happens (a hang outside any test, where
# no watchdog is armed).
CHILD_TIMEOUT = 1800


class TestTimeout(Exception):
    pass


def _alarm(signum, frame):
    raise TestTimeout(f"test still running after {TEST_TIMEOUT} s")


def short_id(test):
    # "test.test_asyncio.test_x.Class.test_y" -> "test_x.Class.test_y"
    return test.id().split(".", 2)[-1]


class Collect(unittest.TextTestResult):
    """Records each test's outcome as one JSON line in the progress file,
    flushed before the next test starts: what the supervisor reads when this
    process ends early. `start` is written before the test runs, so the last
    start without an outcome names the test that was running."""

    progress = None  # the open progress file; set by the child before the run
    dump = None  # the file faulthandler writes a hung test's stacks to

    def _write(self, **record):
        if self.progress is not None:
            self.progress.write(json.dumps(record) + "\n")
            self.progress.flush()

    def _outcome(self, test, outcome, err=None):
        record = {"id": short_id(test), "outcome": outcome}
        if err is not None:
            record["failure"] = self._exc_info_to_string(err, test)[-2000:]
        self._write(**record)

    def startTest(self, test):
        super().startTest(test)
        self._write(start=short_id(test))
        signal.signal(signal.SIGALRM, _alarm)
        signal.alarm(TEST_TIMEOUT)
        if self.dump is not None:
            faulthandler.dump_traceback_later(HARD_TIMEOUT, exit=True, file=self.dump)

    def stopTest(self, test):
        signal.alarm(0)
        super().stopTest(test)
        self._write(stop=short_id(test))
        # Left armed between tests and after the last: a class or module
        # fixture, or the interpreter's exit, that hangs ends the same way.
        if self.dump is not None:
            faulthandler.dump_traceback_later(HARD_TIMEOUT, exit=True, file=self.dump)

    def addSuccess(self, test):
        super().addSuccess(test)
        self._outcome(test, "pass")

    def addFailure(self, test, err):
        super().addFailure(test, err)
        self._outcome(test, "fail", err)

    def addError(self, test, err):
        super().addError(test, err)
        self._outcome(test, "fail", err)

    def addSubTest(self, test, subtest, err):
        super().addSubTest(test, subtest, err)
        if err is not None:
            self._outcome(test, "fail", err)

    def addSkip(self, test, reason):
        super().addSkip(test, reason)
        self._outcome(test, "skip")

    def addExpectedFailure(self, test, err):
        super().addExpectedFailure(test, err)
        self._outcome(test, "pass")

    def addUnexpectedSuccess(self, test):
        super().addUnexpectedSuccess(test)
        self._outcome(test, "pass")


def flatten(suite):
    for item in suite:
        if isinstance(item, unittest.TestSuite):
            yield from flatten(item)
        else:
            yield item


def run_child(args):
    """Runs the module's tests but those listed in --skip-file, appending
    outcomes to --progress."""
    skip = set(json.loads(pathlib.Path(args.skip_file).read_text())) if args.skip_file else set()
    full = build_suite(args.module, loop_factory(args.loop))
    suite = unittest.TestSuite(t for t in flatten(full) if short_id(t) not in skip)
    Collect.progress = open(args.progress, "a")
    Collect.dump = open(args.dump, "w") if args.dump else None
    if Collect.dump is not None:
        faulthandler.enable(file=Collect.dump)  # a crash's stacks too
    runner = unittest.TextTestRunner(resultclass=Collect, verbosity=2 if args.v else 0, stream=sys.stderr)
    result = runner.run(suite)
    result._write(done=True)


def read_progress(path):
    """The outcomes so far, the test started last without a stop (if any),
    whether the child finished, and the failures' tracebacks."""
    outcomes, failures, running, done = {}, {}, None, False
    if path.exists():
        for line in path.read_text().splitlines():
            try:
                rec = json.loads(line)
            except ValueError:
                continue  # a line cut short by the process's end
            if "start" in rec:
                running = rec["start"]
            elif "stop" in rec:
                running = None
                if rec["stop"] not in outcomes:
                    # unittest let an exception through (KeyboardInterrupt)
                    outcomes[rec["stop"]] = "fail"
                    failures[rec["stop"]] = "no outcome: an exception unittest does not catch ended the test"
            elif "done" in rec:
                done = True
            else:
                # a failing subtest or tearDown after a pass makes the test fail
                if outcomes.get(rec["id"]) != "fail":
                    outcomes[rec["id"]] = rec["outcome"]
                if "failure" in rec:
                    failures[rec["id"]] = rec["failure"]
    return outcomes, failures, running, done


def supervise(args):
    """Runs the module in child processes until every test has an outcome:
    when a child ends without finishing, the test it was running is recorded
    as failed (with the stacks the watchdog dumped) and a new child runs the
    tests that have none yet."""
    work = pathlib.Path(tempfile.mkdtemp(prefix=f"cpython-{args.module}-{args.loop}-"))
    progress, skip_file, dump = work / "progress.jsonl", work / "skip.json", work / "dump.txt"
    ended = {}  # test -> why its process ended
    start = time.monotonic()
    try:
        while True:
            outcomes, failures, running, done = read_progress(progress)
            before = set(outcomes) | set(ended)
            skip_file.write_text(json.dumps(sorted(before)))
            cmd = [sys.executable, __file__, "--loop", args.loop, "--module", args.module, "--progress", str(progress)]
            cmd += ["--skip-file", str(skip_file), "--dump", str(dump)] + (["-v"] if args.v else [])
            try:
                rc = subprocess.run(cmd, timeout=CHILD_TIMEOUT).returncode
                why = f"exit status {rc}" if rc >= 0 else f"signal {signal.Signals(-rc).name}"
            except subprocess.TimeoutExpired:
                rc, why = None, f"no end after {CHILD_TIMEOUT} s"
            outcomes, failures, running, done = read_progress(progress)
            if done or rc == 0:
                break
            stacks = dump.read_text() if dump.exists() else ""
            if stacks:
                sys.stderr.write(stacks)
            if running is None:
                # Ended between tests (a KeyboardInterrupt out of a test's
                # stopTest, a crash in a class fixture): go on if it got
                # anywhere, else the rest cannot run.
                if set(outcomes) | set(ended) <= before:
                    print(f"{args.module} on {args.loop}: process ended outside a test ({why})", file=sys.stderr)
                    ended["(module)"] = f"process ended outside a test: {why}\n{stacks}"[-4000:]
                    break
                print(
                    f"{args.module} on {args.loop}: process ended between tests ({why}); running the rest",
                    file=sys.stderr,
                )
                continue
            if stacks.startswith("Timeout"):
                why = f"timed out: still running after {HARD_TIMEOUT} s, blocked where no signal handler runs"
            ended[running] = f"{why}\n{stacks}"[-4000:]
            print(f"{args.module} on {args.loop}: {running}: {why}; running the rest in a new process", file=sys.stderr)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for test, why in ended.items():
        outcomes[test] = "fail"
        failures[test] = why
    return outcomes, failures, time.monotonic() - start


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--loop", choices=["ombrel", "asyncio"], required=True)
    ap.add_argument("--module", required=True, choices=sorted(AREAS))
    ap.add_argument("--json")
    ap.add_argument("-v", action="store_true")
    # Internal: how the supervisor starts a child.
    ap.add_argument("--progress", help=argparse.SUPPRESS)
    ap.add_argument("--skip-file", help=argparse.SUPPRESS)
    ap.add_argument("--dump", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.progress:
        run_child(args)
        return
    outcomes, failures, seconds = supervise(args)
    summary = {
        "loop": args.loop,
        "module": args.module,
        "seconds": round(seconds, 1),
        "outcomes": outcomes,
        "not_applicable": {t: why for t, why in NOT_APPLICABLE.items() if t in outcomes},
        "failures": failures,
    }
    if args.json:
        with open(args.json, "w") as f:
            json.dump(summary, f, indent=1)
    counts = {k: sum(1 for v in outcomes.values() if v == k) for k in ("pass", "fail", "skip")}
    print(f"{args.module} on {args.loop}: {counts['pass']} passed, {counts['fail']} failed, {counts['skip']} skipped")


if __name__ == "__main__":
    main()
