"""The results: medians over the rounds, ratios, targets, the printed table,
the Markdown for the README and the chart.

Most rows are rates (higher is better); rows with Bench.lower_better (CPU
time per request, memory per connection) are costs. Ratios are always
ombrel / peer, so for a cost a ratio below 1.00x favours ombrel; the chart
inverts those rows so that right is better on every row.
"""

import random
import statistics

from registry import TARGETS

RESAMPLES = 2000  # bootstrap resamples of the rounds
SEED = 20261208  # fixed: the same runs always give the same interval
SHORT = {"uvloop": "uv", "asyncio": "aio"}

DOWN = " ↓"  # marks a lower-is-better unit


def human(v, unit):
    if unit == "MiB/s":
        return f"{v:,.0f}"
    for div, suf in ((1e6, "M"), (1e3, "k")):
        if v >= div:
            return f"{v / div:.3g}{suf}" if v / div < 1000 else f"{v / div:,.0f}{suf}"
    return f"{v:.3g}"


def unit_of(b):
    return b.unit + (DOWN if b.lower_better else "")


def summarize(records):
    """{bench: {loop: entry}}: the median value over the rounds, its spread,
    and the median of every numeric metric the runs reported."""
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
            entry = {
                "median": med,
                "n": len(vals),
                "min": min(vals),
                "max": max(vals),
                "spread_pct": (max(vals) - min(vals)) / 2 / med * 100 if med else 0.0,
            }
            keys = {
                k
                for r in rs
                for k, v in r["metrics"].items()
                if isinstance(v, (int, float)) and not isinstance(v, bool)
            }
            for k in sorted(keys):
                ms = [r["metrics"][k] for r in rs if k in r["metrics"]]
                if k not in entry:
                    entry[k] = statistics.median(ms)
            if any("sustained" in r["metrics"] for r in rs):
                entry["unsustained"] = sum(1 for r in rs if not r["metrics"].get("sustained", True))
            out[bench][loop] = entry
    return out


def median_interval(ratios, resamples=RESAMPLES, seed=SEED):
    """(median, low, high): the median of the per-round ratios and its 95%
    bootstrap interval (resampling the rounds); low and high are None with
    fewer than two rounds."""
    med = statistics.median(ratios)
    if len(ratios) < 2:
        return med, None, None
    rng = random.Random(seed)
    meds = sorted(statistics.median(rng.choices(ratios, k=len(ratios))) for _ in range(resamples))
    return med, meds[int(0.025 * resamples)], meds[int(0.975 * resamples) - 1]


def round_ratios(records, bench, a, b, metric="median", b_bench=None):
    """a / b for every round in which both ran: each round runs the loops
    back to back, so a round's ratio cancels what the machine did during it."""

    def by_round(name, loop):
        out = {}
        for r in records:
            if r["status"] == "ok" and r["bench"] == name and r["loop"] == loop:
                v = r["value"] if metric == "median" else r["metrics"].get(metric)
                if isinstance(v, (int, float)):
                    out[r["round"]] = v
        return out

    xs, ys = by_round(bench, a), by_round(b_bench or bench, b)
    return [xs[k] / ys[k] for k in sorted(xs.keys() & ys.keys()) if ys[k]]


def ratio_stats(records, bench, a, b, metric="median", b_bench=None):
    """{"ratio", "low", "high", "rounds"} for a / b, or None when no round
    has both."""
    rs = round_ratios(records, bench, a, b, metric, b_bench)
    if not rs:
        return None
    med, lo, hi = median_interval(rs)
    return {"ratio": med, "low": lo, "high": hi, "rounds": len(rs)}


def goal_text(goal):
    """1.0, 1.5, 1.15: one decimal unless the goal has two."""
    return f"{goal:.1f}" if round(goal * 10, 6).is_integer() else f"{goal:.2f}"


def verdict(op, goal, st):
    """met / missed / undecided: undecided when the interval holds the goal.
    With one round there is no interval and the median decides."""
    if st is None:
        return "missed"
    lo = st["low"] if st["low"] is not None else st["ratio"]
    hi = st["high"] if st["high"] is not None else st["ratio"]
    if lo <= goal <= hi and st["low"] is not None:
        return "undecided"
    ok = st["ratio"] >= goal if op == ">=" else st["ratio"] <= goal
    return "met" if ok else "missed"


def fmt_ratio(st, interval=True):
    if st is None:
        return "-"
    if not interval or st["low"] is None:
        return f"{st['ratio']:.2f}x"
    return f"{st['ratio']:.2f}x [{st['low']:.2f}, {st['high']:.2f}]"


def all_ratios(sel, records, loops):
    """{bench: {peer: stats}}: ombrel over every other loop, per round."""
    out = {}
    for b in sel:
        for peer in loops:
            if peer != "ombrel":
                st = ratio_stats(records, b.name, "ombrel", peer)
                if st:
                    out.setdefault(b.name, {})[peer] = st
    return out


