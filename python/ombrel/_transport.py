"""The stream transport the loop hands to protocols.

The engine's `Transport` does the work (receives, vectored sends, flow
control, closing) but is a closed native type: it is no asyncio.Transport,
takes no attributes and no weak references, all of which asyncio code
relies on (isinstance checks, `Server`'s weak set of clients, the
`_start_tls_compatible`/`_sendfile_compatible` markers). `SocketTransport`
is that asyncio.Transport. Its methods are native method descriptors
(`Loop._transport_method`) that call the native object's methods, so
that `transport.write(data)` runs without a Python frame and without a
bound method per call or per connection.

The native transport keeps its wrapper alive: the wrapper is what it is
given as its `server`, whose `_detach` it calls after connection_lost and
then lets go of. An open connection then lives as long as the connection,
not as long as someone holds the wrapper, as in the standard loop where the
selector holds it.
"""

from __future__ import annotations

import asyncio
from asyncio import protocols, transports, trsock
from typing import TYPE_CHECKING, Any

from . import _borrowed
from ._native import NativeLoop

if TYPE_CHECKING:
    from ._loop_base import LoopBase

_SOCKET_NAMES = frozenset(("socket", "sockname", "peername"))

# Methods called straight on the native object.
_DIRECT = (
    "write",
    "writelines",
    "write_eof",
    "can_write_eof",
    "close",
    "abort",
    "is_closing",
    "set_protocol",
    "get_protocol",
    "pause_reading",
    "resume_reading",
    "is_reading",
    "set_write_buffer_limits",
    "get_write_buffer_limits",
    "get_write_buffer_size",
    "_force_close",
)


def _refuse_write(*args: Any, **kwargs: Any) -> None:
    raise RuntimeError("unable to write; sendfile is in progress")


class SocketTransport(transports.Transport):
    """A connected stream socket as an asyncio transport."""

    _start_tls_compatible = True
    _sendfile_compatible = _borrowed.SENDFILE_TRY_NATIVE
    _extra: dict[str, Any]

    if TYPE_CHECKING:
        # Native, set on the class below with the other native methods.
        def _force_close(self, exc: BaseException | None, /) -> None: ...

    def __init__(
        self, loop: LoopBase, sock: Any, protocol: asyncio.BaseProtocol, extra: dict[str, Any], server: Any = None
    ) -> None:
        super().__init__(extra)
        self._loop = loop
        self._sock_fd = sock.fileno()
        # "socket", "sockname" and "peername" are found when first asked for,
        # or just before the descriptor closes: what asyncio's transports
        # find when they are made, without three objects per connection
        # that most never read.
        self._sock: Any = sock
        self._server = server
        self._native = loop._make_transport(sock, protocol, self._extra, self)
        loop._transports[self._sock_fd] = self
        if server is not None:
            server._attach(self)

    def _start(self, waiter: asyncio.Future[None] | None) -> None:
        # Queued after the protocol's connection_made, as the standard
        # transports do: the first data never overtakes it.
        self._native._start_reading()
        if waiter is not None and not waiter.cancelled():
            waiter.set_result(None)

    def get_extra_info(self, name: str, default: Any = None) -> Any:
        if self._sock is not None and name in _SOCKET_NAMES:
            self._before_close()
        return self._extra.get(name, default)

    def _before_close(self) -> None:
        """Records the socket's names; called by the native transport
        before it gives up the descriptor."""
        sock, self._sock = self._sock, None
        if sock is None:
            return
        extra = self._extra
        extra["socket"] = trsock.TransportSocket(sock)
        for key, get in (("sockname", sock.getsockname), ("peername", sock.getpeername)):
            if key not in extra:
                try:
                    extra[key] = get()
                except OSError:
                    extra[key] = None

    def _detach(self) -> None:
        """Called by the native transport once it is finished: tells the
        server (if any) that the connection is gone."""
        self._sock_fd = -1
        server, self._server = self._server, None
        if server is not None:
            server._detach(self)

    def _sendfile_begin(self) -> None:
        """While the loop sends a file on the socket, writes would mix
        with the file's bytes: refuse them."""
        self.write = self.writelines = _refuse_write  # type: ignore[method-assign]

    def _sendfile_end(self) -> None:
        del self.write, self.writelines

    def __repr__(self) -> str:
        info = [type(self).__name__]
        if self._sock_fd < 0:
            info.append("closed")
        else:
            if self._native.is_closing():
                info.append("closing")
            info.append(f"fd={self._sock_fd}")
            info.append("read=" + ("polling" if self._native.is_reading() else "idle"))
            info.append(f"bufsize={self._native.get_write_buffer_size()}")
        return "<{}>".format(" ".join(info))


