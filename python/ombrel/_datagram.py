"""Datagram endpoints: create_datagram_endpoint and its transport.

The transport works on readiness: a reader receives one datagram per
readiness run, sendto tries the socket at once and queues what would
block, draining the queue when the socket turns writable. The queue has
the standard loop's flow control: every queued datagram counts its length
plus a small header, and the protocol is paused above the high-water mark
and resumed below the low one. Errors of a single datagram (ICMP
unreachable on a connected socket, a message too long) go to the
protocol's error_received and leave the transport open; anything else is
fatal to it.
"""

from __future__ import annotations

import asyncio
import collections
import os
import socket
import stat
import warnings
from asyncio import constants, transports, trsock
from asyncio.log import logger
from typing import Any

from . import _borrowed
from ._loop_base import LoopBase, typed_as
from ._transport_base import TransportBase


class DatagramTransport(TransportBase, _borrowed.FlowControlMixin, transports.DatagramTransport):
    max_size = 256 * 1024  # the largest datagram received
    _header_size = 8  # what a queued datagram counts besides its bytes
    _sock: socket.socket | None = None

    def __init__(
        self,
        loop: LoopBase,
        sock: socket.socket,
        protocol: asyncio.BaseProtocol,
        address: Any = None,
        waiter: asyncio.Future[None] | None = None,
        extra: dict[str, Any] | None = None,
    ) -> None:
        super().__init__(extra, loop)
        self._extra["socket"] = trsock.TransportSocket(sock)
        try:
            self._extra["sockname"] = sock.getsockname()
        except OSError:
            self._extra["sockname"] = None
        if "peername" not in self._extra:
            try:
                self._extra["peername"] = sock.getpeername()
            except OSError:
                self._extra["peername"] = None
        self._sock = sock
        self._sock_fd = sock.fileno()
        self._protocol: Any = protocol
        self._address = address
        self._buffer: collections.deque[tuple[bytes, Any]] = collections.deque()
        self._buffer_size = 0
        self._conn_lost = 0
        self._closing = False
        self._paused = False
        loop.call_soon(protocol.connection_made, self)
        loop.call_soon(self._start_reading)
        if waiter is not None:
            loop.call_soon(_borrowed.set_result_unless_cancelled, waiter, None)

    def __repr__(self) -> str:
        info = [type(self).__name__]
        if self._sock is None:
            info.append("closed")
        elif self._closing:
            info.append("closing")
        info.append(f"fd={self._sock_fd}")
        if self._sock is not None:
            info.append("read=polling" if self.is_reading() else "read=idle")
            state = "polling" if self._buffer else "idle"
            info.append(f"write=<{state}, bufsize={self._buffer_size}>")
        return "<{}>".format(" ".join(info))

    # Reading.

    def _start_reading(self) -> None:
        if self.is_reading():
            self._loop.add_reader(self._sock_fd, self._read_ready)

    def is_reading(self) -> bool:
        return not self._closing and not self._paused

    def pause_reading(self) -> None:
        if not self.is_reading():
            return
        self._paused = True
        self._loop.remove_reader(self._sock_fd)

    def resume_reading(self) -> None:
        if self._closing or not self._paused:
            return
        self._paused = False
        self._loop.add_reader(self._sock_fd, self._read_ready)

    def _read_ready(self) -> None:
        if self._conn_lost or self._sock is None or not self.is_reading():
            return  # a readiness run queued before a pause or a close
        try:
            data, addr = self._sock.recvfrom(self.max_size)
        except (BlockingIOError, InterruptedError):
            return
        except OSError as exc:
            self._protocol.error_received(exc)
        except (SystemExit, KeyboardInterrupt):
            raise
        except BaseException as exc:
            self._fatal_error(exc, "Fatal read error on datagram transport")
        else:
            self._protocol.datagram_received(data, addr)

    # Writing.

    def get_write_buffer_size(self) -> int:
        return self._buffer_size

    def sendto(self, data: Any, addr: Any = None) -> None:
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"data argument must be a bytes-like object, not {type(data).__name__!r}")
        if self._address:
            if addr not in (None, self._address):
                raise ValueError(f"Invalid address: must be None or {self._address}")
            addr = self._address
        if self._conn_lost and self._address:
            if self._conn_lost >= constants.LOG_THRESHOLD_FOR_CONNLOST_WRITES:
                logger.warning("socket.send() raised exception.")
            self._conn_lost += 1
            return
        if self._sock is None:
            return
        if not self._buffer:
            try:
                if self._extra["peername"]:
                    self._sock.send(data)
                else:
                    self._sock.sendto(data, addr)
                return
            except (BlockingIOError, InterruptedError):
                self._loop.add_writer(self._sock_fd, self._sendto_ready)
            except OSError as exc:
                self._protocol.error_received(exc)
                return
            except (SystemExit, KeyboardInterrupt):
                raise
            except BaseException as exc:
                self._fatal_error(exc, "Fatal write error on datagram transport")
                return
        # The caller may change its buffer after the call: keep a copy.
        self._buffer.append((bytes(data), addr))
        self._buffer_size += len(data) + self._header_size
        self._maybe_pause_protocol()

    def _sendto_ready(self) -> None:
        if self._sock is None:
            return
        while self._buffer:
            data, addr = self._buffer.popleft()
            self._buffer_size -= len(data) + self._header_size
            try:
                if self._extra["peername"]:
                    self._sock.send(data)
                else:
                    self._sock.sendto(data, addr)
            except (BlockingIOError, InterruptedError):
                self._buffer.appendleft((data, addr))
                self._buffer_size += len(data) + self._header_size
                break
            except OSError as exc:
                self._protocol.error_received(exc)
                return
            except (SystemExit, KeyboardInterrupt):
                raise
            except BaseException as exc:
                self._fatal_error(exc, "Fatal write error on datagram transport")
                return
        self._maybe_resume_protocol()  # may queue more
        if not self._buffer:
            self._loop.remove_writer(self._sock_fd)
            if self._closing:
                self._call_connection_lost(None)

    # Closing.

    def close(self) -> None:
        if self._closing:
            return
        self._closing = True
        self._loop.remove_reader(self._sock_fd)
        if not self._buffer:
            self._conn_lost += 1
            self._loop.remove_writer(self._sock_fd)
            self._loop.call_soon(self._call_connection_lost, None)

    def abort(self) -> None:
        self._force_close(None)

    def __del__(self, _warn: Any = warnings.warn) -> None:
        if self._sock is not None:
            _warn(f"unclosed transport {self!r}", ResourceWarning, source=self)
            self._sock.close()

    def _force_close(self, exc: BaseException | None) -> None:
        if self._conn_lost:
            return
        if self._buffer:
            self._buffer.clear()
            self._buffer_size = 0
            self._loop.remove_writer(self._sock_fd)
        if not self._closing:
            self._closing = True
            self._loop.remove_reader(self._sock_fd)
        self._conn_lost += 1
        self._loop.call_soon(self._call_connection_lost, exc)

    def _call_connection_lost(self, exc: BaseException | None) -> None:
        if self._sock is None:
            return
        try:
            self._protocol.connection_lost(exc)
        finally:
            self._sock.close()
            self._sock = None
            self._protocol = None
            self._loop = None