def ratio(summary, bench, a, b, metric="median", b_bench=None):
    x = summary.get(bench, {}).get(a)
    y = summary.get(b_bench or bench, {}).get(b)
    if x and y and y.get(metric) and metric in x:
        return x[metric] / y[metric]
    return None


def target_results(summary, records):
    """The targets whose row was measured, each with the median of the
    per-round ratios, its interval, and met / missed / undecided."""
    out = []
    for t in TARGETS:
        if t.bench not in summary:
            continue
        st = ratio_stats(records, t.bench, "ombrel", t.peer, t.metric, t.peer_bench)
        state = verdict(t.op, t.goal, st)
        notes = [
            f"{side} did not sustain the load in {e['unsustained']} of {e['n']} round(s)"
            for side, e in (
                ("ombrel", summary[t.bench].get("ombrel")),
                (t.peer, summary.get(t.peer_bench or t.bench, {}).get(t.peer)),
            )
            if e and e.get("unsustained")
        ]
        out.append(
            {
                "target": t.label(),
                "bench": t.bench,
                "metric": t.metric,
                "peer": t.peer,
                "op": t.op,
                "goal": t.goal,
                "ratio": st and st["ratio"],
                "low": st and st["low"],
                "high": st and st["high"],
                "rounds": st["rounds"] if st else 0,
                "state": state,
                "met": state == "met",
                "note": "; ".join(notes),
            }
        )
    return out


def load_lines(sel, summary, loops):
    """(bench, loop, entry) of the fixed-load rows, native included."""
    out = []
    for b in sel:
        if b.kind != "load":
            continue
        for loop in (*loops, "native"):
            e = summary.get(b.name, {}).get(loop)
            if e and loop in b.loops:
                out.append((b, loop, e))
    return out


def load_note(e):
    if e.get("unsustained"):
        return f"NOT SUSTAINED in {e['unsustained']} of {e['n']} round(s): {human(e['rps'], '')} req/s achieved"
    return ""


def print_table(sel, summary, records, loops, config=None):
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
    peers = [l for l in loops if l != "ombrel"]
    ratios = all_ratios(rows, records, loops)
    head = ["benchmark", "unit", *loops, *(f"omb/{SHORT.get(p, p)}" for p in peers)]
    table = [head]
    for b in rows:
        table.append(
            [
                b.name,
                unit_of(b),
                *(cell(b, l) for l in loops),
                *(fmt_ratio(ratios.get(b.name, {}).get(p)) for p in peers),
            ]
        )
    if len(table) > 1:
        widths = [max(len(r[i]) for r in table) for i in range(len(head))]
        print()
        print("Medians (±: half the range over rounds). Ratios: ombrel / other, the median of the per-round")
        print("ratios with its 95% bootstrap interval [low, high] (none from one round). Rates: higher is better;")
        print(f"units marked{DOWN} (CPU time, memory) are costs: lower is better, a ratio below 1.00x favours ombrel.")
        for i, r in enumerate(table):
            print("  ".join(c.ljust(widths[j]) if j < 2 else c.rjust(widths[j]) for j, c in enumerate(r)))
            if i == 0:
                print("  ".join("-" * w for w in widths))

    lat = [
        b
        for b in rows
        if b.kind in ("echo", "http") and summary.get(b.name) and any("p99_us" in e for e in summary[b.name].values())
    ]
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

    load = load_lines(sel, summary, loops)
    if load:
        print()
        rate = f"{human(config['fixed_rate'], '')} req/s on {config['load_conns']} connections" if config else "fixed"
        print(f"Fixed load ({rate}): server CPU per request in us, user + system = total (the kernel's")
        print("split, sampled at its tick; the total is exact), and latency p50 / p99 / p99.9 in us from the")
        print("intended send time (lower is better)")
        for b, loop, e in load:
            print(
                f"  {b.name:<16} {loop:<8} {e['cpu_user_us']:5.2f} + {e['cpu_sys_us']:5.2f} = {e['median']:5.2f}"
                f"   {e['p50_us']:.0f} / {e['p99_us']:.0f} / {e['p999_us']:.0f}   {load_note(e)}".rstrip()
            )

    natives = [b for b in sel if b.loops == ("native",) and b.kind != "load" and summary.get(b.name, {}).get("native")]
    if natives:
        print()
        print("Native programs (C++ on io_uring, no Python): what this machine gives at most")
        for b in natives:
            e = summary[b.name]["native"]
            lat_s = (
                f"  p50/p99/p99.9 {e['p50_us']:.0f}/{e['p99_us']:.0f}/{e['p999_us']:.0f} us" if "p999_us" in e else ""
            )
            print(f"  {b.name:<20} {human(e['median'], b.unit)} {b.unit} ±{e['spread_pct']:.0f}%{lat_s}")

    targets = target_results(summary, records) if "uvloop" in loops or "asyncio" in loops else []
    if targets:
        print()
        print("Targets (ombrel / peer: median of the per-round ratios [95% interval]; undecided: the interval")
        print("holds the goal, more rounds or a quieter machine would tell)")
        width = max(len(t["target"]) for t in targets)
        got = [fmt_ratio(t if t["ratio"] is not None else None) for t in targets]
        gw = max(len(g) for g in got)
        for t, g in zip(targets, got):
            print(
                f"  {t['target']:<{width}} vs {t['peer']:<8} {t['op']} {goal_text(t['goal'])}x  {g:>{gw}}  "
                f"{STATE[t['state']]}{'  (' + t['note'] + ')' if t['note'] else ''}"
            )

    unpinned = unpinned_rows(sel, config)
    if unpinned:
        print()
        print("Not pinned to CPUs")
        for name, why in unpinned:
            print(f"  {name}: {why}")

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


