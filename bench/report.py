"""The results: medians over the rounds, ratios, targets, the printed table,
the Markdown for the README and the chart."""

import statistics

from registry import TARGETS


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

