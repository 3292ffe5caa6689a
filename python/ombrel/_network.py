"""Streams and servers: create_connection, create_server, start_tls, ...

The public methods are the standard loop's own code (base_events and
unix_events), bound into this class: their argument checks, name
resolution, happy eyeballs, error aggregation, socket options and `Server`
are what asyncio users rely on, and nothing in them depends on how the loop
does I/O. They reach the loop through a few hooks, which are ombrel's:

- `_make_socket_transport`: a `SocketTransport` over the engine's native
  stream transport; `_make_ssl_transport` stacks asyncio's SSLProtocol on
  one.
- `_start_serving`/`_stop_serving`: an accept loop on the engine's
  `_sock_accept` per listening socket.
- `_sendfile_native`: the engine's sendfile on the transport's socket.
- `sock_connect` and friends (`_sockets.py`).
"""

from __future__ import annotations

import errno
import os
import socket
from asyncio import base_events, constants, exceptions, protocols, sslproto, trsock
from asyncio.log import logger
from typing import TYPE_CHECKING, Any, cast

from . import _borrowed
from ._sockets import SocketsMixin, accepted_socket, regular_file_fd
from ._transport import SendfileProtocol, SocketTransport

if TYPE_CHECKING:
    import asyncio

    from ._loop_base import LoopBase
    from ._native import SockFuture


# Accept errors after which the listening socket is of no more use.
_FATAL_ACCEPT = {errno.EBADF, errno.ENOTSOCK, errno.EINVAL, errno.EOPNOTSUPP}
# Accept errors of a process or system out of descriptors or memory: the
# standard loop reports them and tries again after a pause.
_EXHAUSTED = {errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM}


class _Acceptor:
    """Keeps one native accept in flight on a listening socket and hands
    each accepted connection to the loop."""

    __slots__ = ("loop", "sock", "args", "op", "retry", "stopped")

    def __init__(self, loop: NetworkMixin, sock: socket.socket, args: tuple[Any, ...]) -> None:
        self.loop = loop
        self.sock = sock
        self.args = args  # protocol_factory, sslcontext, server, timeouts
        self.op: SockFuture | None = None
        self.retry: asyncio.TimerHandle | None = None
        self.stopped = False

    def start(self) -> None:
        self.retry = None
        if self.stopped:
            return
        op = self.op = self.loop._sock_accept(self.sock.fileno())
        op.add_done_callback(self._accepted)

    def stop(self, now: bool = False) -> list[int]:
        """Ends the accept loop. With `now`, no accept of this loop takes
        anything from the socket once this returns, and the connections
        accepted on it but not handed over are returned (the caller's);
        otherwise they stay kept for the socket's next accept."""
        self.stopped = True
        if self.retry is not None:
            self.retry.cancel()
            self.retry = None
        op, self.op = self.op, None
        if op is not None:
            op.remove_done_callback(self._accepted)
            if op.done():
                # Accepted, but _accepted is only scheduled: the connection
                # goes back to the engine, first in line for the socket.
                if not op.cancelled() and op.exception() is None:
                    self.loop._sock_unaccept(self.sock.fileno(), op.result())
                op = None
        if self.loop.is_closed():
            return []  # a closed loop has dropped its accept and what it kept
        if now:
            return self.loop._sock_accept_stop(self.sock.fileno(), op)
        if op is not None:
            # The engine aborts the accept and keeps a connection it
            # accepted anyway.
            op.cancel()
        return []

    def serve_accepted(self, fds: list[int]) -> None:
        """Serves connections accepted before the server closed, as clients
        of the server: their peers believe they are connected."""
        for fd in fds:
            self._connect(fd, closing=True)

    def _accepted(self, op: asyncio.Future[int]) -> None:
        if op is not self.op:
            return  # stopped meanwhile
        self.op = None
        if op.cancelled():
            return
        # The engine fails an accept with an OSError only.
        exc = cast(OSError | None, op.exception())
        if exc is None:
            # The next accept goes in flight before this connection is set
            # up, so a burst of clients is not served one loop pass apart.
            self.start()
            self._connect(op.result())
            return
        if isinstance(exc, ConnectionAbortedError) or exc.errno in (errno.EAGAIN, errno.EINTR):
            self.start()  # that client gave up before it was accepted
            return
        loop = self.loop
        if exc.errno in _EXHAUSTED:
            message = "socket.accept() out of system resource"
        else:
            message = "Error on accepting a connection"
        loop.call_exception_handler(
            {
                "message": message,
                "exception": exc,
                "socket": trsock.TransportSocket(self.sock),
            }
        )
        if exc.errno not in _FATAL_ACCEPT:
            self.retry = loop.call_later(constants.ACCEPT_RETRY_DELAY, self.start)

    def _connect(self, fd: int, closing: bool = False) -> None:
        loop = self.loop
        try:
            conn, address = accepted_socket(self.sock, fd)
        except OSError as exc:
            loop.call_exception_handler(
                {
                    "message": "Error on setting up an accepted connection",
                    "exception": exc,
                    "socket": trsock.TransportSocket(self.sock),
                }
            )
            return
        if loop._debug:
            logger.debug("%r got a new connection from %r: %r", self.args[2], address, conn)
        protocol_factory, sslcontext, server, hs_timeout, sd_timeout = self.args
        # asyncio's Server takes no new client once closed (_attach asserts
        # it is open). Within its close() a connection is added to its
        # clients directly, before close() looks whether any remain, so
        # that wait_closed() waits for it; a TLS connection, set up by a
        # task after close() has returned, is served without the server.
        attach = server if not closing else None
        extra = {"peername": address}
        if sslcontext:
            loop.create_task(
                loop._accept_connection2(protocol_factory, conn, extra, sslcontext, attach, hs_timeout, sd_timeout)
            )
            return
        protocol = None
        try:
            protocol = protocol_factory()
            transport = loop._make_socket_transport(conn, protocol, None, extra=extra, server=attach)
            if server is not None and attach is None:
                server._clients.add(transport)
                transport._server = server
        except (SystemExit, KeyboardInterrupt):
            conn.close()
            raise
        except BaseException as exc:
            conn.close()
            # As the standard loop: the server has no one to tell but the
            # debug log.
            if loop._debug:
                context = {
                    "message": "Error on transport creation for incoming connection",
                    "exception": exc,
                }
                if protocol is not None:
                    context["protocol"] = protocol
                loop.call_exception_handler(context)