STATE = {"met": "met", "missed": "MISSED", "undecided": "undecided"}


def unpinned_rows(sel, config):
    """(row, why) for the rows whose processes are not pinned to CPUs."""
    if config and config.get("server_cpu", 0) < 0:
        return [("all rows", "this machine has one CPU")] if sel else []
    return [(b.name, b.unpinned) for b in sel if b.unpinned]


def markdown(sel, summary, loops, info, config, stamp, records):
    """The medians, the fixed-load rows and the targets as Markdown tables
    (for the README)."""
    rows = [b for b in sel if summary.get(b.name)]
    peers = [l for l in loops if l != "ombrel"]
    ratios = all_ratios(rows, records, loops)
    out = [
        f"Run {stamp}: ombrel {info['commit']}, uvloop {info['uvloop']}, Python {info['python']}, "
        f"Linux {info['kernel']}, {info['cpus']} CPUs, {config['rounds_run']} round(s)"
        + (f", base {config['base_label']}" if config.get("base_label") else "")
        + ". Values are medians over the rounds; ratios are ombrel / peer, the median of the per-round "
        "ratios with its 95% bootstrap interval. Rates: higher is better; units "
        f"marked{DOWN} are costs (lower is better: a ratio below 1.00x favours ombrel).",
        "",
        "| benchmark | unit | "
        + " | ".join(loops)
        + " | "
        + " | ".join(f"omb/{SHORT.get(p, p)}" for p in peers)
        + " |",
        "|---|---|" + "---:|" * (len(loops) + len(peers)),
    ]
    for b in rows:
        cells = []
        for loop in loops + (("native",) if b.loops == ("native",) else ()):
            e = summary[b.name].get(loop)
            if loop == "native":
                cells = [f"native: {human(e['median'], b.unit)}"] + [""] * (len(loops) - 1) if e else cells
            else:
                cells.append(human(e["median"], b.unit) if e else "-")
        got = [fmt_ratio(ratios.get(b.name, {}).get(p)).replace("-", "") for p in peers]
        out.append(f"| {b.name} | {unit_of(b)} | " + " | ".join(cells[: len(loops)] + got) + " |")
    load = load_lines(sel, summary, loops)
    if load:
        out += [
            "",
            f"Fixed load: {config['fixed_rate']:,.0f} req/s offered on {config['load_conns']} connections, "
            "1 KiB echo. Server CPU per request (its own user and system time over the measured window, "
            "microseconds) and latency from the intended send time (microseconds); lower is better.",
            "",
            "| row | loop | achieved req/s | user | system | CPU/req | p50 | p99 | p99.9 | |",
            "|---|---|---:|---:|---:|---:|---:|---:|---:|---|",
        ]
        for b, loop, e in load:
            out.append(
                f"| {b.name} | {loop} | {human(e['rps'], '')} | {e['cpu_user_us']:.2f} | "
                f"{e['cpu_sys_us']:.2f} | {e['median']:.2f} | {e['p50_us']:.0f} | {e['p99_us']:.0f} | "
                f"{e['p999_us']:.0f} | {'not sustained' if e.get('unsustained') else ''} |"
            )
    targets = target_results(summary, records) if "uvloop" in loops or "asyncio" in loops else []
    if targets:
        out += ["", "| target | peer | goal | measured [95% interval] | |", "|---|---|---:|---:|---|"]
        for t in targets:
            got = fmt_ratio(t if t["ratio"] is not None else None)
            note = f" ({t['note']})" if t["note"] else ""
            out.append(
                f"| {t['target']} | {t['peer']} | {t['op']} {goal_text(t['goal'])}x | {got} | {t['state']}{note} |"
            )
    unpinned = unpinned_rows(sel, config)
    if unpinned:
        out += ["", "Not pinned to CPUs: " + "; ".join(f"{n} ({why})" for n, why in unpinned) + "."]
    return "\n".join(out) + "\n"


