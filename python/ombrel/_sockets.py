"""Low-level socket methods: sock_recv, sock_sendall, sock_connect, ...

Stream operations go to the engine's one-shot operations (`_sock_recv`,
`_sock_sendall`, `_sock_accept`, `_sock_sendfile`), whose futures abort the
kernel operation when cancelled. Connects and datagrams are tried at once
and, when they would block, wait for readiness through add_reader/add_writer,
as the standard loop does.

A cancelled receive or accept never loses what the kernel did: the engine
keeps what an aborted operation got for the next call on the socket, and a
result delivered to a task that was cancelled before it resumed is given
back to the engine here (`_sock_unrecv`, `_sock_unaccept`).

The engine fails its futures with the OSError the socket module would have
raised (errno, strerror and the subclass of the kernel's number), so they
pass through unchanged.
"""

from __future__ import annotations

import io
import os
import socket
import stat
from asyncio import exceptions
from typing import Any

from . import _borrowed
from ._loop_base import LoopBase
from ._readiness import READ, WRITE


def check_socket(loop: LoopBase, sock: Any) -> None:
    """The standard loop's checks: no SSL socket, and in debug mode only
    non-blocking sockets."""
    _borrowed.check_ssl_socket(sock)
    if loop._debug and sock.gettimeout() != 0:
        raise ValueError("the socket must be non-blocking")


def regular_file_fd(file: Any) -> int:
    """The descriptor of a regular file, or SendfileNotAvailableError: the
    engine's sendfile reads the file at offsets, which pipes and sockets
    do not allow."""
    try:
        fd = file.fileno()
    except (AttributeError, io.UnsupportedOperation):
        raise exceptions.SendfileNotAvailableError("not a regular file") from None
    try:
        mode = os.fstat(fd).st_mode
    except OSError:
        raise exceptions.SendfileNotAvailableError("not a regular file") from None
    if not stat.S_ISREG(mode):
        raise exceptions.SendfileNotAvailableError("not a regular file")
    return fd


