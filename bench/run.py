"""Runs the benchmark suite on ombrel, uvloop and asyncio and prints one table
of medians with the ratios ombrel/uvloop and ombrel/asyncio.

    python3.14 bench/run.py --build BUILD_DIR [--only GROUPS_OR_NAMES] [--loops ...]
                            [--rounds N] [--budget 720] [--smoke] [--list]
                            [--base-pythonpath BASE_BUILD/python:BASE_SRC/python]

Every benchmark runs in a fresh process per loop, in rounds: inside a round
the loops run one row back to back (each round starts with another loop), so
slow drift of a shared machine falls on every loop alike. Cheap rows get
more rounds (registry.py). The table shows the median of the rounds and the
spread (half the range, in % of the median); the ratios are the median of
the per-round ratios with a 95% bootstrap interval. With --base-pythonpath
the two sides are this checkout's ombrel and a base build's (A/B).
Raw results go to bench/results/<time>.json with a chart <time>.png (and
latest.json / latest.png).

Groups: micro, file, echo, load, memory, http. --only takes groups,
benchmark names or shell patterns, comma-separated (e.g. --only
micro,echo_protocol_*).
"""

import argparse
import datetime
import json
import math
import os
import platform
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from registry import LOOPS, benches, select  # noqa: E402
from report import all_ratios, chart, human, markdown, print_table, summarize, target_results  # noqa: E402
from runners import PY, RUNNERS, RunError, RunSkip, last_json, tail  # noqa: E402

TOP = os.path.dirname(HERE)


def probe_loops(loops, env):
    """Which loops can be made at all; the reason for those that cannot."""
    bad = {}
    code = (
        "import sys; sys.path.insert(0, %r); import asyncio, benchlib\n"
        "f = benchlib.loop_factory(sys.argv[1]); l = f(); l.close()"
    ) % HERE
    for loop in loops:
        p = subprocess.run([PY, "-c", code, loop], env=env, capture_output=True, text=True, timeout=60)
        if p.returncode != 0:
            obj = last_json(p.stdout)
            bad[loop] = tail(p.stderr, 1) or (obj or {}).get("skip") or f"exit {p.returncode}"
    return bad


def imported_from(env):
    """Where ombrel's package and extension import from with this env."""
    code = "import ombrel, _ombrel; print(ombrel.__file__, _ombrel.__file__)"
    p = subprocess.run([PY, "-c", code], env=env, capture_output=True, text=True, timeout=60, cwd="/")
    return p.stdout.strip() or tail(p.stderr, 1)


def real_loop(side):
    """The loop a side runs: the base of an A/B comparison is ombrel too."""
    return "ombrel" if side == "base" else side