# -- the chart ---------------------------------------------------------------


def chart(sel, summary, loops, path, title, records=()):
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
    # The reference is the last loop (asyncio, or the base of a comparison).
    ref_of, base_of = {}, {}
    for b in rows:
        ref = next((l for l in reversed(loops) if l in summary[b.name]), next(iter(summary[b.name])))
        ref_of[b.name], base_of[b.name] = ref, summary[b.name][ref]["median"]

    def rel(b, v):
        """Relative to the base loop, right is better: costs inverted."""
        return base_of[b.name] / v if b.lower_better else v / base_of[b.name]

    def rel_interval(b, loop):
        """(value, low, high) of loop / reference, right is better: the
        median of the per-round ratios and its interval (low = high = value
        when the rounds do not pair)."""
        st = ratio_stats(records, b.name, loop, ref_of[b.name]) if loop != ref_of[b.name] else None
        if st is None:
            v = rel(b, summary[b.name][loop]["median"])
            return v, v, v
        lo = st["low"] if st["low"] is not None else st["ratio"]
        hi = st["high"] if st["high"] is not None else st["ratio"]
        if b.lower_better:
            return 1 / st["ratio"], 1 / hi, 1 / lo
        return st["ratio"], lo, hi

    lat_rows = [b for b in rows if any("p99_us" in e for e in summary[b.name].values())]
    panels = 2 if lat_rows else 1
    height = max(3.0, 0.45 * len(rows) + 1.5)
    fig, axes = plt.subplots(1, panels, figsize=(14 if panels == 2 else 9, height), squeeze=False)
    colors = {"ombrel": "#d9534f", "uvloop": "#5b8def", "asyncio": "#9a9a9a", "base": "#f0ad4e"}
    ax = axes[0][0]
    n = len(loops)
    barh = 0.8 / n
    for i, loop in enumerate(loops):
        ys, xs, errs = [], [], ([], [])
        for j, b in enumerate(rows):
            e = summary[b.name].get(loop)
            if e and e["median"]:
                v, lo, hi = rel_interval(b, loop)
                ys.append(j + (i - (n - 1) / 2) * barh)
                xs.append(v)
                errs[0].append(max(v - lo, 0.0))
                errs[1].append(max(hi - v, 0.0))
        ax.barh(ys, xs, height=barh, color=colors.get(loop), label=loop, xerr=errs, error_kw={"elinewidth": 0.8})
    # ombrel against the closest peer (uvloop, or the base), written at the
    # end of ombrel's bar: the number the targets are about.
    peer = next((l for l in loops if l != "ombrel"), None)
    texted = bool(peer and peer != loops[-1] or peer == "base")
    if texted:
        for j, b in enumerate(rows):
            st = ratio_stats(records, b.name, "ombrel", peer)
            if st and "ombrel" in loops:
                v = rel_interval(b, "ombrel")[2]
                y = j + (loops.index("ombrel") - (n - 1) / 2) * barh
                ax.text(v * 1.03, y, f"omb/{SHORT.get(peer, peer)} {fmt_ratio(st)}", va="center", fontsize=7)
    labelled = False
    for j, b in enumerate(rows):
        nat = summary.get(b.native, {}).get("native") if b.native else None
        if nat and nat["median"]:
            ax.plot(
                rel(b, nat["median"]),
                j,
                marker="|",
                color="black",
                markersize=14,
                linestyle="none",
                label=None if labelled else "native io_uring program",
            )
            labelled = True
    ax.set_xscale("log", base=2)
    if texted:
        lo, hi = ax.get_xlim()
        ax.set_xlim(lo, hi * 2.5)  # room for the text
    ax.xaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g}x"))
    ax.axvline(1.0, color="black", linewidth=0.6)
    ax.set_yticks(range(len(rows)))
    ax.set_yticklabels([f"{b.name} (cost, 1/x)" if b.lower_better else b.name for b in rows])
    ax.invert_yaxis()
    ax.set_xlabel(
        f"relative to {loops[-1]} (median of per-round ratios, log scale, error bars: 95% interval;\n"
        "right is better: costs are inverted)"
    )
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
        ax2.set_xscale("log")
        ax2.set_yticks(range(len(lat_rows)))
        ax2.set_yticklabels([b.name for b in lat_rows])
        ax2.invert_yaxis()
        ax2.set_xlabel("p99 latency, ms (median over rounds, log scale; lower is better)")
        ax2.grid(axis="x", alpha=0.3)
    fig.suptitle(title, fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True
