"""Socket, server, pipe, subprocess, datagram and signal methods.

They need native operations that the engine does not offer yet (stream
transports, datagrams, signal wake-ups); until then each one raises
NotImplementedError naming itself, rather than the bare error of
AbstractEventLoop, so that a caller learns what is missing.
"""

from __future__ import annotations

from typing import Any, NoReturn


def _missing(name: str) -> NoReturn:
    raise NotImplementedError(f"ombrel does not support {name}() yet")


class NetworkMixin:
    __slots__ = ()

    # Low-level socket operations.
    async def sock_recv(self, sock: Any, nbytes: int) -> bytes:
        _missing("sock_recv")

    async def sock_recv_into(self, sock: Any, buf: Any) -> int:
        _missing("sock_recv_into")

    async def sock_recvfrom(self, sock: Any, bufsize: int) -> tuple[bytes, Any]:
        _missing("sock_recvfrom")

    async def sock_recvfrom_into(self, sock: Any, buf: Any, nbytes: int = 0) -> tuple[int, Any]:
        _missing("sock_recvfrom_into")

    async def sock_sendall(self, sock: Any, data: Any) -> None:
        _missing("sock_sendall")

    async def sock_sendto(self, sock: Any, data: Any, address: Any) -> int:
        _missing("sock_sendto")

    async def sock_connect(self, sock: Any, address: Any) -> None:
        _missing("sock_connect")

    async def sock_accept(self, sock: Any) -> tuple[Any, Any]:
        _missing("sock_accept")

    async def sock_sendfile(self, sock: Any, file: Any, offset: int = 0,
                            count: int | None = None, *, fallback: bool = True) -> int:
        _missing("sock_sendfile")

    # Streams and servers.
    async def create_connection(self, protocol_factory: Any, host: Any = None,
                                port: Any = None, **kwargs: Any) -> Any:
        _missing("create_connection")

    async def create_server(self, protocol_factory: Any, host: Any = None,
                            port: Any = None, **kwargs: Any) -> Any:
        _missing("create_server")

    async def create_unix_connection(self, protocol_factory: Any, path: Any = None,
                                     **kwargs: Any) -> Any:
        _missing("create_unix_connection")

    async def create_unix_server(self, protocol_factory: Any, path: Any = None,
                                 **kwargs: Any) -> Any:
        _missing("create_unix_server")

    async def connect_accepted_socket(self, protocol_factory: Any, sock: Any,
                                      **kwargs: Any) -> Any:
        _missing("connect_accepted_socket")

    async def sendfile(self, transport: Any, file: Any, offset: int = 0,
                       count: int | None = None, *, fallback: bool = True) -> int:
        _missing("sendfile")

    async def start_tls(self, transport: Any, protocol: Any, sslcontext: Any,
                        **kwargs: Any) -> Any:
        _missing("start_tls")

    async def create_datagram_endpoint(self, protocol_factory: Any,
                                       local_addr: Any = None, remote_addr: Any = None,
                                       **kwargs: Any) -> Any:
        _missing("create_datagram_endpoint")

    # Pipes and subprocesses.
    async def connect_read_pipe(self, protocol_factory: Any, pipe: Any) -> Any:
        _missing("connect_read_pipe")

    async def connect_write_pipe(self, protocol_factory: Any, pipe: Any) -> Any:
        _missing("connect_write_pipe")

    async def subprocess_shell(self, protocol_factory: Any, cmd: Any,
                               **kwargs: Any) -> Any:
        _missing("subprocess_shell")

    async def subprocess_exec(self, protocol_factory: Any, *args: Any,
                              **kwargs: Any) -> Any:
        _missing("subprocess_exec")

    # Signals.
    def add_signal_handler(self, sig: int, callback: Any, *args: Any) -> None:
        _missing("add_signal_handler")

    def remove_signal_handler(self, sig: int) -> bool:
        _missing("remove_signal_handler")
