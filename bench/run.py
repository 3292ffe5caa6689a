"""Runs the benchmark suite on ombrel, uvloop and asyncio and prints one table
of medians with the ratios ombrel/uvloop and ombrel/asyncio.

    python3.14 bench/run.py --build BUILD_DIR [--only GROUPS_OR_NAMES] [--loops ...]
                            [--rounds 3] [--budget 450] [--smoke] [--list]

Every benchmark runs in a fresh process per loop, several rounds, the loops
alternating from run to run (each round starts with another loop), so slow
drift of a shared machine falls on every loop alike; the table shows the
median of the rounds and the spread (half the range, in % of the median).
Raw results go to bench/results/<time>.json with a chart <time>.png (and
latest.json / latest.png).

Groups: micro, file, echo, http. --only takes groups, benchmark names or
shell patterns, comma-separated (e.g. --only micro,echo_protocol_*).
"""

import argparse
import datetime
import fnmatch
import json
import math
import os
import platform
import selectors
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
PY = sys.executable
LOOPS = ("ombrel", "uvloop", "asyncio")
SKIP_EXIT = 3


@dataclass
class Bench:
    name: str
    group: str
    title: str
    kind: str  # micro | echo | http
    unit: str
    loops: tuple = LOOPS
    params: dict = field(default_factory=dict)

    def estimate(self, cfg):
        """Seconds one run is expected to take, startup included."""
        if self.kind == "micro":
            return 0.2 + cfg.micro_warmup + cfg.micro_duration
        if self.kind == "echo":
            return 0.6 + cfg.echo_warmup + cfg.echo_duration  # server start included
        return 0.3 + math.ceil(cfg.http_warmup) + math.ceil(cfg.http_duration)


def benches():
    out = []
    micro = [
        ("call_soon", "call_soon, bursts of 1000", "calls/s"),
        ("timers_fire", "call_later: 100k timers scheduled and fired", "timers/s"),
        ("timers_cancel", "call_later: 100k timers scheduled and cancelled", "timers/s"),
        ("tasks", "task churn: create + await a trivial coroutine", "tasks/s"),
        ("sock_roundtrip", "sock_sendall/sock_recv 64 B round trips, socketpair", "rt/s"),
    ]
    for name, title, unit in micro:
        out.append(Bench(name, "micro", title, "micro", unit, params={"bench": name}))
    native = {"ombrel": "native"}
    out += [
        Bench("file_pread", "file", "file 4 KiB random pread x64 (ombrel: ombrel.open().pread; others: to_thread)",
              "micro", "reads/s", params={"bench": "file_pread", "mode": native}),
        Bench("file_pread_thread", "file", "file 4 KiB random pread x64, to_thread(os.pread) on every loop",
              "micro", "reads/s", params={"bench": "file_pread", "mode": "thread"}),
        Bench("file_pwrite", "file", "file 1 MiB sequential pwrite (ombrel: ombrel.open().pwrite; others: to_thread)",
              "micro", "MiB/s", params={"bench": "file_pwrite", "mode": native}),
        Bench("file_pwrite_thread", "file", "file 1 MiB sequential pwrite, to_thread(os.pwrite) on every loop",
              "micro", "MiB/s", params={"bench": "file_pwrite", "mode": "thread"}),
    ]
    for size, conns, tag, kinds in ((1024, 10, "1k", ("sock", "streams", "protocol", "buffered")),
                                    (10240, 10, "10k", ("streams", "protocol")),
                                    (102400, 10, "100k", ("sock", "streams", "protocol"))):
        out.append(Bench(f"echo_native_{tag}", "echo", f"echo {tag.upper()} x{conns}: native io_uring server",
                         "echo", "req/s", loops=("native",), params={"size": size, "conns": conns}))
        for kind in kinds:
            out.append(Bench(f"echo_{kind}_{tag}", "echo", f"echo {tag.upper()} x{conns}: {kind}", "echo", "req/s",
                             params={"kind": kind, "size": size, "conns": conns}))
    out.append(Bench("http_aiohttp", "http", "aiohttp GET / keep-alive, wrk x64", "http", "req/s",
                     params={"conns": 64}))
    return out