def _feed_kept(loop: LoopBase, transport: SocketTransport, data: bytes) -> None:
    if transport.is_closing():
        return
    protocol = transport.get_protocol()
    try:
        if isinstance(protocol, protocols.BufferedProtocol):
            _borrowed.feed_data_to_buffered_proto(protocol, data)
        else:
            protocol.data_received(data)  # type: ignore[attr-defined]
    except (SystemExit, KeyboardInterrupt):
        raise
    except BaseException as exc:
        loop.call_exception_handler(
            {
                "message": "Fatal error: protocol.data_received() call failed.",
                "exception": exc,
                "transport": transport,
                "protocol": protocol,
            }
        )
        transport._force_close(exc)


class NetworkMixin(SocketsMixin):
    __slots__ = ()

    # Hooks of the standard code below.

    def _make_socket_transport(
        self,
        sock: socket.socket,
        protocol: asyncio.BaseProtocol,
        waiter: asyncio.Future[None] | None = None,
        *,
        extra: dict[str, Any] | None = None,
        server: Any = None,
    ) -> SocketTransport:
        info = dict(extra) if extra else {}
        _borrowed.set_nodelay(sock)
        fd = sock.fileno()
        transport = SocketTransport(self, sock, protocol, info, server)
        self.call_soon(protocol.connection_made, transport)
        self.call_soon(transport._start, waiter)
        # Bytes a cancelled sock_recv took from this socket belong to the
        # stream: the protocol gets them first, in the pass that starts
        # reading (native receives are delivered after it).
        kept = self._sock_take_kept(fd)
        if kept:
            self.call_soon(_feed_kept, self, transport, kept)
        return transport

    def _make_ssl_transport(
        self,
        rawsock: socket.socket,
        protocol: asyncio.BaseProtocol,
        sslcontext: Any,
        waiter: asyncio.Future[None] | None = None,
        *,
        server_side: bool = False,
        server_hostname: str | None = None,
        extra: dict[str, Any] | None = None,
        server: Any = None,
        ssl_handshake_timeout: float | None = constants.SSL_HANDSHAKE_TIMEOUT,
        ssl_shutdown_timeout: float | None = constants.SSL_SHUTDOWN_TIMEOUT,
    ) -> asyncio.Transport:
        ssl_protocol = sslproto.SSLProtocol(
            self,
            protocol,
            sslcontext,
            # asyncio's stubs want a waiter and a whole number of seconds;
            # the class takes None and any float, as the standard loop
            # passes them.
            cast(Any, waiter),
            server_side,
            server_hostname,
            ssl_handshake_timeout=cast(Any, ssl_handshake_timeout),
            ssl_shutdown_timeout=ssl_shutdown_timeout,
        )
        self._make_socket_transport(rawsock, ssl_protocol, extra=extra, server=server)
        return ssl_protocol._app_transport

    def _start_serving(
        self,
        protocol_factory: Any,
        sock: socket.socket,
        sslcontext: Any = None,
        server: Any = None,
        backlog: int = 100,
        ssl_handshake_timeout: float | None = constants.SSL_HANDSHAKE_TIMEOUT,
        ssl_shutdown_timeout: float | None = constants.SSL_SHUTDOWN_TIMEOUT,
    ) -> None:
        self._check_closed()
        old = self._acceptors.pop(sock, None)
        if old is not None:
            old.stop()
        acceptor = _Acceptor(
            self, sock, (protocol_factory, sslcontext, server, ssl_handshake_timeout, ssl_shutdown_timeout)
        )
        self._acceptors[sock] = acceptor
        acceptor.start()

    def _stop_serving(self, sock: socket.socket) -> None:
        # The socket may be shared (forked workers, dup()s, socket
        # activation): closing it ends this process's part only, where a
        # shutdown() would stop the listening for every one of them. The
        # accept in flight is stopped in the kernel before the close, so
        # the close releases the socket and no connection is taken from it
        # afterwards; what was accepted for this loop before is served.
        acceptor = self._acceptors.pop(sock, None)
        if acceptor is not None:
            acceptor.serve_accepted(acceptor.stop(now=True))
        # Connections kept from cancelled sock_accept()s: nobody will take them.
        self._sock_take_kept(sock.fileno())
        # A UNIX server created with cleanup_socket removes its path, unless
        # someone else has bound it since (another inode).
        path = sock.getsockname() if sock in self._unix_server_sockets else None
        sock.close()
        if path is not None:
            inode = self._unix_server_sockets.pop(sock)
            try:
                if os.stat(path).st_ino == inode:
                    os.unlink(path)
            except FileNotFoundError:
                pass
            except OSError as err:
                logger.error("Unable to clean up listening UNIX socket %r: %r", path, err)

    def _stop_all_serving(self) -> None:
        for acceptor in self._acceptors.values():
            acceptor.stop()
        self._acceptors.clear()

    async def _sendfile_native(self, transp: Any, file: Any, offset: int, count: int | None) -> int:
        if not isinstance(transp, SocketTransport) or transp._sock_fd < 0:
            raise exceptions.SendfileNotAvailableError(f"sendfile is not supported for transport {transp!r}")
        regular_file_fd(file)  # before the transport is touched
        proto = SendfileProtocol(transp)
        try:
            await proto.drain()
            # A descriptor of our own: the transport may close its socket
            # (peer gone) while the file is still being sent, and the
            # number must not reach a socket that reuses it.
            fd = os.dup(transp._sock_fd)
            transp._sendfile_begin()
            try:
                return await self._sendfile_fd(fd, file, offset, count)
            finally:
                transp._sendfile_end()
                os.close(fd)
        finally:
            proto.restore()

    async def _sendfile_fallback(self, transp: Any, file: Any, offset: int, count: int | None) -> int:
        if not isinstance(transp, SocketTransport):
            return await _borrowed.sendfile_fallback(self, transp, file, offset, count)
        # The standard fallback, with the flow control of the native
        # transport (SendfileProtocol) in place of _FlowControlMixin's.
        if hasattr(file, "seek"):
            file.seek(offset)
        blocksize = min(count, 16384) if count else 16384
        buf = bytearray(blocksize)
        total_sent = 0
        proto = SendfileProtocol(transp)
        try:
            while True:
                if count:
                    blocksize = min(count - total_sent, blocksize)
                    if blocksize <= 0:
                        return total_sent
                view = memoryview(buf)[:blocksize]
                read = await self.run_in_executor(None, file.readinto, view)
                if not read:
                    return total_sent
                # The transport sends from the buffer itself; drain() returns
                # once all of it has left, so the next read may reuse it.
                transp.write(view[:read])
                await proto.drain()
                total_sent += read
        finally:
            if total_sent > 0 and hasattr(file, "seek"):
                file.seek(offset + total_sent)
            proto.restore()

    # The standard loop's code on the hooks above.
    if TYPE_CHECKING:
        # Typed as the abstract loop declares them: the functions borrowed
        # below take the standard loop's classes as self, which Loop is not.
        create_connection = asyncio.AbstractEventLoop.create_connection
        create_server = asyncio.AbstractEventLoop.create_server
        connect_accepted_socket = asyncio.AbstractEventLoop.connect_accepted_socket
        sendfile = asyncio.AbstractEventLoop.sendfile
        start_tls = asyncio.AbstractEventLoop.start_tls
    else:
        create_connection = base_events.BaseEventLoop.create_connection
        create_server = base_events.BaseEventLoop.create_server
        connect_accepted_socket = base_events.BaseEventLoop.connect_accepted_socket
        sendfile = base_events.BaseEventLoop.sendfile
        start_tls = base_events.BaseEventLoop.start_tls
    create_unix_connection = _borrowed.create_unix_connection
    create_unix_server = _borrowed.create_unix_server
    _connect_sock = _borrowed.connect_sock
    _create_connection_transport = _borrowed.create_connection_transport
    _create_server_getaddrinfo = _borrowed.create_server_getaddrinfo
    _accept_connection2 = _borrowed.accept_connection2
