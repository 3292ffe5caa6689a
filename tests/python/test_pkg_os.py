"""ombrel.os against os: every call, on a successful and on a failing case,
gives the result and the exception os gives, on ombrel's loop (the ring for
the calls it carries, the executor for the rest) and on the standard loop
(the executor)."""

import asyncio
import contextlib
import os
import pathlib
import shutil
import stat

import ombrel.os as aos
import pytest

from helpers import is_ombrel, run

pytestmark = pytest.mark.timeout(60)


def build(t):
    """The tree each case starts from."""
    os.makedirs(f"{t}/d/inner")
    os.mkdir(f"{t}/e")
    with open(f"{t}/f", "wb") as fh:
        fh.write(b"hello")
    os.utime(f"{t}/f", ns=(10**18, 10**18))  # the same on every rebuild: utime's effect shows
    with open(f"{t}/d/g", "wb") as fh:
        fh.write(b"g")
    os.symlink("f", f"{t}/l")
    os.symlink("nope", f"{t}/dangling")
    os.symlink("loop", f"{t}/loop")


def snapshot(t):
    """What a call can change: names, kinds, permission bits, sizes, links,
    and times set on purpose (a time of now reads as one value)."""
    seen = []
    for root, dirs, files in os.walk(t):
        for name in dirs + files:
            p = os.path.join(root, name)
            st = os.lstat(p)
            link = os.readlink(p) if stat.S_ISLNK(st.st_mode) else None
            size = st.st_size if stat.S_ISREG(st.st_mode) else None
            seen.append((os.path.relpath(p, t), st.st_mode, size, link, min(st.st_mtime_ns, 10**18 + 1)))
    return sorted(seen)


def comparable(value):
    if isinstance(value, os.stat_result):
        return tuple(getattr(value, k) for k in dir(value) if k.startswith("st_"))
    if isinstance(value, os.statvfs_result):
        return (value.f_bsize, value.f_frsize, value.f_flag, value.f_namemax)
    if hasattr(value, "is_junction"):  # os.DirEntry, or the one the engine's reads make
        queries = (value.is_dir, value.is_file, value.is_symlink, value.inode, value.stat)
        return (value.name, value.path, *(outcome(q) for q in queries))
    if isinstance(value, list):
        return sorted(map(comparable, value))
    return value


def outcome(call):
    try:
        return "ok", comparable(call())
    except BaseException as exc:  # noqa: BLE001 - the exception is the outcome
        return (
            type(exc),
            getattr(exc, "errno", None),
            getattr(exc, "strerror", None),
            str(exc) if not isinstance(exc, OSError) else None,
            getattr(exc, "filename", None),
            getattr(exc, "filename2", None),
        )


async def scandir_list(path):
    async with await aos.scandir(path) as it:
        return [entry async for entry in it]


def os_scandir_list(path):
    with os.scandir(path) as it:
        return list(it)


OPENED = []  # descriptors a case opened; the test closes them


def opened(fd):
    OPENED.append(fd)
    return fd


def big_dir(t):
    """A directory longer than one read batch."""
    os.mkdir(f"{t}/big")
    for i in range(3000):
        os.close(os.open(f"{t}/big/entry-with-a-longish-name-{i:05d}", os.O_CREAT | os.O_WRONLY, 0o644))
    return f"{t}/big"


def sendfile_args(t):
    return opened(os.open(f"{t}/out", os.O_WRONLY | os.O_CREAT, 0o644)), opened(os.open(f"{t}/f", os.O_RDONLY)), 1, 3