def select(all_benches, only):
    if not only:
        return all_benches
    pats = [p.strip() for p in only.split(",") if p.strip()]
    picked = [b for b in all_benches if any(p == b.group or fnmatch.fnmatchcase(b.name, p) for p in pats)]
    unknown = [p for p in pats if not any(p == b.group or fnmatch.fnmatchcase(b.name, p) for b in all_benches)]
    if unknown:
        sys.exit(f"run.py: --only: nothing matches {', '.join(unknown)} (try --list)")
    return picked


# -- processes ---------------------------------------------------------------


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
        self.proc = subprocess.Popen(cmd, env=env, stdout=subprocess.PIPE, stderr=self.err, text=True,
                                     start_new_session=True)
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


def run_micro(b, loop, cfg):
    mode = b.params.get("mode", "thread")
    if isinstance(mode, dict):
        mode = mode.get(loop, "thread")
    cmd = [PY, os.path.join(HERE, "micro.py"), "--loop", loop, "--bench", b.params["bench"], "--mode", mode,
           "--duration", str(cfg.micro_duration), "--warmup", str(cfg.micro_warmup), "--data", cfg.data]
    p = run_cmd(cmd, cfg.env, timeout=60 + 10 * cfg.micro_duration)
    obj = last_json(p.stdout)
    if p.returncode == SKIP_EXIT and obj and "skip" in obj:
        raise RunSkip(obj["skip"])
    if p.returncode != 0 or not obj or "value" not in obj:
        raise RunError(f"exit {p.returncode}: {tail(p.stderr) or tail(p.stdout)}")
    metrics = {k: v for k, v in obj.items() if k not in ("bench", "loop", "value", "unit")}
    return obj["value"], metrics


def run_echo(b, loop, cfg):
    if loop == "native":
        cmd = [cfg.native_server, "--cpu", str(cfg.server_cpu)]
    else:
        cmd = [PY, os.path.join(HERE, "echo_server.py"), "--loop", loop, "--kind", b.params["kind"],
               "--cpu", str(cfg.server_cpu)]
    server = Server(cmd, cfg.env)
    try:
        lg = [cfg.loadgen, "--port", str(server.port), "--conns", str(b.params["conns"]),
              "--size", str(b.params["size"]), "--warmup", str(cfg.echo_warmup),
              "--duration", str(cfg.echo_duration), "--cpu", str(cfg.client_cpu)]
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
                parts[1])
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
            run_cmd([cfg.wrk, "-t1", f"-c{conns}", f"-d{math.ceil(cfg.http_warmup)}s", url], cfg.env,
                    timeout=30 + cfg.http_warmup, cpu=cfg.client_cpu)
        p = run_cmd([cfg.wrk, "-t1", f"-c{conns}", f"-d{math.ceil(cfg.http_duration)}s", "--latency", url],
                    cfg.env, timeout=30 + cfg.http_duration, cpu=cfg.client_cpu)
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


RUNNERS = {"micro": run_micro, "echo": run_echo, "http": run_http}


# -- the table ---------------------------------------------------------------


def human(v, unit):
    if unit == "MiB/s":
        return f"{v:,.0f}"
    for div, suf in ((1e6, "M"), (1e3, "k")):
        if v >= div:
            return f"{v / div:.3g}{suf}" if v / div < 1000 else f"{v / div:,.0f}{suf}"
    return f"{v:.3g}"


def summarize(records):
    s = {}
    for r in records:
        if r["status"] != "ok":
            continue
        s.setdefault(r["bench"], {}).setdefault(r["loop"], []).append(r)
    out = {}
    for bench, per_loop in s.items():
        out[bench] = {}
        for loop, rs in per_loop.items():
            vals = [r["value"] for r in rs]
            med = statistics.median(vals)
            entry = {"median": med, "n": len(vals), "min": min(vals), "max": max(vals),
                     "spread_pct": (max(vals) - min(vals)) / 2 / med * 100 if med else 0.0}
            for k in ("p50_us", "p99_us", "p999_us"):
                ms = [r["metrics"][k] for r in rs if k in r["metrics"]]
                if ms:
                    entry[k] = statistics.median(ms)
            out[bench][loop] = entry
    return out


