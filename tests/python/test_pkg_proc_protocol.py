"""The subprocess transport and protocol calls under subprocess_exec, with
real children, on both loops."""

import asyncio
import os
import signal
import subprocess
import sys

import pytest

from helpers import run

pytestmark = pytest.mark.timeout(60)

PY = sys.executable


def no_children_left():
    try:
        os.waitpid(-1, os.WNOHANG)
    except ChildProcessError:
        return True
    return False


class Recorder(asyncio.SubprocessProtocol):
    def __init__(self):
        self.events = []
        self.data = {1: bytearray(), 2: bytearray()}
        self.done = asyncio.get_running_loop().create_future()

    def connection_made(self, transport):
        self.events.append("made")

    def pipe_data_received(self, fd, data):
        self.data[fd] += data

    def pipe_connection_lost(self, fd, exc):
        self.events.append(("pipe lost", fd, exc))

    def process_exited(self):
        self.events.append("exited")

    def connection_lost(self, exc):
        self.events.append("lost")
        self.done.set_result(exc)


def test_protocol_calls_come_in_order_and_end_with_connection_lost(aloop):
    code = (
        "import sys; d = sys.stdin.buffer.read(); "
        "sys.stdout.buffer.write(d[::-1]); sys.stderr.buffer.write(b'E' * len(d))"
    )

    async def main():
        transport, proto = await aloop.subprocess_exec(Recorder, PY, "-c", code)
        assert transport.get_pid() > 0
        assert transport.get_extra_info("subprocess").pid == transport.get_pid()
        stdin = transport.get_pipe_transport(0)
        assert transport.get_pipe_transport(3) is None
        stdin.write(b"abc" * 1000)
        stdin.write_eof()
        assert await proto.done is None
        assert transport.get_returncode() == 0
        transport.close()
        return proto

    proto = run(aloop, main(), 30)
    assert proto.events[0] == "made" and proto.events[-1] == "lost"
    assert sorted(e for e in proto.events if isinstance(e, tuple)) == [
        ("pipe lost", 0, None),
        ("pipe lost", 1, None),
        ("pipe lost", 2, None),
    ]
    assert "exited" in proto.events
    assert bytes(proto.data[1]) == (b"abc" * 1000)[::-1]
    assert bytes(proto.data[2]) == b"E" * 3000


def test_a_child_reaped_by_the_caller_still_finishes_the_transport(aloop):
    async def main():
        proc = await asyncio.create_subprocess_exec("sleep", "30")
        popen = proc._transport.get_extra_info("subprocess")
        popen.kill()
        popen.wait()  # the caller takes the exit status first
        return await proc.wait()

    code = run(aloop, main(), 30)
    # The standard loop reports 255 for a status it could not read; ombrel
    # reads it from the Popen object.
    assert code in (-signal.SIGKILL, 255)


def test_cancelled_creation_kills_and_reaps_the_child(aloop):
    async def main():
        task = asyncio.ensure_future(
            asyncio.create_subprocess_exec(PY, "-c", "import time; time.sleep(30)", stdout=subprocess.PIPE)
        )
        await asyncio.sleep(0)
        await asyncio.sleep(0)
        task.cancel()
        try:
            proc = await task
        except asyncio.CancelledError:
            return None
        proc.kill()  # it won the race: finished before the cancel
        await proc.wait()
        return proc

    run(aloop, main(), 30)
    assert no_children_left()


def test_child_running_at_loop_close_is_left_alone(loop_factory, request):
    if request.config.pluginmanager.hasplugin("refleak_plugin"):
        # The Popen of a child reaped behind its back joins the subprocess
        # module's list of children to reap, on either loop: counts grow.
        pytest.skip("subprocess keeps the Popen of a child it did not see exit")
    loop = loop_factory()
    try:

        async def main():
            return await asyncio.create_subprocess_exec(PY, "-c", "import time; time.sleep(0.3)")

        proc = run(loop, main(), 30)
        pid = proc.pid
    finally:
        loop.close()
    # Neither loop reaps a child after its close; the caller may.
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
