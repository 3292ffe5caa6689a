"""Child processes through asyncio's subprocess API: real children, their
pipes, exit codes and signals, on both loops."""

import asyncio
import os
import signal
import subprocess
import sys

import pytest

from helpers import run

pytestmark = pytest.mark.timeout(60)

PY = sys.executable
PIPE = asyncio.subprocess.PIPE


def test_communicate_exit_code_and_separate_streams(aloop):
    code = (
        "import sys; data = sys.stdin.buffer.read(); "
        "sys.stdout.buffer.write(data.upper()); "
        "sys.stderr.write('err'); sys.exit(7)"
    )

    async def main():
        proc = await asyncio.create_subprocess_exec(PY, "-c", code, stdin=PIPE, stdout=PIPE, stderr=PIPE)
        assert proc.returncode is None
        out, err = await proc.communicate(b"x" * 300_000)  # beyond a pipe's buffer
        return proc, out, err

    proc, out, err = run(aloop, main(), 30)
    assert out == b"X" * 300_000 and err == b"err"
    assert proc.returncode == 7


def test_shell_stderr_to_stdout_and_devnull(aloop):
    async def main():
        proc = await asyncio.create_subprocess_shell(
            "echo out; echo err >&2; exit 4", stdin=subprocess.DEVNULL, stdout=PIPE, stderr=subprocess.STDOUT
        )
        out, err = await proc.communicate()
        quiet = await asyncio.create_subprocess_shell(
            "echo gone; cat", stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
        )
        assert quiet.stdout is None and quiet.stdin is None
        return proc.returncode, out, err, await quiet.wait()

    code, out, err, quiet = run(aloop, main(), 30)
    assert (code, err, quiet) == (4, None, 0)
    assert sorted(out.split()) == [b"err", b"out"]


def test_streams_line_by_line_and_files_as_stdio(aloop, tmp_path):
    src = tmp_path / "in.txt"
    src.write_bytes(b"one\ntwo\n")
    dst = tmp_path / "out.txt"

    async def main():
        proc = await asyncio.create_subprocess_exec(
            PY,
            "-u",
            "-c",
            "import sys\nfor l in sys.stdin: print(l.strip()[::-1], flush=True)",
            stdin=PIPE,
            stdout=PIPE,
        )
        got = []
        for word in (b"abc", b"xyz"):
            proc.stdin.write(word + b"\n")
            await proc.stdin.drain()
            got.append(await proc.stdout.readline())
        proc.stdin.close()
        await proc.stdin.wait_closed()
        assert await proc.stdout.read() == b""
        assert await proc.wait() == 0
        with open(src, "rb") as fin, open(dst, "wb") as fout:
            cat = await asyncio.create_subprocess_exec("cat", stdin=fin, stdout=fout)
            assert await cat.wait() == 0
        return got

    assert run(aloop, main(), 30) == [b"cba\n", b"zyx\n"]
    assert dst.read_bytes() == b"one\ntwo\n"


@pytest.mark.parametrize(
    "how,expect",
    [
        ("terminate", -signal.SIGTERM),
        ("kill", -signal.SIGKILL),
        ("send_signal", -signal.SIGUSR1),
    ],
)
def test_signals_reach_the_child(aloop, how, expect):
    async def main():
        proc = await asyncio.create_subprocess_exec(
            PY, "-c", "import sys, time; print('up', flush=True); time.sleep(30)", stdout=PIPE
        )
        assert await proc.stdout.readline() == b"up\n"
        if how == "send_signal":
            proc.send_signal(signal.SIGUSR1)
        else:
            getattr(proc, how)()
        code = await proc.wait()
        return code, proc.returncode

    assert run(aloop, main(), 30) == (expect, expect)


def test_concurrent_waits_and_many_children(aloop):
    async def child(i):
        proc = await asyncio.create_subprocess_exec(PY, "-c", f"import sys; sys.exit({i})", stdout=subprocess.DEVNULL)
        a, b = await asyncio.gather(proc.wait(), proc.wait())
        assert a == b == i
        return a

    async def main():
        return await asyncio.gather(*(child(i) for i in range(12)))

    assert run(aloop, main(), 30) == list(range(12))


def test_wait_of_a_child_cancelled_and_waited_again(aloop):
    async def main():
        proc = await asyncio.create_subprocess_exec("sleep", "30")
        with pytest.raises(TimeoutError):
            await asyncio.wait_for(proc.wait(), 0.1)
        assert proc.returncode is None
        proc.kill()
        return await proc.wait()

    assert run(aloop, main(), 30) == -signal.SIGKILL


def test_start_failures(aloop, tmp_path):
    async def main():
        with pytest.raises(FileNotFoundError):
            await asyncio.create_subprocess_exec(str(tmp_path / "missing"))
        with pytest.raises(NotADirectoryError):
            await asyncio.create_subprocess_exec(PY, "-c", "pass", cwd=__file__)
        for kw in (
            {"universal_newlines": True},
            {"bufsize": 1},
            {"text": True},
            {"encoding": "utf-8"},
            {"errors": "strict"},
            {"shell": True},
        ):
            with pytest.raises(ValueError):
                await aloop.subprocess_exec(asyncio.SubprocessProtocol, PY, "-c", "pass", **kw)
        with pytest.raises(ValueError):
            await aloop.subprocess_shell(asyncio.SubprocessProtocol, ["ls"])
        with pytest.raises(ValueError):
            await aloop.subprocess_shell(asyncio.SubprocessProtocol, "ls", shell=False)

    run(aloop, main(), 30)