for _name in _DIRECT:
    setattr(SocketTransport, _name, NativeLoop._transport_method(_name))
del _name


class SendfileProtocol(protocols.Protocol):
    """Stands in for the protocol of a SocketTransport while the loop sends
    a file over it, and tells when everything written has left.

    With both water marks at zero the engine calls pause_writing as soon as
    anything is buffered and resume_writing when the buffer is empty, so
    `drain()` needs no polling. Those calls are passed on to the protocol,
    which then sees them in the same order it would have anyway, and is no
    longer paused once the buffer is empty. Reading is paused, but a
    receive already in flight still completes: its data is passed on too,
    so nothing the peer sends meanwhile is lost.
    """

    def __init__(self, transport: SocketTransport) -> None:
        self._transport = transport
        self._proto = transport.get_protocol()
        self._resume_reading = transport.is_reading()
        self._limits = transport.get_write_buffer_limits()
        self._waiter: asyncio.Future[None] | None = None
        self._lost = False
        transport.pause_reading()
        transport.set_protocol(self)
        transport.set_write_buffer_limits(0, 0)

    async def drain(self) -> None:
        if self._lost or self._transport.is_closing():
            raise ConnectionError("Connection closed by peer")
        if self._transport.get_write_buffer_size() == 0:
            return
        if self._waiter is None:
            self._waiter = self._transport._loop.create_future()
        await self._waiter

    def restore(self) -> None:
        transport = self._transport
        transport.set_protocol(self._proto)
        low, high = self._limits
        transport.set_write_buffer_limits(high, low)
        if self._resume_reading:
            transport.resume_reading()
        if self._waiter is not None and not self._waiter.done():
            self._waiter.cancel()

    def _pass_on(self, method: str, *args: Any) -> Any:
        try:
            return getattr(self._proto, method)(*args)
        except (SystemExit, KeyboardInterrupt):
            raise
        except BaseException as exc:
            self._transport._loop.call_exception_handler(
                {
                    "message": f"protocol.{method}() failed",
                    "exception": exc,
                    "transport": self._transport,
                    "protocol": self._proto,
                }
            )
            return None

    def pause_writing(self) -> None:
        self._pass_on("pause_writing")

    def resume_writing(self) -> None:
        waiter, self._waiter = self._waiter, None
        if waiter is not None and not waiter.done():
            waiter.set_result(None)
        self._pass_on("resume_writing")

    def data_received(self, data: bytes) -> None:
        if isinstance(self._proto, protocols.BufferedProtocol):
            _borrowed.feed_data_to_buffered_proto(self._proto, data)
        else:
            self._proto.data_received(data)  # type: ignore[attr-defined]

    def eof_received(self) -> bool | None:
        return self._proto.eof_received()  # type: ignore[attr-defined]

    def connection_lost(self, exc: Exception | None) -> None:
        self._lost = True
        waiter, self._waiter = self._waiter, None
        if waiter is not None and not waiter.done():
            waiter.set_exception(exc if exc is not None else ConnectionError("Connection is closed by peer"))
            # Whoever waits sees it; when no one does, it is not news.
            waiter.exception()
        self._proto.connection_lost(exc)