def ratio(summary, bench, a, b):
    x, y = summary.get(bench, {}).get(a), summary.get(bench, {}).get(b)
    if x and y and y["median"]:
        return x["median"] / y["median"]
    return None


# The goals ombrel is held to: (benchmark, numerator, denominator, least ratio).
# file_pread's asyncio column is asyncio.to_thread(os.pread).
TARGETS = [
    ("echo_protocol_1k", "ombrel", "uvloop", 1.5),
    ("echo_streams_1k", "ombrel", "uvloop", 1.3),
    ("echo_streams_10k", "ombrel", "uvloop", 1.3),
    ("echo_sock_1k", "ombrel", "uvloop", 1.5),
    ("echo_sock_100k", "ombrel", "uvloop", 1.0),
    ("echo_streams_100k", "ombrel", "uvloop", 1.0),
    ("echo_protocol_100k", "ombrel", "uvloop", 1.0),
    ("echo_protocol_1k", "ombrel", "native", 0.6),
    ("call_soon", "ombrel", "uvloop", 1.0),
    ("timers_fire", "ombrel", "uvloop", 1.0),
    ("timers_cancel", "ombrel", "uvloop", 1.0),
    ("tasks", "ombrel", "uvloop", 1.0),
    ("http_aiohttp", "ombrel", "uvloop", 1.2),
    ("file_pread", "ombrel", "asyncio", 3.0),
]


def target_results(summary):
    """[(bench, peer, goal, measured ratio or None, met)] for the targets measured."""
    out = []
    for name, a, b, goal in TARGETS:
        if name not in summary:
            continue
        if b == "native":
            x = summary[name].get(a)
            y = summary.get(name.replace("echo_protocol_", "echo_native_"), {}).get("native")
            r = x["median"] / y["median"] if x and y and y["median"] else None
        else:
            r = ratio(summary, name, a, b)
        out.append((name, b, goal, r, r is not None and r >= goal))
    return out


def print_table(sel, summary, records, loops):
    status = {}
    for r in records:
        if r["status"] != "ok":
            status.setdefault((r["bench"], r["loop"]), r["status"])

    def cell(b, loop):
        e = summary.get(b.name, {}).get(loop)
        if e:
            spread = f" ±{e['spread_pct']:.0f}%" if e["n"] > 1 else ""
            return human(e["median"], b.unit) + spread
        st = status.get((b.name, loop))
        return {"skip": "skip", "error": "ERROR"}.get(st, "-")

    rows = [b for b in sel if b.loops != ("native",)]
    head = ["benchmark", "unit", *loops, "omb/uv", "omb/aio"]
    table = [head]
    for b in rows:
        ru, ra = ratio(summary, b.name, "ombrel", "uvloop"), ratio(summary, b.name, "ombrel", "asyncio")
        table.append([b.name, b.unit, *(cell(b, l) for l in loops),
                      f"{ru:.2f}x" if ru else "-", f"{ra:.2f}x" if ra else "-"])
    if len(table) > 1:
        widths = [max(len(r[i]) for r in table) for i in range(len(head))]
        print()
        print("Medians (higher is better; ±: half the range over rounds; ratios: ombrel / other)")
        for i, r in enumerate(table):
            print("  ".join(c.ljust(widths[j]) if j < 2 else c.rjust(widths[j]) for j, c in enumerate(r)))
            if i == 0:
                print("  ".join("-" * w for w in widths))

    lat = [b for b in rows if b.kind in ("echo", "http") and summary.get(b.name)]
    if lat:
        print()
        print("Latency, medians of p50 / p99 / p99.9 in microseconds (lower is better; wrk gives no p99.9)")
        for b in lat:
            parts = []
            for loop in loops:
                e = summary[b.name].get(loop)
                if e and "p99_us" in e:
                    p999 = f"{e['p999_us']:.0f}" if "p999_us" in e else "-"
                    parts.append(f"{loop} {e['p50_us']:.0f}/{e['p99_us']:.0f}/{p999}")
            print(f"  {b.name:<20} " + "   ".join(parts))

    ceilings = [b for b in sel if b.loops == ("native",) and summary.get(b.name, {}).get("native")]
    if ceilings:
        print()
        print("Ceiling: the native io_uring echo server, no Python")
        for b in ceilings:
            e = summary[b.name]["native"]
            print(f"  {b.name:<20} {human(e['median'], b.unit)} {b.unit} ±{e['spread_pct']:.0f}%"
                  f"  p50/p99/p99.9 {e['p50_us']:.0f}/{e['p99_us']:.0f}/{e['p999_us']:.0f} us")

    targets = target_results(summary)
    if targets:
        print()
        print("Targets (ombrel / peer, medians of this run)")
        for name, peer, goal, r, met in targets:
            got = f"{r:.2f}x" if r is not None else "-"
            print(f"  {name:<20} vs {peer:<8} >= {goal:.1f}x  {got:>6}  {'met' if met else 'MISSED'}")

    problems = [r for r in records if r["status"] != "ok"]
    seen = set()
    notes = []
    for r in problems:
        key = (r["bench"], r["loop"], r["reason"])
        if key not in seen:
            seen.add(key)
            notes.append(f"  {r['status']:<5} {r['bench']} on {r['loop']}: {r['reason']}")
    if notes:
        print()
        print("Skipped or failed")
        print("\n".join(notes))