# (function name, args made from the tree root t, kwargs or a function of t
# making them, whether it changes the tree).
# Non-mutating calls run both sides on one tree; the others on a fresh tree
# each, then compare what the tree became.
R, W = False, True
CASES = [
    ("stat", lambda t: (f"{t}/f",), {}, R),
    ("stat", lambda t: (pathlib.Path(t, "l"),), {"follow_symlinks": False}, R),
    ("stat", lambda t: (f"{t}/nope".encode(),), {}, R),
    ("stat", lambda t: (pathlib.Path(t, "dangling"),), {}, R),
    ("stat", lambda t: ("",), {}, R),
    ("stat", lambda t: (f"{t}/f\0x",), {}, R),
    ("stat", lambda t: (3.5,), {}, R),
    ("stat", lambda t: ("f",), lambda t: {"dir_fd": opened(os.open(t, os.O_RDONLY))}, R),
    ("lstat", lambda t: (f"{t}/dangling",), {}, R),
    ("lstat", lambda t: (f"{t}/f/x",), {}, R),
    ("rename", lambda t: (f"{t}/f", f"{t}/f2"), {}, W),
    ("rename", lambda t: (f"{t}/nope", f"{t}/x"), {}, W),
    ("rename", lambda t: (f"{t}/e", f"{t}/f"), {}, W),
    ("rename", lambda t: (f"{t}/f", f"{t}/x".encode()), {}, W),
    ("renames", lambda t: (f"{t}/f", f"{t}/new/sub/f"), {}, W),
    ("renames", lambda t: (f"{t}/nope", f"{t}/new/x"), {}, W),
    ("replace", lambda t: (f"{t}/f", f"{t}/d/g"), {}, W),
    ("replace", lambda t: (pathlib.Path(t, "e"), f"{t}/d"), {}, W),
    ("remove", lambda t: (f"{t}/f",), {}, W),
    ("remove", lambda t: (f"{t}/d",), {}, W),
    ("unlink", lambda t: (f"{t}/l".encode(),), {}, W),
    ("unlink", lambda t: (f"{t}/nope",), {}, W),
    ("mkdir", lambda t: (f"{t}/m", 0o750), {}, W),
    ("mkdir", lambda t: (f"{t}/f",), {}, W),
    ("mkdir", lambda t: (f"{t}/m", -1), {}, W),
    ("makedirs", lambda t: (f"{t}/a/b/c",), {}, W),
    ("makedirs", lambda t: (f"{t}/f/x",), {}, W),
    ("rmdir", lambda t: (f"{t}/e",), {}, W),
    ("rmdir", lambda t: (f"{t}/d",), {}, W),
    ("removedirs", lambda t: (f"{t}/d/inner",), {}, W),
    ("removedirs", lambda t: (f"{t}/nope",), {}, W),
    ("link", lambda t: (f"{t}/f", f"{t}/h"), {}, W),
    ("link", lambda t: (f"{t}/nope", f"{t}/h"), {}, W),
    ("symlink", lambda t: ("f", f"{t}/s"), {}, W),
    ("symlink", lambda t: ("f", f"{t}/f"), {}, W),
    ("symlink", lambda t: (b"f", f"{t}/nodir/s".encode()), {}, W),
    ("link", lambda t: (f"{t}/l", f"{t}/h"), {"follow_symlinks": False}, W),
    ("link", lambda t: (f"{t}/f", f"{t}/d"), {}, W),
    ("readlink", lambda t: (f"{t}/l",), {}, R),
    ("readlink", lambda t: (f"{t}/f",), {}, R),
    ("readlink", lambda t: (pathlib.Path(t, "dangling"),), {}, R),
    ("readlink", lambda t: (f"{t}/l".encode(),), {}, R),
    ("readlink", lambda t: (f"{t}/nope",), {}, R),
    ("listdir", lambda t: (t,), {}, R),
    ("listdir", lambda t: (f"{t}/nope",), {}, R),
    ("listdir", lambda t: (t.encode(),), {}, R),
    ("listdir", lambda t: (pathlib.Path(t, "f"),), {}, R),
    ("listdir", lambda t: (f"{t}/loop",), {}, R),
    ("listdir", lambda t: (big_dir(t),), {}, R),
    ("access", lambda t: (f"{t}/f", os.R_OK), {}, R),
    ("access", lambda t: (f"{t}/nope", os.F_OK), {}, R),
    ("access", lambda t: (f"{t}/f", "r"), {}, R),
    ("access", lambda t: (f"{t}/loop", os.F_OK), {}, R),
    ("access", lambda t: (f"{t}/dangling", os.R_OK | os.W_OK), {"follow_symlinks": False}, R),
    ("access", lambda t: (f"{t}/f", 8), {}, R),
    ("chmod", lambda t: (f"{t}/f", 0o600), {}, W),
    ("chmod", lambda t: (f"{t}/nope", 0o600), {}, W),
    ("chown", lambda t: (f"{t}/f", -1, -1), {}, W),
    ("chmod", lambda t: (f"{t}/dangling".encode(), 0o600), {}, W),
    ("chmod", lambda t: (f"{t}/f", 0o10000), {}, W),
    ("chown", lambda t: (f"{t}/nope", -1, -1), {}, W),
    ("chown", lambda t: (f"{t}/l", -1, os.getgid()), {"follow_symlinks": False}, W),
    ("chown", lambda t: (f"{t}/f", -2, -1), {}, W),
    ("utime", lambda t: (f"{t}/f", (1, 2)), {}, W),
    ("utime", lambda t: (f"{t}/nope",), {}, W),
    ("utime", lambda t: (f"{t}/f",), {"ns": (2 * 10**18, -(3 * 10**9) - 7)}, W),
    ("utime", lambda t: (f"{t}/l",), {"ns": (5, 6), "follow_symlinks": False}, W),
    ("utime", lambda t: (f"{t}/nope", (1, 2)), {}, W),
    ("truncate", lambda t: (f"{t}/f", 2), {}, W),
    ("truncate", lambda t: (f"{t}/d", 2), {}, W),
    ("statvfs", lambda t: (t,), {}, R),
    ("statvfs", lambda t: (f"{t}/nope",), {}, R),
    ("sendfile", sendfile_args, {}, W),
    ("sendfile", lambda t: (-1, -1, 0, 1), {}, W),
    ("path.exists", lambda t: (f"{t}/l",), {}, R),
    ("path.exists", lambda t: (f"{t}/dangling",), {}, R),
    ("path.isfile", lambda t: (f"{t}/f",), {}, R),
    ("path.isfile", lambda t: (f"{t}/d",), {}, R),
    ("path.isdir", lambda t: (f"{t}/d",), {}, R),
    ("path.isdir", lambda t: (f"{t}/f\0",), {}, R),
    ("path.islink", lambda t: (f"{t}/l",), {}, R),
    ("path.islink", lambda t: (f"{t}/f",), {}, R),
    ("path.ismount", lambda t: ("/",), {}, R),
    ("path.ismount", lambda t: (t,), {}, R),
    ("path.getsize", lambda t: (f"{t}/f",), {}, R),
    ("path.getsize", lambda t: (f"{t}/nope",), {}, R),
    ("path.getatime", lambda t: (f"{t}/f",), {}, R),
    ("path.getatime", lambda t: (f"{t}/nope",), {}, R),
    ("path.getmtime", lambda t: (f"{t}/f",), {}, R),
    ("path.getmtime", lambda t: (f"{t}/nope",), {}, R),
    ("path.getctime", lambda t: (f"{t}/f",), {}, R),
    ("path.getctime", lambda t: (f"{t}/nope",), {}, R),
    ("path.samefile", lambda t: (f"{t}/l", f"{t}/f"), {}, R),
    ("path.samefile", lambda t: (f"{t}/nope", f"{t}/f"), {}, R),
    ("path.sameopenfile", lambda t: (0, 0), {}, R),
    ("path.sameopenfile", lambda t: (-1, 0), {}, R),
    ("path.abspath", lambda t: ("x/../y",), {}, R),
    ("path.abspath", lambda t: (1,), {}, R),
]


