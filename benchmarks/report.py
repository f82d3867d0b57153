"""Printing, JSON, the README tables and the PNG chart of a benchmark run.

    python benchmarks/report.py [PATH]   # the README tables of a run's JSON

PATH defaults to benchmarks/out/results.json, where ``run.py`` (without
``--quick``) writes; paste what this prints into the README's Performance
section, which is the published record of the results.
"""

import json
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def _status(row):
    if "error" in row:
        return "ERROR"
    again = "".join(f", again {ratio:.2f}x" for ratio in row.get("rechecks", []))
    if row.get("lost"):
        return "LOST" + again
    if row["met"]:
        return "met" + again
    return f"MISS (+{100 * (row['ratio_median'] / row['goal'] - 1):.1f}%)" + again


def _table(header, rows):
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *rows)]
    lines = ["  ".join(str(c).ljust(w) for c, w in zip(header, widths)),
             "  ".join("-" * w for w in widths)]
    lines += ["  ".join(str(c).ljust(w) for c, w in zip(row, widths)) for row in rows]
    return "\n".join(lines)


def _markdown(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


def _per_op(value, unit):
    return f"{value:.0f} {unit}" if value >= 100 else f"{value:.1f} {unit}"


def _by_scenario(results):
    """Rows grouped by scenario, in run order: ``[(name, {kind: row})]``."""
    groups = {}
    for row in results["scenarios"]:
        groups.setdefault(row["name"], {})[row["kind"]] = row
    return list(groups.items())


def _kinds(results):
    kinds = {}
    for row in results["scenarios"]:
        kinds.setdefault(row["kind"], row["kind_title"])
    return kinds


def format_text(results):
    meta = results["meta"]
    out = [f"CPython {meta['python']} ({meta['build']}) on {meta['machine']}, "
           f"{meta['cpu']}, {meta['cores']} cores, load average at start "
           f"{meta['load_average_at_start'][0]}",
           f"{meta['rounds']} rounds, ~{meta['sample_ms']} ms samples"
           f"{' of processor time' if meta.get('clock') == 'cpu' else ''}, floor and subject interleaved,"
           " collector paused during samples" + (" [--quick]" if meta["quick"] else ""),
           ""]
    rows = []
    for row in results["scenarios"]:
        head = [row["title"], row["kind_title"], row["floor"]]
        if "error" in row:
            rows.append(head + ["", "", "", "", "", f"<= {row['goal']}x", "ERROR: " + row["error"]])
            continue
        unit = row["unit"]
        low, high = row["ratio_iqr"]
        rows.append(head + [_per_op(row["floor_per_op"], unit), _per_op(row["subject_per_op"], unit),
                            f"{row['ratio_median']:.2f}x", f"{low:.2f}-{high:.2f}",
                            "{:.2f}-{:.2f}".format(*row["ratio_min_max"]),
                            f"<= {row['goal']}x", _status(row)])
    out.append(_table(["scenario", "callables", "floor", "floor/op", "ours/op", "ratio", "IQR",
                       "min-max", "goal", "status"], rows))
    out += [f"{row['title']} [{row['kind_title']}]: {row['note']}"
            for row in results["scenarios"] if "note" in row]

    sizes = results.get("sizes")
    if sizes:
        out += ["", "Containers by size: bytes per container, ours / dict of tuples (RSS growth), and "
                "ns per registration into a fresh container, ours / d[k] = tuple"]
        out.append(_table(["keys"] + _size_header(sizes), _size_rows(sizes)))
        out += _size_misses(sizes)

    chain = results.get("deep_chain")
    if chain:
        out += ["", "Deep chain of transients: ns per level, ours / Python walk over a dict of the same "
                "chain\n(per level: dict lookup, in-progress set, one call). Goal: linear time, no crash."]
        methods = list(chain["methods"])
        rows = []
        for depth in chain["depths"]:
            cells = [f"{depth:,}"]
            for method in methods:
                ours, floor = chain["methods"][method][str(depth)], chain["floor"][method][str(depth)]
                cells.append(f"{ours:.0f} / {floor:.0f}" if isinstance(ours, float) else ours)
            rows.append(cells)
        rows.append(["growth"] + [
            f"{chain['growth'][m]:.2f}x / {chain['floor_growth'][m]:.2f}x" if m in chain["growth"]
            else "-" for m in methods])
        out.append(_table(["depth"] + methods, rows))
        out.append(f"status ({chain['judged']}): " +
                   ("met" if chain["met"] else "MISS: " + chain["verdict"]))

    peers = results.get("peers")
    if peers:
        out += ["", "Peers: our time / peer time (median, min-max); < 1 means we are faster"]
        rows = []
        for label, cells in _peer_cells(peers, detail=True):
            rows.append([label] + cells)
        out.append(_table(["peer"] + list(peers["titles"].values()), rows))
        if "error" in peers:
            out.append("ERROR: " + peers["error"])
        out += peers["verdicts"]

    for scaling in results.get("scaling", []):
        out.append("")
        if "error" in scaling:
            out.append(f"Scaling ({scaling['label']}): ERROR {scaling['error']}")
            continue
        from scaling import format_text as scaling_text

        out.append(scaling_text(scaling))
    out += ["", "Goals missed:"] + (missed_goals(results) or ["none"])
    return "\n".join(out)


def _bytes(value):
    if value >= 1e6:
        return f"{value / 1e6:.1f} MB"
    return f"{value / 1e3:.1f} KB" if value >= 1e4 else f"{value:.0f} B"


def _size_header(sizes):
    labels = {"this interpreter": "memory per container"}
    if "free_threaded_python" in sizes:
        labels["free-threaded"] = f"memory per container, free-threaded {sizes['free_threaded_python']}"
    return [labels.get(name, name) for name in sizes["memory"]] + ["register, per key"]


def _size_rows(sizes):
    """One row per size: memory on each interpreter, then registration time."""
    rows = []
    for size in sizes["sizes"]:
        cells = [f"{size:,}"]
        for measured in sizes["memory"].values():
            got = measured.get(str(size)) if "error" not in measured else None
            if got is None:
                cells.append("error: " + measured.get("error", "not run"))
                continue
            cell = (f"{_bytes(got['subject_per_op'])} / {_bytes(got['floor_per_op'])} = "
                    f"{got['ratio_median']:.2f}×")
            if size > 1:
                cell += f" ({got['subject_per_op'] / size:.1f} B per key)"
            cells.append(cell)
        fill = sizes["fill"].get(str(size))
        cells.append(f"{_per_op(fill['subject_per_op'], 'ns')} / {_per_op(fill['floor_per_op'], 'ns')} = "
                     f"{fill['ratio_median']:.2f}×" if fill else "-")
        rows.append(cells)
    return rows


def _size_misses(sizes):
    """The memory goal for 3 providers, on each interpreter measured."""
    lines = []
    for name, measured in sizes["memory"].items():
        got, goal = measured.get("3"), sizes["goals"][name]
        if got and got["ratio_median"] > goal:
            lines.append(f"- memory of a container with 3 providers ({name}): "
                         f"{got['ratio_median']:.2f}x, goal <= {goal}x")
    return lines


def _peer_cells(peers, detail=False):
    for name, info in peers["libraries"].items():
        label = f"{name} {info['version'] or ''}".strip()
        if "note" in info:
            yield label, [f"skipped: {info['note']}"] + [""] * (len(peers["titles"]) - 1)
            continue
        cells = []
        for scenario in peers["titles"]:
            cell = info["scenarios"][scenario]
            if isinstance(cell, str):
                cells.append("skipped: " + cell)
            elif detail:
                cells.append("{:.3g}x ({:.3g}-{:.3g})".format(cell["ratio_median"],
                                                              *cell["ratio_min_max"]))
            else:
                ratio = cell["ratio_median"]
                mark = "" if ratio <= peers["goals"][scenario] else " **missed**"
                cells.append(f"{ratio:.3f} ({1 / ratio:.1f}x){mark}")
        yield label, cells


def missed_goals(results):
    """One line per goal that this run missed, with the margin."""
    lines = []
    for row in results["scenarios"]:
        where = f"{row['title']} [{row['kind_title']}]"
        if "error" in row:
            lines.append(f"- {where}: ERROR {row['error']}")
        elif not row["met"]:
            over = 100 * (row["ratio_median"] / row["goal"] - 1)
            lines.append(f"- {where}: {row['ratio_median']:.2f}x, goal <= {row['goal']}x "
                         f"({over:.1f}% over)")
    chain = results.get("deep_chain")
    if chain and not chain["met"]:
        lines.append(f"- deep chain: {chain['verdict']}")
    if results.get("sizes"):
        lines += [line for line in _size_misses(results["sizes"]) if "(this interpreter)" not in line]
    for line in results.get("peers", {}).get("verdicts", []):
        if "MISS" in line:
            lines.append("- peers, " + line)
    for scaling in results.get("scaling", []):
        if scaling.get("met") is False:
            goal = scaling["goal"]
            got = scaling["ratio"][goal["case"]][str(goal["threads"])]
            lines.append(f"- scaling ({scaling['label']}): {goal['threads']} threads, case "
                         f"{goal['case']}: {got:.2f}x of 1 thread, goal >= {goal['ratio']}x")
    return lines


def format_markdown(results):
    """The README's performance tables."""
    meta = results["meta"]
    out = [f"Measured on CPython {meta['python']}, {meta['cpu']} ({meta['cores']} cores), "
           f"{meta['date'].replace('T', ' ')[:16]} UTC, with `python benchmarks/run.py"
           f"{' --quick' if meta['quick'] else ''}`."]
    kinds = _kinds(results)
    if kinds:
        out += ["", "Each cell: our time (or memory) per operation / the floor's = the ratio "
                f"(median of {meta['rounds']} interleaved rounds; interquartile range). C callables: "
                "`object`, `slice` and `BaseException`, where the container's own cost shows most; "
                "Python classes: small classes with `__slots__`.", ""]
        rows = []
        for _, by_kind in _by_scenario(results):
            first = next(iter(by_kind.values()))
            cells = [first["title"], first["floor"], f"≤ {first['goal']}"]
            for kind in kinds:
                row = by_kind.get(kind, {"error": "not run"})
                if "error" in row:
                    cells.append("error")
                    continue
                unit = row["unit"]
                low, high = row["ratio_iqr"]
                cell = (f"{_per_op(row['subject_per_op'], unit)} / {_per_op(row['floor_per_op'], unit)}"
                        f" = {row['ratio_median']:.2f}× ({low:.2f}–{high:.2f})")
                cells.append(cell if row["met"] else cell + " **missed**")
            rows.append(cells)
        out.append(_markdown(["scenario", "floor (same work by hand)", "goal"] + list(kinds.values()),
                             rows))

    sizes = results.get("sizes")
    if sizes:
        goals = sizes["goals"]
        counts = [got["containers"] for got in sizes["memory"]["this interpreter"].values()
                  if isinstance(got, dict)]
        kept = (f" ({max(counts):,} containers of the smallest size, {min(counts):,} of the largest)"
                if counts else "")
        out += ["", "Containers by size (a chain, each key depending on the one before): memory per "
                "container, ours / a dict of key -> (callable, flag, flag, list), by RSS growth in a fresh "
                f"interpreter while many are kept{kept}, and the time per registration into a fresh "
                f"container, ours / `d[k] = tuple`. Goal for 3 providers: ≤ {goals['this interpreter']} "
                f"(≤ {goals['free-threaded']} on the free-threaded build).", ""]
        out.append(_markdown(["keys"] + _size_header(sizes), _size_rows(sizes)))

    chain = results.get("deep_chain")
    if chain:
        out += ["", "Deep chains of transients, nanoseconds per level (ours / a Python walk over "
                "the same chain):", ""]
        rows = [[f"{depth:,}"] + [
            "{:.0f} / {:.0f}".format(chain["methods"][m][str(depth)], chain["floor"][m][str(depth)])
            if isinstance(chain["methods"][m][str(depth)], float) else "error"
            for m in chain["methods"]] for depth in chain["depths"]]
        out.append(_markdown(["depth"] + list(chain["methods"]), rows))

    peers = results.get("peers")
    if peers and peers["libraries"]:
        out += ["", "Against peer libraries, all with the same Python classes: our time / peer "
                "time (how many times as fast we are); goal: at most 0.5 against every peer, "
                "0.67 for the graph against the fastest:", ""]
        out.append(_markdown(["peer"] + list(peers["titles"].values()),
                             [[label] + cells for label, cells in _peer_cells(peers)]))

    for scaling in results.get("scaling", []):
        if "error" in scaling:
            continue
        from scaling import cell, describe, failures

        out += ["", f"Threads resolving held singletons from one container ({describe(scaling)}): "
                "resolves per second over all threads (ratio to one thread):", ""]
        rows = [[str(n)] + [cell(scaling, case, n) for case in scaling["cases"]]
                for n in scaling["threads"]]
        out.append(_markdown(["threads"] + list(scaling["cases"].values()), rows))
        failed = [f"- failed: {line}" for line in failures(scaling)]
        out += [""] + failed if failed else []
    return "\n".join(out)


_DIRS = re.compile(r"(?<![\w.~-])/(?:[^/\s'\"|:]+/)+")


def scrub(value):
    """Drop the directories of absolute paths from every string in ``value``."""
    if isinstance(value, str):
        return _DIRS.sub("", value)
    if isinstance(value, dict):
        return {key: scrub(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [scrub(item) for item in value]
    return value


def write_json(results, path):
    with open(path, "w") as fh:
        json.dump(scrub(results), fh, indent=2)
        fh.write("\n")


def write_png(results, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter, NullFormatter

    meta = results["meta"]
    rows = [r for r in results["scenarios"] if "error" not in r]
    if not rows:
        return
    peers = results.get("peers", {})
    titles = peers.get("titles", {})
    measured = {name: info for name, info in peers.get("libraries", {}).items()
                if "scenarios" in info}
    fig, axes = plt.subplots(2 if measured else 1, 1, figsize=(12, 13 if measured else 8),
                             squeeze=False, gridspec_kw={"height_ratios": [3, 2] if measured else [1]})

    ax = axes[0][0]
    rows = rows[::-1]
    labels = [f"{r['title']} [{r['kind']}]" for r in rows]
    y = range(len(rows))
    medians = [r["ratio_median"] for r in rows]
    errors = [[r["ratio_median"] - r["ratio_min_max"][0] for r in rows],
              [r["ratio_min_max"][1] - r["ratio_median"] for r in rows]]
    colors = ["tab:green" if r["met"] else "tab:red" for r in rows]
    ax.barh(y, medians, xerr=errors, color=colors, alpha=0.8, capsize=3)
    ax.scatter([r["goal"] for r in rows], y, marker="|", s=200, color="black", label="goal", zorder=3)
    ax.axvline(1.0, color="grey", linewidth=0.8, linestyle="--")
    ax.set_xscale("log")
    ticks = [t for t in (0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 50)
             if min(r["ratio_min_max"][0] for r in rows) / 2 <= t <= 2 * max(
                 max(r["ratio_min_max"][1], r["goal"]) for r in rows)]
    ax.set_xticks(ticks)
    ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}x"))
    ax.xaxis.set_minor_formatter(NullFormatter())
    for i, value in enumerate(medians):
        ax.annotate(f"{value:.2f}x", (value, i), xytext=(4, 2), textcoords="offset points",
                    fontsize=6)
    ax.set_yticks(list(y))
    ax.set_yticklabels(labels, fontsize=6)
    ax.set_xlabel("our time (or memory) / plain-Python floor  (log; median, min-max whiskers); "
                  "[c]: C callables, [py]: Python classes")
    ax.set_title(f"_tarnik_core vs plain-Python floors - CPython {meta['python']}, {meta['cpu']}",
                 fontsize=10)
    ax.legend(loc="lower right", fontsize=8)

    if measured:
        ax = axes[1][0]
        width = 0.8 / len(titles)
        names = list(measured)
        for i, (scenario, title) in enumerate(titles.items()):
            values = []
            for name in names:
                cell = measured[name]["scenarios"][scenario]
                values.append(cell["ratio_median"] if isinstance(cell, dict) else float("nan"))
            ax.bar([j + (i - (len(titles) - 1) / 2) * width for j in range(len(names))], values,
                   width, label=title)
        ax.axhline(1.0, color="black", linewidth=0.8, linestyle="--")
        ax.axhline(0.5, color="tab:green", linewidth=0.8, linestyle=":",
                   label="goal: twice as fast (graph: 1.5x)")
        ax.set_yscale("log")
        ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}x"))
        ax.set_xticks(range(len(names)))
        ax.set_xticklabels(names, fontsize=8)
        ax.set_ylabel("our time / peer time (log; below 1 = faster)")
        ax.set_title("Against peer libraries", fontsize=10)
        ax.legend(fontsize=7, loc="upper center", bbox_to_anchor=(0.5, -0.08), ncol=3)

    fig.tight_layout()
    fig.savefig(path, dpi=110, bbox_inches="tight")
    plt.close(fig)


if __name__ == "__main__":
    sys.path.insert(0, HERE)
    with open(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "out", "results.json")) as fh:
        print(format_markdown(json.load(fh)))