def markdown(sel, summary, loops, info, config, stamp):
    """The medians and the targets as Markdown tables (for the README)."""
    rows = [b for b in sel if summary.get(b.name)]
    out = [f"Run {stamp}: ombrel {info['commit']}, uvloop {info['uvloop']}, Python {info['python']}, "
           f"Linux {info['kernel']}, {info['cpus']} CPUs, {config['rounds_run']} round(s). "
           "Medians; higher is better; ratios are ombrel / peer.", "",
           "| benchmark | unit | " + " | ".join(loops) + " | omb/uv | omb/aio |",
           "|---|---|" + "---:|" * (len(loops) + 2)]
    for b in rows:
        cells = []
        for loop in loops + (("native",) if b.loops == ("native",) else ()):
            e = summary[b.name].get(loop)
            if loop == "native":
                cells = [f"native: {human(e['median'], b.unit)}"] + [""] * (len(loops) - 1) if e else cells
            else:
                cells.append(human(e["median"], b.unit) if e else "-")
        ru, ra = ratio(summary, b.name, "ombrel", "uvloop"), ratio(summary, b.name, "ombrel", "asyncio")
        out.append(f"| {b.name} | {b.unit} | " + " | ".join(cells[:len(loops)])
                   + f" | {f'{ru:.2f}x' if ru else ''} | {f'{ra:.2f}x' if ra else ''} |")
    targets = target_results(summary)
    if targets:
        out += ["", "| target | goal | measured | |", "|---|---:|---:|---|"]
        for name, peer, goal, r, met in targets:
            out.append(f"| {name} vs {peer} | {goal:.1f}x | {f'{r:.2f}x' if r is not None else '-'} | "
                       f"{'met' if met else 'missed'} |")
    return "\n".join(out) + "\n"


# -- the chart ---------------------------------------------------------------