def resolve(module, dotted):
    for part in dotted.split("."):
        module = getattr(module, part)
    return module


@pytest.mark.parametrize(("name", "make_args", "kwargs", "mutates"), CASES)
def test_call_matches_os(aloop, tmp_path, name, make_args, kwargs, mutates):
    t = str(tmp_path / "t")
    build(t)
    kw = kwargs(t) if callable(kwargs) else kwargs
    args = make_args(t)
    try:
        ours = outcome(lambda: run(aloop, resolve(aos, name)(*args, **kw)))
        after = snapshot(t) if mutates else None
        if mutates:
            shutil.rmtree(t)
            build(t)
            args = make_args(t)
        theirs = outcome(lambda: resolve(os, name)(*args, **kw))
    finally:
        while OPENED:
            os.close(OPENED.pop())
    assert ours == theirs
    if mutates:
        assert after == snapshot(t)


def test_scandir_and_wrap(aloop, tmp_path):
    t = str(tmp_path)
    build(t)
    assert comparable(run(aloop, scandir_list(t))) == comparable(os_scandir_list(t))
    assert outcome(lambda: run(aloop, scandir_list(f"{t}/nope"))) == outcome(lambda: os_scandir_list(f"{t}/nope"))
    # The iterator aiofiles hands out works synchronously as well, also
    # after some entries were read asynchronously (bytes names here).
    it = run(aloop, aos.scandir(t))
    with it:
        assert sorted(e.name for e in it) == sorted(os.listdir(t))
    big = big_dir(t).encode()

    async def first_entries(n):
        it = await aos.scandir(big)
        return it, [await anext(it) for _ in range(n)]

    for n in (1, 2500):
        it, first = run(aloop, first_entries(n))
        with it:
            names = [e.name for e in first] + [e.name for e in it]
        assert sorted(names) == sorted(os.listdir(big))
    getcwd = aos.wrap(os.getcwd)
    assert run(aloop, getcwd()) == os.getcwd()
    assert outcome(lambda: run(aloop, aos.wrap(os.stat)(f"{t}/nope"))) == outcome(lambda: os.stat(f"{t}/nope"))


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def test_ring_call_cancels(aloop, tmp_path):
    """A cancelled engine operation leaves the loop usable and no descriptor
    open; on ombrel's loop none of the calls below went through a thread."""
    t = str(tmp_path / "t")
    build(t)
    big = big_dir(t)

    async def main():
        task = asyncio.ensure_future(aos.stat(tmp_path))
        await asyncio.sleep(0)  # the operation is under way
        if task.cancel():  # an executor's stat may already be back
            with pytest.raises(asyncio.CancelledError):
                await task
        many = await asyncio.gather(*(aos.stat(tmp_path) for _ in range(64)))
        await aos.listdir(t)  # the engine's pool is up: what it keeps open is counted
        fds = open_fds()
        # A listing cancelled at each of its steps (open, batches, close).
        for steps in range(6):
            task = asyncio.ensure_future(aos.listdir(big))
            for _ in range(steps):
                await asyncio.sleep(0)
            task.cancel()
            with contextlib.suppress(asyncio.CancelledError):  # the listing may have ended first
                await task
        await aos.symlink("f", f"{t}/s")
        await aos.link(f"{t}/f", f"{t}/h")
        await aos.chmod(f"{t}/h", 0o600)
        await aos.chown(f"{t}/h", -1, -1)
        await aos.utime(f"{t}/s", ns=(1, 2), follow_symlinks=False)
        assert await aos.path.samefile(f"{t}/h", f"{t}/f")
        async with await aos.scandir(t) as it:
            entries = [(e.name, e.is_dir(follow_symlinks=False), e.is_symlink()) async for e in it]
        assert open_fds() == fds
        return many, entries, await aos.readlink(f"{t}/s"), await aos.access(f"{t}/h", os.R_OK)

    many, entries, text, readable = run(aloop, main())
    assert {comparable(s) for s in many} == {comparable(os.stat(tmp_path))}
    assert sorted(entries) == sorted((e.name, e.is_dir(follow_symlinks=False), e.is_symlink()) for e in os.scandir(t))
    assert (text, readable, os.lstat(f"{t}/s").st_mtime_ns, os.stat(f"{t}/h").st_mode & 0o777) == ("f", True, 2, 0o600)
    assert (aloop._default_executor is None) == is_ombrel(aloop)
