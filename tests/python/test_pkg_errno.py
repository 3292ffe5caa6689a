"""Failures reach the caller as the kernel numbered them: the same OSError
subclass, errno, strerror and filename as the standard loop's socket methods
and the built-in open() give. Rows that need a restricted process (a tiny
descriptor or file-size limit, an unprivileged user) run in a child that
measures both sides under the same restriction."""

import asyncio
import errno
import fcntl
import json
import os
import resource
import signal
import socket
import struct
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from helpers import free_port, reset, run  # noqa: E402

import ombrel  # noqa: E402

# ---- socket rows: the same coroutine on the standard loop and on ombrel ----


async def recv_closed(loop, shared):
    s = socket.socket()
    s.setblocking(False)
    s.close()
    await loop.sock_recv(s, 10)


async def sendall_closed(loop, shared):
    s = socket.socket()
    s.setblocking(False)
    s.close()
    await loop.sock_sendall(s, b"x")


async def sendall_unconnected_udp(loop, shared):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.setblocking(False)
        await loop.sock_sendall(s, b"x")


async def recv_unconnected_tcp(loop, shared):
    with socket.socket() as s:
        s.setblocking(False)
        await loop.sock_recv(s, 10)


async def connect_refused(loop, shared):
    with socket.socket() as s:
        s.setblocking(False)
        await loop.sock_connect(s, ("127.0.0.1", shared["port"]))


async def recv_reset(loop, shared):
    with socket.create_server(("127.0.0.1", 0)) as lsock, socket.create_connection(lsock.getsockname()) as a:
        reset(lsock.accept()[0])
        a.setblocking(False)
        await loop.sock_recv(a, 10)


async def sendall_shut(loop, shared):
    a, b = socket.socketpair()
    with a, b:
        a.setblocking(False)
        a.shutdown(socket.SHUT_WR)
        await loop.sock_sendall(a, b"x")


async def sendfile_shut(loop, shared):
    a, b = socket.socketpair()
    with a, b, open(os.path.join(shared["tmp"], "data"), "w+b") as f:
        f.write(b"x" * 1000)
        f.seek(0)
        a.setblocking(False)
        a.shutdown(socket.SHUT_WR)
        await loop.sock_sendfile(a, f)


async def server_in_use(loop, shared):
    with socket.create_server(("127.0.0.1", shared["port"])):
        await loop.create_server(asyncio.Protocol, "127.0.0.1", shared["port"], reuse_address=False)


async def bind_unavailable(loop, shared):
    # 192.0.2.1 (TEST-NET) is on no interface: the local bind fails.
    await loop.create_connection(asyncio.Protocol, "127.0.0.1", shared["port"], local_addr=("192.0.2.1", 0))


async def accept_no_descriptors(loop, shared):
    with socket.socket() as lsock:
        lsock.bind(("127.0.0.1", 0))
        lsock.listen()
        lsock.setblocking(False)
        client = socket.create_connection(lsock.getsockname())
        filler = []
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(client.fileno(), 64) + 1, hard))
        try:
            while True:
                filler.append(os.open("/dev/null", os.O_RDONLY))
        except OSError:
            pass
        try:
            conn, _ = await loop.sock_accept(lsock)
            conn.close()
        finally:
            for fd in filler:
                os.close(fd)
            resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
            client.close()


# ---- file rows: the built-in open() against ombrel.open() -----------------
# Each prepares a path and returns (path, mode, data to write or None).


def missing(tmp):
    return os.path.join(tmp, "missing", "f"), "rb", None


def existing(tmp):
    path = os.path.join(tmp, "f")
    with open(path, "wb"):
        pass
    return path, "xb", None


def directory(tmp):
    return tmp, "wb", None


def under_a_file(tmp):
    return os.path.join(existing(tmp)[0], "f"), "rb", None


def too_long(tmp):
    return os.path.join(tmp, "n" * 300), "rb", None


def symlink_loop(tmp):
    path = os.path.join(tmp, "loop")
    os.symlink(path, path)
    return path, "rb", None


def unix_socket(tmp):
    path = os.path.join(tmp, "sock")
    s = socket.socket(socket.AF_UNIX)
    s.bind(path)
    s.close()
    return path, "rb", None


def full_disk(tmp):
    return "/dev/full", "wb", b"x"


def bad_value(tmp):
    return "/proc/self/oom_score_adj", "wb", b"not a number\n"


def unreadable(tmp):
    path = os.path.join(tmp, "secret")
    if os.geteuid() == 0:  # the parent prepares it, the unprivileged child opens it
        with open(path, "wb"):
            pass
        os.chmod(path, 0o600)
    return path, "rb", None


FS_IOC_GETFLAGS, FS_IOC_SETFLAGS, FS_IMMUTABLE_FL = 0x80086601, 0x40086602, 0x10


def set_immutable(path, on):
    fd = os.open(path, os.O_RDONLY)
    try:
        flags = struct.unpack("i", fcntl.ioctl(fd, FS_IOC_GETFLAGS, b"\0" * 4))[0]
        flags = flags | FS_IMMUTABLE_FL if on else flags & ~FS_IMMUTABLE_FL
        fcntl.ioctl(fd, FS_IOC_SETFLAGS, struct.pack("i", flags))
    finally:
        os.close(fd)