class DatagramMixin(LoopBase):
    __slots__ = ()

    # The stubs still list reuse_address, which the standard loop refuses
    # since 3.12, as this one does.
    @typed_as(asyncio.AbstractEventLoop.create_datagram_endpoint)
    async def create_datagram_endpoint(
        self,
        protocol_factory: Any,
        local_addr: Any = None,
        remote_addr: Any = None,
        *,
        family: int = 0,
        proto: int = 0,
        flags: int = 0,
        reuse_port: bool | None = None,
        allow_broadcast: bool | None = None,
        sock: socket.socket | None = None,
    ) -> tuple[DatagramTransport, Any]:
        r_addr = None
        if sock is not None:
            if sock.type == socket.SOCK_STREAM:
                raise ValueError(f"A datagram socket was expected, got {sock!r}")
            if local_addr or remote_addr or family or proto or flags or reuse_port or allow_broadcast:
                opts = dict(
                    local_addr=local_addr,
                    remote_addr=remote_addr,
                    family=family,
                    proto=proto,
                    flags=flags,
                    reuse_port=reuse_port,
                    allow_broadcast=allow_broadcast,
                )
                problems = ", ".join(f"{k}={v}" for k, v in opts.items() if v)
                raise ValueError(
                    f"socket modifier keyword arguments can not be used when sock is specified. ({problems})"
                )
            sock.setblocking(False)
        else:
            pairs = await self._datagram_address_pairs(local_addr, remote_addr, family, proto, flags)
            errors: list[OSError] = []
            for (fam, pro), (local, remote) in pairs:
                try:
                    sock, r_addr = self._datagram_socket(
                        fam, pro, local, remote, bool(reuse_port), bool(allow_broadcast)
                    )
                except OSError as exc:
                    errors.append(exc)
                else:
                    break
            else:
                try:
                    raise errors[0]
                finally:
                    errors = []  # the exceptions' tracebacks hold this frame

        protocol = protocol_factory()
        waiter = self.create_future()
        transport = DatagramTransport(self, sock, protocol, r_addr, waiter)
        if self._debug:
            if local_addr:
                logger.info(
                    "Datagram endpoint local_addr=%r remote_addr=%r created: (%r, %r)",
                    local_addr,
                    remote_addr,
                    transport,
                    protocol,
                )
            else:
                logger.debug("Datagram endpoint remote_addr=%r created: (%r, %r)", remote_addr, transport, protocol)
        try:
            await waiter
        except:
            transport.close()
            raise
        return transport, protocol

    async def _datagram_address_pairs(
        self, local_addr: Any, remote_addr: Any, family: int, proto: int, flags: int
    ) -> list[Any]:
        """[((family, proto), (local address, remote address)), ...] to try
        in order."""
        if not (local_addr or remote_addr):
            if family == 0:
                raise ValueError("unexpected address family")
            return [((family, proto), (None, None))]
        if family == socket.AF_UNIX:
            for addr in (local_addr, remote_addr):
                if addr is not None and not isinstance(addr, str):
                    raise TypeError("string is expected")
            if local_addr and local_addr[0] not in (0, "\x00"):
                _remove_stale_socket(local_addr)
            return [((family, proto), (local_addr, remote_addr))]

        infos_by_key: dict[tuple[int, int], list[Any]] = {}
        for idx, addr in ((0, local_addr), (1, remote_addr)):
            if addr is None:
                continue
            if not (isinstance(addr, tuple) and len(addr) == 2):
                raise TypeError("2-tuple is expected")
            info = _borrowed.ipaddr_info(addr[0], addr[1], family, socket.SOCK_DGRAM, proto)
            if info is not None:
                infos = [info]
            else:
                infos = await self.getaddrinfo(
                    addr[0], addr[1], family=family, type=socket.SOCK_DGRAM, proto=proto, flags=flags
                )
            if not infos:
                raise OSError("getaddrinfo() returned empty list")
            for fam, _, pro, _, address in infos:
                infos_by_key.setdefault((fam, pro), [None, None])[idx] = address
        # Every address asked for must exist in the same (family, proto).
        pairs = [
            (key, pair)
            for key, pair in infos_by_key.items()
            if not ((local_addr and pair[0] is None) or (remote_addr and pair[1] is None))
        ]
        if not pairs:
            raise ValueError("can not get address information")
        return pairs

    def _datagram_socket(
        self, family: int, proto: int, local: Any, remote: Any, reuse_port: bool, allow_broadcast: bool
    ) -> tuple[socket.socket, Any]:
        sock = socket.socket(family=family, type=socket.SOCK_DGRAM, proto=proto)
        try:
            if reuse_port:
                _borrowed.set_reuseport(sock)
            if allow_broadcast:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
            sock.setblocking(False)
            if local:
                sock.bind(local)
            if remote:
                if not allow_broadcast:
                    # A datagram connect only records the peer (and routes):
                    # it never waits, so it is made in place.
                    sock.connect(remote)
                return sock, remote
            return sock, None
        except BaseException:
            sock.close()
            raise


def _remove_stale_socket(path: str) -> None:
    try:
        if stat.S_ISSOCK(os.stat(path).st_mode):
            os.remove(path)
    except FileNotFoundError:
        pass
    except OSError as err:
        # The directory may allow creating the socket but not looking at it.
        logger.error("Unable to check or remove stale UNIX socket %r: %r", path, err)
