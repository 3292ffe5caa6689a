"""Child processes: subprocess_exec and subprocess_shell.

The child is started by subprocess.Popen, as the standard loop does, so
every Popen option keeps its meaning (close_fds is on by default, so the
child inherits no descriptor but its standard ones and pass_fds). Its
pipes become pipe transports. The exit is observed by the native
`_wait_pid`, which reaps the child in the ring: no child watcher thread and
no SIGCHLD handler.

Signals go through a pidfd taken right after the start (see _PidfdSignals). The ring reaps
the child as soon as it exits, possibly before the loop has run the
callback that records the exit; from then on the pid is free for the system
to reuse, and a plain kill could hit a stranger. A pidfd keeps naming the
original process and fails with ProcessLookupError once it is gone.
"""

from __future__ import annotations

import os
import signal
import subprocess
from asyncio import base_subprocess, tasks
from asyncio.log import logger
from typing import TYPE_CHECKING, Any, cast

from . import _borrowed
from ._loop_base import LoopBase

if TYPE_CHECKING:
    import asyncio


class _PidfdSignals:
    """send_signal for one Popen object, through a pidfd.

    Popen.send_signal polls the child first (waitpid with WNOHANG), which
    would reap it behind the ring's back; this one asks the recorded exit
    instead, and the pidfd cannot reach a process that took over the pid.
    It is set on the Popen object itself, so that its kill() and
    terminate(), and callers holding the transport's "subprocess", use it
    too.
    """

    __slots__ = ("proc", "pidfd")

    def __init__(self, proc: subprocess.Popen[bytes]) -> None:
        self.proc = proc
        try:
            self.pidfd = os.pidfd_open(proc.pid)
        except OSError:
            self.pidfd = -1  # old kernels, seccomp: the pid will do

    def __call__(self, sig: int) -> None:
        if self.proc.returncode is not None:
            return
        try:
            if self.pidfd >= 0:
                signal.pidfd_send_signal(self.pidfd, sig)
            else:
                os.kill(self.proc.pid, sig)
        except ProcessLookupError:
            pass

    def close(self) -> None:
        if self.pidfd >= 0:
            os.close(self.pidfd)
            self.pidfd = -1

    def __del__(self) -> None:
        self.close()


class SubprocessTransport(base_subprocess.BaseSubprocessTransport):
    _signals: _PidfdSignals | None = None

    def _start(self, args: Any, shell: bool, stdin: Any, stdout: Any, stderr: Any, bufsize: int, **kwargs: Any) -> None:
        # Looked up at each call: tests and tools replace subprocess.Popen.
        self._proc = subprocess.Popen(
            args,
            shell=shell,
            stdin=stdin,
            stdout=stdout,
            stderr=stderr,
            universal_newlines=False,
            bufsize=bufsize,
            **kwargs,
        )
        self._signals = _PidfdSignals(self._proc)
        self._proc.send_signal = self._signals  # type: ignore[method-assign]

    def _watch_exit(self, loop: LoopBase) -> None:
        assert self._proc is not None  # _start made it
        loop._wait_pid(self._proc.pid).add_done_callback(self._exit_observed)

    def _exit_observed(self, fut: asyncio.Future[int]) -> None:
        if fut.cancelled():
            return  # the loop was closed while the child ran
        proc = self._proc
        exc = fut.exception()
        if exc is None:
            returncode = fut.result()
        elif proc is not None and proc.returncode is not None:
            # Reaped elsewhere (Popen.wait or poll by the user); Popen kept
            # the status.
            returncode = proc.returncode
        else:
            logger.warning("child process pid %d exit status already read:  will report returncode 255", self._pid)
            returncode = 255
        if proc is None:
            return
        assert self._signals is not None  # made with proc
        self._signals.close()
        if self._loop is None or self._loop.is_closed():
            if proc.returncode is None:
                proc.returncode = returncode
            return
        self._process_exited(returncode)

    def send_signal(self, sig: int) -> None:
        self._check_proc()
        if self._returncode is not None:
            return  # the process already exited
        assert self._proc is not None  # _check_proc raises once it is dropped
        self._proc.send_signal(sig)

    def close(self) -> None:
        # As the base class, except that whether the child still runs is
        # asked of the recorded exit, not of Popen.poll(): a poll would reap
        # the child behind the ring's back.
        if self._closed:
            return
        self._closed = True
        # The stubs type the values as files; they are the pipes' protocols.
        pipes = cast("dict[int, Any]", self._pipes)
        for proto in pipes.values():
            if proto is None:
                continue
            if self._loop and not self._loop.is_closed():
                proto.pipe.close()
        if (
            self._proc is not None
            and self._returncode is None
            # Reaped by a call of the caller's on the Popen object.
            and self._proc.returncode is None
        ):
            if self._loop is not None and self._loop.get_debug():
                logger.warning("Close running child process: kill %r", self)
            try:
                self._proc.kill()
            except (ProcessLookupError, PermissionError):
                pass


