"""The processes behind each benchmark: one runner per kind of benchmark,
each returning (value, metrics) for one run on one loop, or raising RunSkip
(the loop cannot run it) or RunError (it broke).
"""

import json
import math
import os
import selectors
import signal
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
PY = sys.executable
SKIP_EXIT = 3


class RunSkip(Exception):
    pass


class RunError(Exception):
    pass


def last_json(text):
    for line in reversed(text.strip().splitlines()):
        line = line.strip()
        if line.startswith("{"):
            try:
                return json.loads(line)
            except ValueError:
                pass
    return None


def tail(text, n=6):
    lines = [l for l in (text or "").strip().splitlines() if l.strip()]
    return " | ".join(lines[-n:])


def pin_to(cpu):
    if cpu is None or cpu < 0:
        return None
    return lambda: os.sched_setaffinity(0, {cpu})


def run_cmd(cmd, env, timeout, cpu=None):
    try:
        p = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=timeout, preexec_fn=pin_to(cpu))
    except subprocess.TimeoutExpired:
        raise RunError(f"timed out after {timeout:.0f} s: {' '.join(cmd[:4])} ...") from None
    return p


class Server:
    """A server process that prints "READY <port>" (or a skip line) first."""

    def __init__(self, cmd, env, ready_timeout=30.0):
        self.err = tempfile.TemporaryFile(mode="w+")
        self.proc = subprocess.Popen(
            cmd, env=env, stdout=subprocess.PIPE, stderr=self.err, text=True, start_new_session=True
        )
        self.port = self._wait_ready(ready_timeout)

    def _wait_ready(self, timeout):
        sel = selectors.DefaultSelector()
        sel.register(self.proc.stdout, selectors.EVENT_READ)
        try:
            if not sel.select(timeout):
                self.stop()
                raise RunError(f"server not ready after {timeout:.0f} s: {self.stderr()}")
        finally:
            sel.close()
        line = self.proc.stdout.readline().strip()
        if line.startswith("READY "):
            return int(line.split()[1])
        self.check_exit(line)
        raise AssertionError("unreachable")

    def check_exit(self, out=""):
        """Raises what a server that stopped (or printed no READY) means: a
        skip when it exited so with a skip line, an error otherwise."""
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            pass
        code = self.proc.poll()
        if code is not None and self.proc.stdout:
            out += "\n" + self.proc.stdout.read()
        self.stop()
        obj = last_json(out)
        if obj and "skip" in obj and code == SKIP_EXIT:
            raise RunSkip(obj["skip"])
        what = "server died" if code is not None else "server misbehaved"
        raise RunError(f"{what} (exit {code}): {tail(out, 2)} {self.stderr()}".strip())

    def alive(self):
        return self.proc.poll() is None

    def stderr(self):
        self.err.seek(0)
        return tail(self.err.read())

    def stop(self):
        if self.proc.poll() is None:
            try:
                os.killpg(self.proc.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                self.proc.wait(3)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        if self.proc.stdout:
            self.proc.stdout.close()

    def close(self):
        self.stop()
        self.err.close()


# -- one run of each kind ----------------------------------------------------


def program_result(p, need="value"):
    """The JSON line a benchmark program printed; RunSkip for its skip line
    (exit SKIP_EXIT), RunError when it failed or printed no `need`."""
    obj = last_json(p.stdout)
    if p.returncode == SKIP_EXIT and obj and "skip" in obj:
        raise RunSkip(obj["skip"])
    if p.returncode != 0 or not obj or (need is not None and need not in obj):
        raise RunError(f"exit {p.returncode}: {tail(p.stderr) or tail(p.stdout)}")
    return obj


def run_micro(b, loop, cfg):
    mode = b.params.get("mode", "thread")
    if isinstance(mode, dict):
        mode = mode.get(loop, "thread")
    cmd = [
        PY,
        os.path.join(HERE, "micro.py"),
        "--loop",
        loop,
        "--bench",
        b.params["bench"],
        "--mode",
        mode,
        "--duration",
        str(cfg.micro_duration),
        "--warmup",
        str(cfg.micro_warmup),
        "--data",
        cfg.data,
    ]
    # One process does all the work: pinned to the server's CPU unless the row
    # says why not (worker threads).
    cpu = None if b.unpinned else cfg.server_cpu
    obj = program_result(run_cmd(cmd, cfg.env, timeout=60 + 10 * cfg.micro_duration, cpu=cpu))
    metrics = {k: v for k, v in obj.items() if k not in ("bench", "loop", "value", "unit")}
    return obj["value"], metrics


def echo_server_cmd(b, loop, cfg):
    if loop == "native":
        return [cfg.native_server, "--cpu", str(cfg.server_cpu)]
    return [
        PY,
        os.path.join(HERE, "echo_server.py"),
        "--loop",
        loop,
        "--kind",
        b.params["kind"],
        "--cpu",
        str(cfg.server_cpu),
    ]


def run_echo(b, loop, cfg):
    server = Server(echo_server_cmd(b, loop, cfg), cfg.env)
    try:
        lg = [
            cfg.loadgen,
            "--port",
            str(server.port),
            "--conns",
            str(b.params["conns"]),
            "--size",
            str(b.params["size"]),
            "--warmup",
            str(cfg.echo_warmup),
            "--duration",
            str(cfg.echo_duration),
            "--cpu",
            str(cfg.client_cpu),
        ]
        p = run_cmd(lg, cfg.env, timeout=30 + cfg.echo_warmup + cfg.echo_duration)
        obj = last_json(p.stdout)
        if not server.alive():
            server.check_exit()
        if obj is None:
            raise RunError(f"load generator exit {p.returncode}: {tail(p.stderr)}")
        if p.returncode != 0:
            if obj.get("first_error"):
                why = obj["first_error"]
            elif obj.get("mismatches"):
                why = f"{obj['mismatches']} echoes differed from the message"
            else:
                why = "no echo completed in the measured time"
            raise RunError(f"{why}; server: {server.stderr()}")
    finally:
        server.close()
    metrics = {k: obj[k] for k in ("p50_us", "p99_us", "p999_us", "max_us", "mib_s", "requests", "conns", "size")}
    return obj["rps"], metrics


def parse_wrk(text):
    units = {"us": 1.0, "ms": 1e3, "s": 1e6, "m": 60e6}

    def dur(s):
        for u in ("us", "ms", "s", "m"):
            if s.endswith(u):
                return float(s[: -len(u)]) * units[u]
        return float(s)

    out = {}
    section = None
    for line in text.splitlines():
        parts = line.split()
        if not parts:
            continue
        if line.strip() == "Latency Distribution":
            section = "dist"
            continue
        if section == "dist" and parts[0].endswith("%") and len(parts) == 2:
            out[{"50%": "p50_us", "75%": "p75_us", "90%": "p90_us", "99%": "p99_us"}.get(parts[0], parts[0])] = dur(
                parts[1]
            )
            continue
        section = None
        if parts[0] == "Requests/sec:":
            out["rps"] = float(parts[1])
        elif len(parts) >= 2 and parts[1] == "requests" and parts[0].isdigit():
            out["requests"] = int(parts[0])
        elif line.strip().startswith("Non-2xx"):
            out["non_2xx"] = int(parts[-1])
        elif line.strip().startswith("Socket errors:"):
            out["socket_errors"] = sum(int(x.strip(",")) for x in parts[2::2] if x.strip(",").isdigit())
    return out


def run_http(b, loop, cfg):
    if not cfg.wrk:
        raise RunSkip("wrk is not installed")
    cmd = [PY, os.path.join(HERE, "http_server.py"), "--loop", loop, "--cpu", str(cfg.server_cpu)]
    server = Server(cmd, cfg.env)
    try:
        url = f"http://127.0.0.1:{server.port}/"
        conns = str(b.params["conns"])
        if cfg.http_warmup > 0:
            run_cmd(
                [cfg.wrk, "-t1", f"-c{conns}", f"-d{math.ceil(cfg.http_warmup)}s", url],
                cfg.env,
                timeout=30 + cfg.http_warmup,
                cpu=cfg.client_cpu,
            )
        p = run_cmd(
            [cfg.wrk, "-t1", f"-c{conns}", f"-d{math.ceil(cfg.http_duration)}s", "--latency", url],
            cfg.env,
            timeout=30 + cfg.http_duration,
            cpu=cfg.client_cpu,
        )
        if not server.alive():
            server.check_exit()
    finally:
        server.close()
    w = parse_wrk(p.stdout)
    if p.returncode != 0 or "rps" not in w:
        raise RunError(f"wrk exit {p.returncode}: {tail(p.stderr) or tail(p.stdout)}")
    if w.get("non_2xx") or not w.get("requests"):
        raise RunError(f"bad answers: {w}")
    return w.pop("rps"), w


def run_load(b, loop, cfg):
    """The echo server under an open-loop load at cfg.fixed_rate: the
    server's CPU time per request (user, system, total, in microseconds, from
    its own accounting over the measured window) and the latencies from the
    intended send times."""
    server = Server(echo_server_cmd(b, loop, cfg), cfg.env)
    try:
        lg = [
            cfg.loadgen,
            "--port",
            str(server.port),
            "--conns",
            str(cfg.load_conns),
            "--size",
            str(b.params["size"]),
            "--warmup",
            str(cfg.load_warmup),
            "--duration",
            str(cfg.load_duration),
            "--cpu",
            str(cfg.client_cpu),
            "--rate",
            str(cfg.fixed_rate),
            "--server-pid",
            str(server.proc.pid),
        ]
        p = run_cmd(lg, cfg.env, timeout=30 + cfg.load_warmup + cfg.load_duration)
        obj = last_json(p.stdout)
        if not server.alive():
            server.check_exit()
        if obj is None:
            raise RunError(f"load generator exit {p.returncode}: {tail(p.stderr)}")
        if p.returncode != 0 or "cpu_us" not in obj:
            why = (
                obj.get("first_error")
                or (obj.get("mismatches") and f"{obj['mismatches']} echoes differed")
                or "no echo or no CPU time measured"
            )
            raise RunError(f"{why}; server: {server.stderr()}")
    finally:
        server.close()
    metrics = {
        k: obj[k]
        for k in (
            "cpu_user_us",
            "cpu_sys_us",
            "cpu_util",
            "p50_us",
            "p99_us",
            "p999_us",
            "max_us",
            "rps",
            "offered_rps",
            "unfinished",
            "requests",
            "cpu_requests",
        )
    }
    metrics["sustained"] = obj["rps"] >= SUSTAINED * obj["offered_rps"] and not obj["unfinished"]
    return obj["cpu_us"], metrics


# Below this share of the offered rate a loop did not sustain the load.
SUSTAINED = 0.95


def run_memory(b, loop, cfg):
    """memory.py measures both RSS rows of a loop in one run; the second row
    of a round takes the first one's result."""
    cmd = [
        PY,
        os.path.join(HERE, "memory.py"),
        "--loop",
        loop,
        "--conns",
        str(cfg.memory_conns),
        "--message",
        str(b.params["message"]),
        "--cpu",
        str(cfg.server_cpu),
    ]
    # The side's package path is part of the key: in an A/B comparison both
    # sides run the loop named ombrel.
    key = (tuple(cmd), cfg.env.get("PYTHONPATH"), cfg.round)
    if key not in cfg.cache:
        try:
            cfg.cache[key] = program_result(run_cmd(cmd, cfg.env, timeout=120 + cfg.memory_seconds), need=None)
        except (RunSkip, RunError) as exc:
            cfg.cache[key] = exc
    obj = cfg.cache[key]
    if isinstance(obj, Exception):
        raise obj
    if b.params["key"] not in obj:
        raise RunError(f"memory.py printed no {b.params['key']}: {obj}")
    return obj[b.params["key"]], {k: v for k, v in obj.items() if k != b.params["key"] and k != "loop"}


def run_file_native(b, loop, cfg):
    """The native io_uring reader on the file micro.py's file_pread reads."""
    path = os.path.join(cfg.data, "pread-256m.bin")
    make = "import sys; sys.path.insert(0, sys.argv[1]); import micro; micro.data_file(sys.argv[2])"
    p = run_cmd([PY, "-c", make, HERE, cfg.data], cfg.env, timeout=300)
    if p.returncode != 0:
        raise RunError(f"making {path}: {tail(p.stderr)}")
    cmd = [
        cfg.file_native,
        "--file",
        path,
        "--depth",
        str(b.params["depth"]),
        "--block",
        str(b.params["block"]),
        "--warmup",
        str(cfg.micro_warmup),
        "--duration",
        str(cfg.micro_duration),
    ]
    obj = program_result(run_cmd(cmd, cfg.env, timeout=60 + 10 * cfg.micro_duration))
    return obj["value"], {k: v for k, v in obj.items() if k not in ("value", "unit")}


def run_bulk(b, loop, cfg):
    """http_server.py on the loop, http_bulk.py (blocking sockets, no loop)
    on the client CPU moving 64 MiB bodies."""
    server = Server([PY, os.path.join(HERE, "http_server.py"), "--loop", loop, "--cpu", str(cfg.server_cpu)], cfg.env)
    try:
        cmd = [
            PY,
            os.path.join(HERE, "http_bulk.py"),
            "--port",
            str(server.port),
            "--op",
            b.params["op"],
            "--framing",
            b.params["framing"],
            "--size",
            str(b.params["size"]),
            "--warmup",
            str(cfg.bulk_warmup),
            "--duration",
            str(cfg.bulk_duration),
            "--cpu",
            str(cfg.client_cpu),
        ]
        p = run_cmd(cmd, cfg.env, timeout=60 + cfg.bulk_warmup + 2 * cfg.bulk_duration)
        if not server.alive():
            server.check_exit()
    finally:
        server.close()
    obj = program_result(p)
    return obj["value"], {k: v for k, v in obj.items() if k not in ("value", "unit")}


RUNNERS = {
    "micro": run_micro,
    "echo": run_echo,
    "http": run_http,
    "load": run_load,
    "memory": run_memory,
    "file_native": run_file_native,
    "bulk": run_bulk,
}