def immutable(tmp):
    path = os.path.join(tmp, "fixed")
    with open(path, "wb"):
        pass
    try:
        set_immutable(path, True)
    except OSError as exc:
        pytest.skip(f"cannot make a file immutable here: {exc}")
    return path, "wb", None


def size_limited(tmp):
    path = os.path.join(tmp, "big")
    with open(path, "wb") as f:
        f.write(b"x" * 1024)
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (1024, resource.RLIM_INFINITY))
    return path, "ab", b"x"  # a short write would not fail: the file is at the limit


def outcome(exc):
    if exc is None:
        return "no error"
    return [type(exc).__name__, exc.errno, exc.strerror, exc.filename]


def builtin_open(path, mode, data):
    try:
        with open(path, mode, buffering=0) as f:
            if data is not None:
                f.write(data)
    except OSError as exc:
        return outcome(exc)
    return outcome(None)


async def ombrel_open(path, mode, data):
    try:
        f = await ombrel.open(path, mode, buffering=0)
        try:
            if data is not None:
                await f.write(data)
        finally:
            await f.close()
    except OSError as exc:
        return outcome(exc)
    return outcome(None)


def measure(kind, case, tmp):
    """[reference outcome, ombrel outcome] of one row, in this process."""
    if kind == "file":
        path, mode, data = case(tmp)
        try:
            ref = builtin_open(path, mode, data)
            lp = ombrel.new_event_loop()
            try:
                return [ref, run(lp, ombrel_open(path, mode, data))]
            finally:
                lp.close()
        finally:
            if case is immutable:
                set_immutable(path, False)
    results = []
    shared = {"port": free_port(), "tmp": tmp}  # the same address on both loops, for the same message
    for factory in (asyncio.new_event_loop, ombrel.new_event_loop):
        lp = factory()
        try:

            async def catch():
                try:
                    await case(lp, shared)
                except OSError as exc:
                    return outcome(exc)
                return outcome(None)

            results.append(run(lp, catch()))
        finally:
            lp.close()
    return results


# name: (kind, case, errno, how: "here" | "child" | "nobody")
ROWS = {
    "EBADF-recv": ("sock", recv_closed, errno.EBADF, "here"),
    "EBADF-sendall": ("sock", sendall_closed, errno.EBADF, "here"),
    "EDESTADDRREQ": ("sock", sendall_unconnected_udp, errno.EDESTADDRREQ, "here"),
    "ENOTCONN": ("sock", recv_unconnected_tcp, errno.ENOTCONN, "here"),
    "ECONNREFUSED": ("sock", connect_refused, errno.ECONNREFUSED, "here"),
    "ECONNRESET": ("sock", recv_reset, errno.ECONNRESET, "here"),
    "EPIPE": ("sock", sendall_shut, errno.EPIPE, "here"),
    "EPIPE-sendfile": ("sock", sendfile_shut, errno.EPIPE, "here"),
    "EADDRINUSE": ("sock", server_in_use, errno.EADDRINUSE, "here"),
    "EADDRNOTAVAIL": ("sock", bind_unavailable, errno.EADDRNOTAVAIL, "here"),
    "EMFILE": ("sock", accept_no_descriptors, errno.EMFILE, "child"),
    "ENOENT": ("file", missing, errno.ENOENT, "here"),
    "EEXIST": ("file", existing, errno.EEXIST, "here"),
    "EISDIR": ("file", directory, errno.EISDIR, "here"),
    "ENOTDIR": ("file", under_a_file, errno.ENOTDIR, "here"),
    "EACCES": ("file", unreadable, errno.EACCES, "nobody"),
    "EPERM": ("file", immutable, errno.EPERM, "here"),
    "ENAMETOOLONG": ("file", too_long, errno.ENAMETOOLONG, "here"),
    "ELOOP": ("file", symlink_loop, errno.ELOOP, "here"),
    "ENXIO": ("file", unix_socket, errno.ENXIO, "here"),
    "ENOSPC": ("file", full_disk, errno.ENOSPC, "here"),
    "EFBIG": ("file", size_limited, errno.EFBIG, "child"),
    "EINVAL": ("file", bad_value, errno.EINVAL, "here"),
}


@pytest.mark.timeout(60)
@pytest.mark.parametrize("name", list(ROWS))
def test_error_carries_the_kernels_number(name, tmp_path):
    kind, case, number, how = ROWS[name]
    tmp = str(tmp_path)
    if how == "here":
        ref, got = measure(kind, case, tmp)
    else:
        if how == "nobody":
            case(tmp)
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        drop = {"user": 65534, "group": 65534, "extra_groups": []} if how == "nobody" else {}
        proc = subprocess.run(
            [sys.executable, os.path.abspath(__file__), name, tmp],
            capture_output=True,
            text=True,
            timeout=30,
            env=env,
            cwd="/",
            **drop,
        )
        if proc.returncode == 3:
            pytest.skip(proc.stdout.strip())
        assert proc.returncode == 0, proc.stderr
        ref, got = json.loads(proc.stdout)
    assert ref != "no error" and ref[1] == number, ref
    assert got == ref


def child(name, tmp):
    kind, case, _, how = ROWS[name]
    if how == "nobody":
        try:
            ombrel.new_event_loop().close()
        except RuntimeError as exc:
            print(f"no io_uring for an unprivileged user here: {exc}")
            sys.exit(3)
    print(json.dumps(measure(kind, case, tmp)))


if __name__ == "__main__":
    child(sys.argv[1], sys.argv[2])