def schedule(sel, counts, rounds):
    """[set of rows] per round: a row with n of the `rounds` rounds runs in
    rounds spread evenly over the run (the first one always), so that slow
    drift of the machine falls on every row alike."""
    plan = [set() for _ in range(rounds)]
    for b in sel:
        n = counts[b.name]
        for r in range(rounds):
            if math.ceil((r + 1) * n / rounds) > math.ceil(r * n / rounds):
                plan[r].add(b.name)
    return plan


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
    p.add_argument("--rounds", type=int, help="rounds of every row (default: each row's own, from registry.py)")
    p.add_argument("--budget", type=float, default=780.0, help="seconds; no run starts after it")
    p.add_argument("--echo-duration", type=float, default=0.8)
    p.add_argument("--echo-warmup", type=float, default=0.3)
    p.add_argument("--http-duration", type=float, default=2.0)
    p.add_argument("--http-warmup", type=float, default=1.0)
    p.add_argument("--micro-duration", type=float, default=0.5)
    p.add_argument("--micro-warmup", type=float, default=0.15)
    p.add_argument(
        "--fixed-rate", type=float, default=30000.0, help="requests/s offered to the fixed-load rows (cpu_*)"
    )
    p.add_argument("--load-conns", type=int, default=32, help="connections of the fixed-load rows")
    p.add_argument("--load-duration", type=float, default=3.0)
    p.add_argument("--load-warmup", type=float, default=1.0)
    p.add_argument("--memory-conns", type=int, default=10000, help="connections of the RSS rows")
    p.add_argument("--memory-seconds", type=float, default=14.0, help="what one memory.py run is expected to take")
    p.add_argument("--bulk-duration", type=float, default=1.5)
    p.add_argument("--bulk-warmup", type=float, default=0.5)
    p.add_argument("--smoke", action="store_true", help="one short round of everything (checks, not numbers)")
    p.add_argument("--out", default=os.path.join(HERE, "results"))
    p.add_argument("--pythonpath", default="", help="prepended to PYTHONPATH (e.g. a package preview)")
    p.add_argument("--list", action="store_true", help="list the benchmarks and exit")
    p.add_argument(
        "--base-pythonpath",
        help="A/B mode: PYTHONPATH of a base build (its extension and package); ombrel runs from both, "
        "round by round, and the ratios are current / base",
    )
    p.add_argument("--base-label", default="base", help="what the base is (its commit), for the report")
    cfg = p.parse_args()

    sel = select(benches(), cfg.only)
    if cfg.list:
        for b in sel:
            print(f"{b.group:<6} {b.name:<26} {b.title}{' (lower is better)' if b.lower_better else ''}")
        return 0
    if cfg.smoke:
        cfg.rounds = 1
        cfg.budget = max(cfg.budget, 3600.0)
        cfg.echo_duration, cfg.echo_warmup = 0.5, 0.2
        cfg.http_duration, cfg.http_warmup = 1.0, 0.0
        cfg.micro_duration, cfg.micro_warmup = 0.3, 0.05
        cfg.load_duration, cfg.load_warmup = 0.5, 0.2
        cfg.bulk_duration, cfg.bulk_warmup = 0.2, 0.0
        cfg.memory_conns, cfg.memory_seconds = 1000, 5.0
    loops = tuple(l for l in cfg.loops.split(",") if l)
    for l in loops:
        if l not in LOOPS:
            sys.exit(f"run.py: unknown loop {l!r}")
    if cfg.base_pythonpath:
        # Both sides run the loop named ombrel, each with its own package and
        # extension; the native rows cannot differ and are left out.
        loops = ("ombrel", "base")
        sel = [b for b in sel if "ombrel" in b.loops]

    build = os.path.abspath(cfg.build)
    cfg.loadgen = os.path.join(build, "bench", "bench_loadgen")
    cfg.native_server = os.path.join(build, "bench", "bench_echo_native")
    cfg.file_native = os.path.join(build, "bench", "bench_file_native")
    cfg.cache = {}  # results one run gives to several rows (memory.py)
    cfg.data = os.path.join(build, "bench-data")
    cfg.wrk = shutil.which("wrk")
    paths = [x for x in (cfg.pythonpath, os.path.join(build, "python"), os.path.join(TOP, "python")) if x]
    cfg.env = dict(os.environ, PYTHONPATH=":".join(os.path.abspath(x) for x in paths), PYTHONDONTWRITEBYTECODE="1")
    envs = {l: cfg.env for l in (*loops, "native")}
    if cfg.base_pythonpath:
        base_paths = cfg.base_pythonpath.split(":")
        envs["base"] = dict(cfg.env, PYTHONPATH=":".join(os.path.abspath(x) for x in base_paths if x))
    two = (os.cpu_count() or 1) >= 2
    cfg.client_cpu, cfg.server_cpu = (0, 1) if two else (-1, -1)
    needs = {
        "echo": (cfg.loadgen, cfg.native_server),
        "load": (cfg.loadgen, cfg.native_server),
        "file_native": (cfg.file_native,),
    }
    for exe in sorted({x for b in sel for x in needs.get(b.kind, ())}):
        if not os.access(exe, os.X_OK):
            sys.exit(f"run.py: {exe} is missing: build with -DOMBREL_BUILD_BENCH=ON (make bench does)")

    info = meta(cfg)
    unavailable = {}
    for side in loops:
        for why in probe_loops([real_loop(side)], envs[side]).values():
            unavailable[side] = why
    for loop, why in unavailable.items():
        print(f"note: {loop} is unavailable, its runs are skipped: {why}")
    if cfg.base_pythonpath:
        # A base that resolves to this checkout's files would compare a build
        # with itself and report no change.
        files = {side: imported_from(envs[side]) for side in loops}
        for side in loops:
            print(f"{side} ({info['commit'] if side == 'ombrel' else cfg.base_label}): {files[side]}")
        if files["ombrel"] == files["base"]:
            sys.exit("run.py: the base imports the same ombrel as this checkout; check --base-pythonpath")

    def sides(b):
        return [l for l in b.loops if l == "native" or l in loops] if "base" not in loops else list(loops)

    def runs_of(b):
        return sum(1 for l in sides(b) if l not in unavailable)

    counts = {b.name: b.round_count(cfg.rounds) for b in sel}

    def plan_seconds(cs):
        return sum(b.estimate(cfg) * runs_of(b) * cs[b.name] for b in sel)

    # Fit the budget by giving every row proportionally fewer rounds.
    scale = 1.0
    fitted = dict(counts)
    while plan_seconds(fitted) > cfg.budget and max(fitted.values(), default=1) > 1:
        scale *= 0.9
        fitted = {k: max(1, round(n * scale)) for k, n in counts.items()}
    if fitted != counts:
        print(f"note: fewer rounds fit the {cfg.budget:.0f} s budget ({scale:.2f} of each row's)")
    rounds = max(fitted.values(), default=1)
    plan = schedule(sel, fitted, rounds)
    total = plan_seconds(fitted)
    print(
        f"{len(sel)} benchmark(s), {rounds} round(s) (each row in {min(fitted.values(), default=0)} to {rounds}), "
        f"about {total:.0f} s; loops: {', '.join(loops)}; client on CPU {cfg.client_cpu}, "
        f"server on CPU {cfg.server_cpu}; load average {info['loadavg_start'][0]:.2f}"
    )

    records = []
    given_up = set()
    errors = {}
    start = time.monotonic()
    deadline = start + cfg.budget
    out_of_time = False
    for r in range(rounds):
        cfg.round = r
        for bi, b in enumerate(sel):
            order = sides(b)
            if not order or b.name not in plan[r]:
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
                cfg.env = envs[loop]
                try:
                    value, metrics = RUNNERS[b.kind](b, real_loop(loop), cfg)
                    rec.update(status="ok", value=value, metrics=metrics)
                    extra = f"  p99 {metrics['p99_us'] / 1000:.2f} ms" if "p99_us" in metrics else ""
                    if "cpu_user_us" in metrics:
                        extra += (
                            f"  (user {metrics['cpu_user_us']:.2f} + sys {metrics['cpu_sys_us']:.2f}; "
                            f"{human(metrics['rps'], '')} req/s"
                            f"{'' if metrics['sustained'] else ', NOT SUSTAINED'})"
                        )
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
                print(f"[{r + 1}/{rounds} {time.monotonic() - start:5.0f}s] {b.name:<25} {loop:<8} {msg}", flush=True)
            if out_of_time:
                break
        if out_of_time:
            print(f"note: the {cfg.budget:.0f} s budget ran out during round {r + 1}; later runs were not started")
            break

    info["loadavg_end"] = os.getloadavg()
    info["seconds"] = round(time.monotonic() - start, 1)
    summary = summarize(records)
    config = {
        k: getattr(cfg, k)
        for k in (
            "only",
            "loops",
            "rounds",
            "budget",
            "echo_duration",
            "echo_warmup",
            "http_duration",
            "http_warmup",
            "micro_duration",
            "micro_warmup",
            "fixed_rate",
            "load_conns",
            "load_duration",
            "load_warmup",
            "memory_conns",
            "bulk_duration",
            "bulk_warmup",
            "smoke",
            "client_cpu",
            "server_cpu",
            "base_pythonpath",
            "base_label",
        )
    }
    config["rounds_per_row"] = fitted
    if not cfg.base_pythonpath:
        config["base_label"] = None
    print_table(sel, summary, records, loops, config)

    os.makedirs(cfg.out, exist_ok=True)
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    config["rounds_run"] = max((r["round"] for r in records), default=0)
    doc = {
        "meta": info,
        "config": config,
        "benchmarks": {
            b.name: {
                "group": b.group,
                "title": b.title,
                "unit": b.unit,
                "loops": list(b.loops),
                "lower_is_better": b.lower_better,
            }
            for b in sel
        },
        "summary": summary,
        "ratios": all_ratios(sel, records, loops),
        "targets": target_results(summary, records) if not cfg.base_pythonpath else [],
        "runs": records,
    }
    mpath = os.path.join(cfg.out, f"{stamp}.md")
    with open(mpath, "w") as f:
        f.write(markdown(sel, summary, loops, info, config, stamp, records))
    shutil.copyfile(mpath, os.path.join(cfg.out, "latest.md"))
    jpath = os.path.join(cfg.out, f"{stamp}.json")
    with open(jpath, "w") as f:
        json.dump(doc, f, indent=1)
    shutil.copyfile(jpath, os.path.join(cfg.out, "latest.json"))
    peers = f"base {cfg.base_label}" if cfg.base_pythonpath else f"uvloop {info['uvloop']} vs asyncio"
    title = (
        f"ombrel {info['commit']}{'+' if info['dirty'] else ''} vs {peers} "
        f"(Python {info['python']}, {stamp}, {config['rounds_run']} round(s), load {info['loadavg_start'][0]:.1f})"
    )
    ppath = os.path.join(cfg.out, f"{stamp}.png")
    made = chart(sel, summary, loops, ppath, title, records)
    if made:
        shutil.copyfile(ppath, os.path.join(cfg.out, "latest.png"))
    print()
    print(
        f"Raw results: {os.path.relpath(jpath)}"
        + (f"; chart: {os.path.relpath(ppath)}" if made else "")
        + f"; {info['seconds']:.0f} s; load average {info['loadavg_start'][0]:.2f} -> "
        f"{info['loadavg_end'][0]:.2f} (a shared machine: compare ratios, not absolute numbers)"
    )
    return 1 if any(r["status"] == "error" for r in records) else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(130)