class SubprocessMixin(LoopBase):
    __slots__ = ()

    async def _make_subprocess_transport(
        self,
        protocol: Any,
        args: Any,
        shell: bool,
        stdin: Any,
        stdout: Any,
        stderr: Any,
        bufsize: int,
        extra: dict[str, Any] | None = None,
        **kwargs: Any,
    ) -> SubprocessTransport:
        waiter = self.create_future()
        transport = SubprocessTransport(
            self, protocol, args, shell, stdin, stdout, stderr, bufsize, waiter=waiter, extra=extra, **kwargs
        )
        transport._watch_exit(self)
        try:
            await waiter
        except (SystemExit, KeyboardInterrupt):
            raise
        except BaseException:
            transport.close()
            await tasks.shield(transport._wait())
            raise
        return transport

    async def subprocess_shell(
        self,
        protocol_factory: Any,
        cmd: Any,
        *,
        stdin: Any = subprocess.PIPE,
        stdout: Any = subprocess.PIPE,
        stderr: Any = subprocess.PIPE,
        universal_newlines: bool = False,
        shell: bool = True,
        bufsize: int = 0,
        encoding: Any = None,
        errors: Any = None,
        text: Any = None,
        **kwargs: Any,
    ) -> tuple[SubprocessTransport, Any]:
        if not isinstance(cmd, (bytes, str)):
            raise ValueError("cmd must be a string")
        if not shell:
            raise ValueError("shell must be True")
        _check_byte_streams(universal_newlines, bufsize, text, encoding, errors)
        protocol = protocol_factory()
        debug_log = None
        if self._debug:
            # The command itself may hold secrets: logged only with the
            # transport, like the standard loop.
            debug_log = f"run shell command {cmd!r}"
            _log_subprocess(debug_log, stdin, stdout, stderr)
        transport = await self._make_subprocess_transport(protocol, cmd, True, stdin, stdout, stderr, bufsize, **kwargs)
        if debug_log is not None:
            logger.info("%s: %r", debug_log, transport)
        return transport, protocol

    async def subprocess_exec(
        self,
        protocol_factory: Any,
        program: Any,
        *args: Any,
        stdin: Any = subprocess.PIPE,
        stdout: Any = subprocess.PIPE,
        stderr: Any = subprocess.PIPE,
        universal_newlines: bool = False,
        shell: bool = False,
        bufsize: int = 0,
        encoding: Any = None,
        errors: Any = None,
        text: Any = None,
        **kwargs: Any,
    ) -> tuple[SubprocessTransport, Any]:
        if shell:
            raise ValueError("shell must be False")
        _check_byte_streams(universal_newlines, bufsize, text, encoding, errors)
        popen_args = (program, *args)
        protocol = protocol_factory()
        debug_log = None
        if self._debug:
            debug_log = f"execute program {program!r}"
            _log_subprocess(debug_log, stdin, stdout, stderr)
        transport = await self._make_subprocess_transport(
            protocol, popen_args, False, stdin, stdout, stderr, bufsize, **kwargs
        )
        if debug_log is not None:
            logger.info("%s: %r", debug_log, transport)
        return transport, protocol


def _check_byte_streams(universal_newlines: bool, bufsize: int, text: Any, encoding: Any, errors: Any) -> None:
    # Transports carry bytes; Popen's text layer has no place here.
    if universal_newlines:
        raise ValueError("universal_newlines must be False")
    if bufsize != 0:
        raise ValueError("bufsize must be 0")
    if text:
        raise ValueError("text must be False")
    if encoding is not None:
        raise ValueError("encoding must be None")
    if errors is not None:
        raise ValueError("errors must be None")


def _log_subprocess(msg: str, stdin: Any, stdout: Any, stderr: Any) -> None:
    info = [msg]
    fmt = _borrowed.format_pipe
    if stdin is not None:
        info.append(f"stdin={fmt(stdin)}")
    if stdout is not None and stderr == subprocess.STDOUT:
        info.append(f"stdout=stderr={fmt(stdout)}")
    else:
        if stdout is not None:
            info.append(f"stdout={fmt(stdout)}")
        if stderr is not None:
            info.append(f"stderr={fmt(stderr)}")
    logger.debug(" ".join(info))