class SocketsMixin(LoopBase):
    __slots__ = ()

    async def sock_recv(self, sock: Any, nbytes: int) -> bytes:
        check_socket(self, sock)
        fd = sock.fileno()
        fut = self._sock_recv(fd, nbytes)
        try:
            return await fut
        except OSError:
            raise
        except BaseException:
            _give_back_bytes(self, fd, fut)
            raise

    async def sock_recv_into(self, sock: Any, buf: Any) -> int:
        check_socket(self, sock)
        view = memoryview(buf).cast("B")
        fd = sock.fileno()
        # The engine receives into a buffer of its own; holding the view
        # over the wait keeps the caller's object from being resized.
        fut = self._sock_recv(fd, view.nbytes)
        try:
            data = await fut
        except OSError:
            raise
        except BaseException:
            _give_back_bytes(self, fd, fut)
            raise
        n = len(data)
        view[:n] = data
        return n

    async def sock_sendall(self, sock: Any, data: Any) -> None:
        check_socket(self, sock)
        # Done on return when the kernel took every byte at once: awaiting
        # it then does not suspend the task, as with the standard loop.
        await self._sock_sendall(sock.fileno(), data)

    async def sock_connect(self, sock: Any, address: Any) -> None:
        check_socket(self, sock)
        if sock.family in (socket.AF_INET, socket.AF_INET6):
            resolved = await self._ensure_resolved(
                address, family=sock.family, type=sock.type, proto=sock.proto, loop=self
            )
            address = resolved[0][4]
        # The connect call is made before the task first waits, as the
        # standard loop makes it: callers rely on the handshake being under
        # way then (a peer that accepts without a loop, for one). A ring
        # operation would only reach the kernel at the next loop iteration.
        await self._sock_connect_when_ready(sock, address)

    async def _sock_connect_when_ready(self, sock: Any, address: Any) -> None:
        try:
            sock.connect(address)
            return
        except (BlockingIOError, InterruptedError):
            pass
        fut = self.create_future()
        fd = sock.fileno()

        def writable() -> None:
            if fut.done():
                return
            try:
                err = sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
                if err != 0:
                    raise OSError(err, f"Connect call failed {address}")
            except (BlockingIOError, InterruptedError):
                return  # a spurious wake-up: still connecting
            except (SystemExit, KeyboardInterrupt):
                raise
            except BaseException as exc:
                fut.set_exception(exc)
            else:
                fut.set_result(None)

        self.add_writer(fd, writable)
        try:
            await fut
        finally:
            _unwatch(self, fd, True, writable)
            fut = None  # type: ignore[assignment]  # breaks the cycle with an exception

    async def sock_accept(self, sock: Any) -> tuple[socket.socket, Any]:
        check_socket(self, sock)
        fd = sock.fileno()
        # A client that is already waiting costs no ring operation, unless
        # a cancelled accept left a connection, which comes first.
        if not self._sock_has_kept(fd):
            try:
                conn, address = sock.accept()
            except (BlockingIOError, InterruptedError):
                pass
            else:
                conn.setblocking(False)
                return conn, address
        fut = self._sock_accept(fd)
        try:
            conn_fd = await fut
        except OSError:
            raise
        except BaseException:
            # Cancelled after the engine had accepted (the result was
            # delivered, the task not yet resumed): the connection is the
            # next accept's.
            if fut.done() and not fut.cancelled() and fut.exception() is None:
                self._sock_unaccept(fd, fut.result())
            raise
        return accepted_socket(sock, conn_fd)

    async def sock_recvfrom(self, sock: Any, bufsize: int) -> tuple[bytes, Any]:
        check_socket(self, sock)
        return await self._when_ready(sock, False, "recvfrom", bufsize)

    async def sock_recvfrom_into(self, sock: Any, buf: Any, nbytes: int = 0) -> tuple[int, Any]:
        check_socket(self, sock)
        if not nbytes:
            nbytes = len(buf)
        return await self._when_ready(sock, False, "recvfrom_into", buf, nbytes)

    async def sock_sendto(self, sock: Any, data: Any, address: Any) -> int:
        check_socket(self, sock)
        return await self._when_ready(sock, True, "sendto", data, address)

    async def _when_ready(self, sock: Any, write: bool, method: str, *args: Any) -> Any:
        """`sock.method(*args)` now, or each time the socket is ready until
        it stops raising BlockingIOError. The method is looked up at each
        attempt, as the standard loop does."""
        try:
            return getattr(sock, method)(*args)
        except (BlockingIOError, InterruptedError):
            pass
        fut = self.create_future()
        fd = sock.fileno()

        def ready() -> None:
            if fut.done():
                return
            try:
                result = getattr(sock, method)(*args)
            except (BlockingIOError, InterruptedError):
                return
            except (SystemExit, KeyboardInterrupt):
                raise
            except BaseException as exc:
                fut.set_exception(exc)
            else:
                fut.set_result(result)

        if write:
            self.add_writer(fd, ready)
        else:
            self.add_reader(fd, ready)
        try:
            return await fut
        finally:
            _unwatch(self, fd, write, ready)
            fut = None  # type: ignore[assignment]

    async def sock_sendfile(
        self, sock: Any, file: Any, offset: int = 0, count: int | None = None, *, fallback: bool | None = True
    ) -> int:
        check_socket(self, sock)
        self._check_sendfile_params(sock, file, offset, count)
        try:
            return await self._sendfile_fd(sock.fileno(), file, offset, count)
        except exceptions.SendfileNotAvailableError:
            if not fallback:
                raise
        return await self._sock_sendfile_fallback(sock, file, offset, count)

    async def _sendfile_fd(self, fd: int, file: Any, offset: int, count: int | None) -> int:
        """The engine's sendfile of a regular file to socket descriptor fd.
        As with the standard loop, the file's position ends after the last
        byte sent, also when the send fails or is cancelled part way."""
        file_fd = regular_file_fd(file)
        if not count and not os.fstat(file_fd).st_size:
            return 0  # an empty file: nothing to send, nothing to move
        sent = [0]
        fut = self._sock_sendfile(fd, file_fd, offset, -1 if count is None else count, sent)
        try:
            return await fut
        finally:
            file.seek(offset + sent[0])

    # The argument checks and the read-and-send fallback are the standard
    # loop's own; they rely on nothing but sock_sendall and the executor.
    _check_sendfile_params = _borrowed.check_sendfile_params
    _sock_sendfile_fallback = _borrowed.sock_sendfile_fallback
    _ensure_resolved = _borrowed.ensure_resolved


def _unwatch(loop: LoopBase, fd: int, write: bool, callback: Any) -> None:
    """Removes the reader or writer of fd if it is still `callback`'s. A
    cancelled task gets here a pass after its cancellation, by which time
    a new operation on the socket may have put its own in place."""
    watch = loop._watches.get((fd, WRITE if write else READ))
    if watch is not None and watch.callback is callback:
        loop._remove_watch(fd, WRITE if write else READ)


def _give_back_bytes(loop: LoopBase, fd: int, fut: Any) -> None:
    """A task stopped (cancelled, mostly) after its receive had delivered
    but before it resumed: asyncio drops the result, so the bytes go back
    to the engine, first in line for the next receive on fd."""
    if fut.done() and not fut.cancelled() and fut.exception() is None:
        loop._sock_unrecv(fd, fut.result())


def accepted_socket(listener: Any, fd: int) -> tuple[socket.socket, Any]:
    """(conn, address) for a descriptor accepted on `listener`, as
    socket.accept() returns it, with conn non-blocking and not inherited."""
    conn = socket.socket(listener.family, listener.type, listener.proto, fileno=fd)
    try:
        conn.setblocking(False)
        os.set_inheritable(fd, False)
    except OSError:
        conn.close()
        raise
    try:
        address = conn.getpeername()
    except OSError:
        address = None  # the peer is gone already; reading will tell
    return conn, address
