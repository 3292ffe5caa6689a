"""The results: medians over the rounds, ratios, targets, the printed table,
the Markdown for the README and the chart.

Most rows are rates (higher is better); rows with Bench.lower_better (CPU
time per request, memory per connection) are costs. Ratios are always
ombrel / peer, so for a cost a ratio below 1.00x favours ombrel; the chart
inverts those rows so that right is better on every row.
"""

import statistics

from registry import TARGETS

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


def ratio(summary, bench, a, b, metric="median", b_bench=None):
    x = summary.get(bench, {}).get(a)
    y = summary.get(b_bench or bench, {}).get(b)
    if x and y and y.get(metric) and metric in x:
        return x[metric] / y[metric]
    return None


def target_results(summary):
    """The targets whose row was measured, each with the measured ratio (None
    when a side is missing) and whether it is met."""
    out = []
    for t in TARGETS:
        if t.bench not in summary:
            continue
        r = ratio(summary, t.bench, "ombrel", t.peer, t.metric, t.peer_bench)
        met = r is not None and (r >= t.goal if t.op == ">=" else r <= t.goal)
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
                "ratio": r,
                "met": met,
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
    head = ["benchmark", "unit", *loops, "omb/uv", "omb/aio"]
    table = [head]
    for b in rows:
        ru, ra = ratio(summary, b.name, "ombrel", "uvloop"), ratio(summary, b.name, "ombrel", "asyncio")
        table.append(
            [b.name, unit_of(b), *(cell(b, l) for l in loops), f"{ru:.2f}x" if ru else "-", f"{ra:.2f}x" if ra else "-"]
        )
    if len(table) > 1:
        widths = [max(len(r[i]) for r in table) for i in range(len(head))]
        print()
        print("Medians (±: half the range over rounds; ratios: ombrel / other). Rates: higher is better; units")
        print(f"marked{DOWN} (CPU time, memory) are costs: lower is better, a ratio below 1.00x favours ombrel.")
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

    targets = target_results(summary)
    if targets:
        print()
        print("Targets (ombrel / peer, medians of this run)")
        width = max(len(t["target"]) for t in targets)
        for t in targets:
            got = f"{t['ratio']:.2f}x" if t["ratio"] is not None else "-"
            print(
                f"  {t['target']:<{width}} vs {t['peer']:<8} {t['op']} {t['goal']:.1f}x  {got:>6}  "
                f"{'met' if t['met'] else 'MISSED'}{'  (' + t['note'] + ')' if t['note'] else ''}"
            )

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
    """The medians, the fixed-load rows and the targets as Markdown tables
    (for the README)."""
    rows = [b for b in sel if summary.get(b.name)]
    out = [
        f"Run {stamp}: ombrel {info['commit']}, uvloop {info['uvloop']}, Python {info['python']}, "
        f"Linux {info['kernel']}, {info['cpus']} CPUs, {config['rounds_run']} round(s). "
        f"Medians; ratios are ombrel / peer. Rates: higher is better; units marked{DOWN} are costs "
        "(lower is better: a ratio below 1.00x favours ombrel).",
        "",
        "| benchmark | unit | " + " | ".join(loops) + " | omb/uv | omb/aio |",
        "|---|---|" + "---:|" * (len(loops) + 2),
    ]
    for b in rows:
        cells = []
        for loop in loops + (("native",) if b.loops == ("native",) else ()):
            e = summary[b.name].get(loop)
            if loop == "native":
                cells = [f"native: {human(e['median'], b.unit)}"] + [""] * (len(loops) - 1) if e else cells
            else:
                cells.append(human(e["median"], b.unit) if e else "-")
        ru, ra = ratio(summary, b.name, "ombrel", "uvloop"), ratio(summary, b.name, "ombrel", "asyncio")
        out.append(
            f"| {b.name} | {unit_of(b)} | "
            + " | ".join(cells[: len(loops)])
            + f" | {f'{ru:.2f}x' if ru else ''} | {f'{ra:.2f}x' if ra else ''} |"
        )
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
    targets = target_results(summary)
    if targets:
        out += ["", "| target | peer | goal | measured | |", "|---|---|---:|---:|---|"]
        for t in targets:
            got = f"{t['ratio']:.2f}x" if t["ratio"] is not None else "-"
            note = f" ({t['note']})" if t["note"] else ""
            out.append(
                f"| {t['target']} | {t['peer']} | {t['op']} {t['goal']:.1f}x | {got} | "
                f"{'met' if t['met'] else 'missed'}{note} |"
            )
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
        base_of[b.name] = summary[b.name][base]["median"]

    def rel(b, v):
        """Relative to the base loop, right is better: costs inverted."""
        return base_of[b.name] / v if b.lower_better else v / base_of[b.name]

    lat_rows = [b for b in rows if any("p99_us" in e for e in summary[b.name].values())]
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
            if e and e["median"]:
                ys.append(j + (i - (n - 1) / 2) * barh)
                xs.append(rel(b, e["median"]))
        ax.barh(ys, xs, height=barh, color=colors.get(loop), label=loop)
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
    ax.xaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g}x"))
    ax.axvline(1.0, color="black", linewidth=0.6)
    ax.set_yticks(range(len(rows)))
    ax.set_yticklabels([f"{b.name} (cost, 1/x)" if b.lower_better else b.name for b in rows])
    ax.invert_yaxis()
    ax.set_xlabel("relative to asyncio (median, log scale; right is better: costs are inverted)")
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