def test_popen_options_pass_through(aloop, tmp_path):
    async def main():
        proc = await asyncio.create_subprocess_exec(
            PY,
            "-c",
            "import os; print(os.getcwd(), os.environ['OMBREL_T'], os.getsid(0) == os.getpid())",
            stdout=PIPE,
            cwd=tmp_path,
            env={"OMBREL_T": "v"},
            start_new_session=True,
        )
        out, _ = await proc.communicate()
        return out.decode().split()

    assert run(aloop, main(), 30) == [str(tmp_path), "v", "True"]


def _child_fds(loop, **kwargs):
    async def main():
        proc = await asyncio.create_subprocess_exec(
            PY,
            "-c",
            "import os; print(sorted(int(f) for f in os.listdir('/proc/self/fd')))",
            stdin=PIPE,
            stdout=PIPE,
            stderr=PIPE,
            **kwargs,
        )
        out, err = await proc.communicate()
        assert proc.returncode == 0, err
        return eval(out)

    return run(loop, main(), 30)


def _inheritable(fd):
    try:
        return os.get_inheritable(fd)
    except OSError:
        return False  # the listing's own descriptor, closed by now


def test_children_inherit_only_their_standard_descriptors(aloop):
    # Give the loop everything it may hold: a signal handler (its wakeup
    # socket), a reader, a running timer, and an earlier child.
    r, w = os.pipe()
    keep_r, keep_w = os.pipe()
    os.set_inheritable(keep_r, True)
    try:
        aloop.add_signal_handler(signal.SIGUSR2, lambda: None)
        aloop.add_reader(r, lambda: None)
        aloop.call_later(60, lambda: None)
        run(aloop, asyncio.sleep(0), 30)
        # listdir opens one descriptor of its own (3 at the lowest).
        fds = _child_fds(aloop)
        assert fds == [0, 1, 2, 3]
        fds = _child_fds(aloop, pass_fds=(keep_r,))
        assert fds == sorted({0, 1, 2, keep_r, min(set(range(3, 100)) - {keep_r})})
        # Without close_fds, only what the parent marked inheritable
        # crosses over: the loop's own descriptors are close-on-exec.
        inheritable = {0, 1, 2} | {int(f) for f in os.listdir("/proc/self/fd") if _inheritable(int(f))}
        fds = set(_child_fds(aloop, close_fds=False))
        listing = min(set(range(1000)) - inheritable)
        assert keep_r in fds and r not in fds
        assert fds - {listing} <= inheritable
    finally:
        aloop.remove_reader(r)
        aloop.remove_signal_handler(signal.SIGUSR2)
        for fd in (r, w, keep_r, keep_w):
            os.close(fd)


def test_exit_is_seen_without_reading_the_pipes(aloop):
    # The child exits while its stdout is still open in a grandchild: the
    # exit code arrives, the pipe's end comes later.
    async def main():
        proc = await asyncio.create_subprocess_shell("sleep 0.5 & exit 3", stdout=PIPE)
        code = await proc.wait()
        rest = await proc.stdout.read()
        return code, rest

    assert run(aloop, main(), 30) == (3, b"")


def test_closing_the_transport_kills_the_child(aloop):
    async def main():
        done = aloop.create_future()

        class Proto(asyncio.SubprocessProtocol):
            def process_exited(self):
                done.set_result(transport.get_returncode())

        transport, _ = await aloop.subprocess_exec(Proto, "sleep", "30", stdin=None, stdout=None, stderr=None)
        assert transport.get_pid() > 0 and transport.get_returncode() is None
        assert transport.get_pipe_transport(0) is None
        transport.close()
        return await done

    assert run(aloop, main(), 30) == -signal.SIGKILL


def test_child_reaped_by_the_loop_only(aloop):
    # The loop reaps its child: waitpid afterwards finds nothing to reap,
    # and a zombie is never left behind.
    async def main():
        proc = await asyncio.create_subprocess_exec(PY, "-c", "pass")
        await proc.wait()
        return proc.pid

    pid = run(aloop, main(), 30)
    with pytest.raises(ChildProcessError):
        os.waitpid(pid, os.WNOHANG)


def test_the_loops_own_descriptors_are_close_on_exec(loop_factory):
    before = set(os.listdir("/proc/self/fd"))
    loop = loop_factory()
    try:
        loop.add_signal_handler(signal.SIGUSR2, lambda: None)
        run(loop, asyncio.sleep(0.01), 30)
        opened = {int(f) for f in set(os.listdir("/proc/self/fd")) - before}
        assert opened, "the loop holds descriptors"
        assert not {fd for fd in opened if _inheritable(fd)}
        loop.remove_signal_handler(signal.SIGUSR2)
    finally:
        loop.close()