def chart(sel, summary, loops, path, title):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        import matplotlib.ticker
    except ImportError as exc:
        print(f"no chart: matplotlib does not import ({exc})")
        return False
    rows = [b for b in sel if b.loops != ("native",) and summary.get(b.name)]
    if not rows:
        return False
    base_of = {}
    for b in rows:
        base = "asyncio" if "asyncio" in summary[b.name] else next(iter(summary[b.name]))
        base_of[b.name] = base
    lat_rows = [b for b in rows if b.kind in ("echo", "http")]
    panels = 2 if lat_rows else 1
    height = max(3.0, 0.45 * len(rows) + 1.5)
    fig, axes = plt.subplots(1, panels, figsize=(14 if panels == 2 else 9, height), squeeze=False)
    colors = {"ombrel": "#d9534f", "uvloop": "#5b8def", "asyncio": "#9a9a9a"}
    ax = axes[0][0]
    n = len(loops)
    barh = 0.8 / n
    for i, loop in enumerate(loops):
        ys, xs = [], []
        for j, b in enumerate(rows):
            e = summary[b.name].get(loop)
            if e:
                ys.append(j + (i - (n - 1) / 2) * barh)
                xs.append(e["median"] / summary[b.name][base_of[b.name]]["median"])
        ax.barh(ys, xs, height=barh, color=colors.get(loop), label=loop)
    labelled = False
    for j, b in enumerate(rows):
        if b.kind == "echo":
            nat = summary.get(b.name.replace(f"echo_{b.params['kind']}_", "echo_native_"), {}).get("native")
            if nat:
                ax.plot(nat["median"] / summary[b.name][base_of[b.name]]["median"], j, marker="|", color="black",
                        markersize=14, linestyle="none", label=None if labelled else "native io_uring ceiling")
                labelled = True
    ax.set_xscale("log", base=2)
    ax.xaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g}x"))
    ax.axvline(1.0, color="black", linewidth=0.6)
    ax.set_yticks(range(len(rows)))
    ax.set_yticklabels([b.name for b in rows])
    ax.invert_yaxis()
    ax.set_xlabel("throughput relative to asyncio (median, log scale; higher is better)")
    ax.legend(loc="lower right", fontsize=8)
    ax.grid(axis="x", alpha=0.3)
    if lat_rows:
        ax2 = axes[0][1]
        for i, loop in enumerate(loops):
            ys, xs = [], []
            for j, b in enumerate(lat_rows):
                e = summary[b.name].get(loop)
                if e and "p99_us" in e:
                    ys.append(j + (i - (n - 1) / 2) * barh)
                    xs.append(e["p99_us"] / 1000)
            ax2.barh(ys, xs, height=barh, color=colors.get(loop), label=loop)
        ax2.set_yticks(range(len(lat_rows)))
        ax2.set_yticklabels([b.name for b in lat_rows])
        ax2.invert_yaxis()
        ax2.set_xlabel("p99 latency, ms (median over rounds; lower is better)")
        ax2.grid(axis="x", alpha=0.3)
    fig.suptitle(title, fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


# -- main --------------------------------------------------------------------


def probe_loops(loops, env):
    """Which loops can be made at all; the reason for those that cannot."""
    bad = {}
    code = ("import sys; sys.path.insert(0, %r); import asyncio, benchlib\n"
            "f = benchlib.loop_factory(sys.argv[1]); l = f(); l.close()") % HERE
    for loop in loops:
        p = subprocess.run([PY, "-c", code, loop], env=env, capture_output=True, text=True, timeout=60)
        if p.returncode != 0:
            obj = last_json(p.stdout)
            bad[loop] = tail(p.stderr, 1) or (obj or {}).get("skip") or f"exit {p.returncode}"
    return bad


def meta(cfg):
    def out(cmd):
        try:
            return subprocess.run(cmd, capture_output=True, text=True, timeout=20, cwd=TOP, env=cfg.env).stdout.strip()
        except OSError:
            return ""

    versions = out([PY, "-c", "import uvloop, aiohttp; print(uvloop.__version__, aiohttp.__version__)"]).split()
    # Inside the development root a worktree's git folder is out of reach:
    # make bench passes the commit in.
    commit = out(["git", "rev-parse", "--short", "HEAD"])
    return {
        "commit": commit or os.environ.get("OMBREL_BENCH_COMMIT") or "unknown",
        "dirty": bool(out(["git", "status", "--porcelain", "--untracked-files=no"])) if commit else None,
        "python": sys.version.split()[0],
        "uvloop": versions[0] if versions else None,
        "aiohttp": versions[1] if len(versions) > 1 else None,
        "kernel": platform.release(),
        "cpus": os.cpu_count(),
        "loadavg_start": os.getloadavg(),
    }


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", required=True, help="the build directory (its python/ and bench/ are used)")
    p.add_argument("--only", help="groups, names or patterns, comma-separated")
    p.add_argument("--loops", default=",".join(LOOPS), help="loops to run, comma-separated")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--budget", type=float, default=450.0, help="seconds; no run starts after it")
    p.add_argument("--echo-duration", type=float, default=2.0)
    p.add_argument("--echo-warmup", type=float, default=0.5)
    p.add_argument("--http-duration", type=float, default=2.0)
    p.add_argument("--http-warmup", type=float, default=1.0)
    p.add_argument("--micro-duration", type=float, default=1.0)
    p.add_argument("--micro-warmup", type=float, default=0.3)
    p.add_argument("--smoke", action="store_true", help="one short round of everything (checks, not numbers)")
    p.add_argument("--out", default=os.path.join(HERE, "results"))
    p.add_argument("--pythonpath", default="", help="prepended to PYTHONPATH (e.g. a package preview)")
    p.add_argument("--list", action="store_true", help="list the benchmarks and exit")
    cfg = p.parse_args()

    sel = select(benches(), cfg.only)
    if cfg.list:
        for b in sel:
            print(f"{b.group:<6} {b.name:<20} {b.title}")
        return 0
    if cfg.smoke:
        cfg.rounds = 1
        cfg.echo_duration, cfg.echo_warmup = 0.5, 0.2
        cfg.http_duration, cfg.http_warmup = 1.0, 0.0
        cfg.micro_duration, cfg.micro_warmup = 0.3, 0.05
    loops = tuple(l for l in cfg.loops.split(",") if l)
    for l in loops:
        if l not in LOOPS:
            sys.exit(f"run.py: unknown loop {l!r}")

    build = os.path.abspath(cfg.build)
    cfg.loadgen = os.path.join(build, "bench", "bench_loadgen")
    cfg.native_server = os.path.join(build, "bench", "bench_echo_native")
    cfg.data = os.path.join(build, "bench-data")
    cfg.wrk = shutil.which("wrk")
    paths = [x for x in (cfg.pythonpath, os.path.join(build, "python"), os.path.join(TOP, "python")) if x]
    cfg.env = dict(os.environ, PYTHONPATH=":".join(os.path.abspath(x) for x in paths), PYTHONDONTWRITEBYTECODE="1")
    two = (os.cpu_count() or 1) >= 2
    cfg.client_cpu, cfg.server_cpu = (0, 1) if two else (-1, -1)
    if any(b.kind == "echo" for b in sel):
        for exe in (cfg.loadgen, cfg.native_server):
            if not os.access(exe, os.X_OK):
                sys.exit(f"run.py: {exe} is missing: build with -DOMBREL_BUILD_BENCH=ON (make bench does)")

    info = meta(cfg)
    unavailable = probe_loops(loops, cfg.env)
    for loop, why in unavailable.items():
        print(f"note: {loop} is unavailable, its runs are skipped: {why}")

    per_round = sum(b.estimate(cfg) * sum(1 for l in b.loops if l in loops + ("native",) and l not in unavailable)
                    for b in sel)
    rounds = cfg.rounds
    if per_round * rounds > cfg.budget:
        rounds = max(1, int(cfg.budget // per_round))
        print(f"note: a round takes about {per_round:.0f} s: {rounds} round(s) fit the {cfg.budget:.0f} s budget")
    print(f"{len(sel)} benchmark(s), {rounds} round(s) of about {per_round:.0f} s; loops: {', '.join(loops)}"
          f"; client on CPU {cfg.client_cpu}, server on CPU {cfg.server_cpu}; load average "
          f"{info['loadavg_start'][0]:.2f}")

    records = []
    given_up = set()
    errors = {}
    start = time.monotonic()
    deadline = start + cfg.budget
    out_of_time = False
    for r in range(rounds):
        round_start = time.monotonic()
        for bi, b in enumerate(sel):
            order = [l for l in b.loops if l == "native" or l in loops]
            if not order:
                continue
            k = (r + bi) % len(order)
            order = order[k:] + order[:k]
            for loop in order:
                key = (b.name, loop)
                if key in given_up:
                    continue
                rec = {"bench": b.name, "group": b.group, "loop": loop, "round": r + 1, "unit": b.unit}
                if loop in unavailable:
                    rec.update(status="skip", reason=f"loop unavailable: {unavailable[loop]}")
                    records.append(rec)
                    given_up.add(key)
                    continue
                if time.monotonic() > deadline:
                    out_of_time = True
                    break
                t0 = time.monotonic()
                try:
                    value, metrics = RUNNERS[b.kind](b, loop, cfg)
                    rec.update(status="ok", value=value, metrics=metrics)
                    extra = f"  p99 {metrics['p99_us'] / 1000:.2f} ms" if "p99_us" in metrics else ""
                    msg = f"{human(value, b.unit)} {b.unit}{extra}"
                except RunSkip as exc:
                    rec.update(status="skip", reason=str(exc))
                    given_up.add(key)
                    msg = f"skip: {exc}"
                except RunError as exc:
                    rec.update(status="error", reason=str(exc))
                    errors[key] = errors.get(key, 0) + 1
                    if errors[key] >= 2:
                        given_up.add(key)
                    msg = f"ERROR: {exc}"
                rec["wall_s"] = round(time.monotonic() - t0, 3)
                records.append(rec)
                print(f"[{r + 1}/{rounds} {time.monotonic() - start:5.0f}s] {b.name:<20} {loop:<8} {msg}",
                      flush=True)
            if out_of_time:
                break
        if out_of_time:
            print(f"note: the {cfg.budget:.0f} s budget ran out during round {r + 1}; later runs were not started")
            break
        spent = time.monotonic() - round_start
        left = rounds - r - 1
        if left and time.monotonic() + spent > deadline:
            print(f"note: the last round took {spent:.0f} s; stopping after {r + 1} round(s) to keep the budget")
            break

    info["loadavg_end"] = os.getloadavg()
    info["seconds"] = round(time.monotonic() - start, 1)
    summary = summarize(records)
    print_table(sel, summary, records, loops)

    os.makedirs(cfg.out, exist_ok=True)
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    config = {k: getattr(cfg, k) for k in ("only", "loops", "rounds", "budget", "echo_duration", "echo_warmup",
                                             "http_duration", "http_warmup", "micro_duration", "micro_warmup",
                                             "smoke", "client_cpu", "server_cpu")}
    config["rounds_run"] = max((r["round"] for r in records), default=0)
    doc = {"meta": info, "config": config,
           "benchmarks": {b.name: {"group": b.group, "title": b.title, "unit": b.unit, "loops": list(b.loops)}
                          for b in sel},
           "summary": summary,
           "targets": [{"bench": n, "peer": p, "goal": g, "ratio": r, "met": m}
                       for n, p, g, r, m in target_results(summary)],
           "runs": records}
    mpath = os.path.join(cfg.out, f"{stamp}.md")
    with open(mpath, "w") as f:
        f.write(markdown(sel, summary, loops, info, config, stamp))
    shutil.copyfile(mpath, os.path.join(cfg.out, "latest.md"))
    jpath = os.path.join(cfg.out, f"{stamp}.json")
    with open(jpath, "w") as f:
        json.dump(doc, f, indent=1)
    shutil.copyfile(jpath, os.path.join(cfg.out, "latest.json"))
    title = (f"ombrel {info['commit']}{'+' if info['dirty'] else ''} vs uvloop {info['uvloop']} vs asyncio "
             f"(Python {info['python']}, {stamp}, {config['rounds_run']} round(s), load {info['loadavg_start'][0]:.1f})")
    ppath = os.path.join(cfg.out, f"{stamp}.png")
    made = chart(sel, summary, loops, ppath, title)
    if made:
        shutil.copyfile(ppath, os.path.join(cfg.out, "latest.png"))
    print()
    print(f"Raw results: {os.path.relpath(jpath)}" + (f"; chart: {os.path.relpath(ppath)}" if made else "")
          + f"; {info['seconds']:.0f} s; load average {info['loadavg_start'][0]:.2f} -> "
          f"{info['loadavg_end'][0]:.2f} (a shared machine: compare ratios, not absolute numbers)")
    return 1 if any(r["status"] == "error" for r in records) else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(130)
