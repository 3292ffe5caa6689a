"""A closed loop leaves its ring to the next loop of the process. What that
must not change: a loop runs on any thread, descriptors the program took
over are left alone, and a forked child has its own loop.

Each case starts from a fresh process, so that the first loop's ring is the
one left behind.
"""

import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.timeout(60)

PRELUDE = """
import asyncio, os, socket, threading, ombrel

def ring_descriptors():
    found = set()
    for fd in os.listdir("/proc/self/fd"):
        try:
            link = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:
            continue  # the listing's own
        if link in ("anon_inode:[io_uring]", "anon_inode:[eventfd]"):
            found.add(int(fd))
    return found

ombrel.run(asyncio.sleep(0))  # its ring is left behind, enabled by this thread
kept = ring_descriptors()
"""

CASES = {
    # Created here with a read started, run elsewhere: the kept ring is bound
    # to this thread, so the loop moves to a fresh one with the read.
    "another-thread": """
        loop = ombrel.new_event_loop()
        a, b = socket.socketpair()
        a.setblocking(False)
        got = []
        loop.add_reader(a.fileno(), lambda: (got.append(a.recv(10)), loop.stop()))
        b.send(b"hi")
        t = threading.Thread(target=lambda: (loop.run_forever(), loop.close()))
        t.start()
        t.join(20)
        result = got
    """,
    # A program that closes what it does not know of and reuses the numbers:
    # the next loop must neither use nor close those descriptors.
    "numbers-reused": """
        for fd in kept:
            os.close(fd)
        mine = [os.open("/dev/null", os.O_RDONLY) for _ in kept]
        assert set(mine) == kept, (mine, kept)
        ids = [os.fstat(fd).st_ino for fd in mine]
        result = [len(kept), ombrel.run(asyncio.sleep(0, "ran")), ombrel.run(asyncio.sleep(0, "again"))]
        assert [os.fstat(fd).st_ino for fd in mine] == ids
    """,
    # The same while a loop uses them: its close leaves the program's files.
    "numbers-reused-under-a-loop": """
        first = ombrel.new_event_loop()  # takes the kept ring
        loop = ombrel.new_event_loop()  # makes its own
        theirs = sorted(ring_descriptors() - kept)
        for fd in theirs:
            os.close(fd)
        mine = [os.open(path, os.O_RDONLY) for path in ("/dev/null", "/dev/zero")]
        assert mine == theirs, (mine, theirs)
        ids = [os.fstat(fd).st_ino for fd in mine]
        loop.close()
        first.close()
        result = [ombrel.run(asyncio.sleep(0, "ran"))]
        assert [os.fstat(fd).st_ino for fd in mine] == ids
    """,
    # A child of fork gets its own ring; the parent's is not shared with it.
    "fork": """
        pid = os.fork()
        if pid == 0:
            try:
                ok = ombrel.run(asyncio.sleep(0, "child")) == "child"
            finally:
                os._exit(0 if ok else 1)
        _, status = os.waitpid(pid, 0)
        result = [os.waitstatus_to_exitcode(status), ombrel.run(asyncio.sleep(0, "parent"))]
    """,
}

EXPECTED = {
    "another-thread": [b"hi"],
    "numbers-reused": [2, "ran", "again"],
    "numbers-reused-under-a-loop": ["ran"],
    "fork": [0, "parent"],
}


@pytest.mark.parametrize("case", CASES)
def test_a_loop_after_a_closed_one_behaves_as_the_first(case):
    code = PRELUDE + textwrap.dedent(CASES[case]) + "\nprint(repr(result))\n"
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=50)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == repr(EXPECTED[case])
