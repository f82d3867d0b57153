"""Printing, JSON and the PNG chart of a benchmark run."""

import json


def _ratio_cell(row):
    return f"{row['ratio_median']:.2f}x"


def _spread_cell(row, key):
    low, high = row[key]
    return f"{low:.2f}-{high:.2f}"


def _status(row):
    if "error" in row:
        return "ERROR"
    if row["met"]:
        return "met"
    return f"MISS (+{100 * (row['ratio_median'] / row['goal'] - 1):.1f}%)"


def _table(header, rows):
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *rows)]
    lines = ["  ".join(str(c).ljust(w) for c, w in zip(header, widths)),
             "  ".join("-" * w for w in widths)]
    lines += ["  ".join(str(c).ljust(w) for c, w in zip(row, widths)) for row in rows]
    return "\n".join(lines)


def format_text(results):
    meta = results["meta"]
    out = [f"CPython {meta['python']} ({meta['build']}) on {meta['machine']}, "
           f"{meta['cpu']}, {meta['cores']} cores, load average at start "
           f"{meta['load_average_at_start'][0]}",
           f"{meta['rounds']} rounds, ~{meta['sample_ms']} ms samples, floor and subject interleaved,"
           " collector paused during samples" + (" [--quick]" if meta["quick"] else ""),
           ""]
    rows = []
    for row in results["scenarios"]:
        if "error" in row:
            rows.append([row["title"], row["floor"], "", "", "", "", "", f"<= {row['goal']}x",
                         "ERROR: " + row["error"]])
            continue
        unit = row["unit"]
        rows.append([row["title"], row["floor"], f"{row['floor_per_op']:.1f} {unit}",
                     f"{row['subject_per_op']:.1f} {unit}", _ratio_cell(row),
                     _spread_cell(row, "ratio_iqr"), _spread_cell(row, "ratio_min_max"),
                     f"<= {row['goal']}x", _status(row)])
    out.append(_table(["scenario", "floor", "floor/op", "ours/op", "ratio", "IQR",
                       "min-max", "goal", "status"], rows))
    out += [f"{row['title']}: {row['note']}" for row in results["scenarios"] if "note" in row]

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
        titles = peers["titles"]
        out += ["", "Peers: our time / peer time (median, min-max); < 1 means we are faster"]
        rows = []
        for name, info in peers["libraries"].items():
            label = f"{name} {info['version'] or ''}".strip()
            if "note" in info:
                rows.append([label] + [f"skipped: {info['note']}"] + [""] * (len(titles) - 1))
                continue
            cells = [label]
            for scenario in titles:
                cell = info["scenarios"][scenario]
                if isinstance(cell, str):
                    cells.append("skipped: " + cell)
                else:
                    low, high = cell["ratio_min_max"]
                    cells.append(f"{cell['ratio_median']:.3g}x ({low:.3g}-{high:.3g})")
            rows.append(cells)
        out.append(_table(["peer"] + list(titles.values()), rows))
        if "error" in peers:
            out.append("ERROR: " + peers["error"])
        out += peers["verdicts"]
    out += ["", "Goals missed:"] + (missed_goals(results) or ["none"])
    return "\n".join(out)


def missed_goals(results):
    """One line per goal that this run missed, with the margin."""
    lines = []
    for row in results["scenarios"]:
        if "error" in row:
            lines.append(f"- {row['title']}: ERROR {row['error']}")
        elif not row["met"]:
            over = 100 * (row["ratio_median"] / row["goal"] - 1)
            lines.append(f"- {row['title']}: {row['ratio_median']:.2f}x, goal <= {row['goal']}x "
                         f"({over:.1f}% over)")
    chain = results.get("deep_chain")
    if chain and not chain["met"]:
        lines.append(f"- deep chain: {chain['verdict']}")
    for line in results.get("peers", {}).get("verdicts", []):
        if "MISS" in line:
            lines.append("- peers, " + line)
    return lines


def write_json(results, path):
    with open(path, "w") as fh:
        json.dump(results, fh, indent=2)
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
    fig, axes = plt.subplots(2 if measured else 1, 1, figsize=(10, 9 if measured else 5),
                             squeeze=False)

    ax = axes[0][0]
    labels = [r["title"] for r in rows][::-1]
    rows = rows[::-1]
    y = range(len(rows))
    medians = [r["ratio_median"] for r in rows]
    errors = [[r["ratio_median"] - r["ratio_min_max"][0] for r in rows],
              [r["ratio_min_max"][1] - r["ratio_median"] for r in rows]]
    colors = ["tab:green" if r["met"] else "tab:red" for r in rows]
    ax.barh(y, medians, xerr=errors, color=colors, alpha=0.8, capsize=3)
    ax.scatter([r["goal"] for r in rows], y, marker="|", s=400, color="black", label="goal", zorder=3)
    ax.axvline(1.0, color="grey", linewidth=0.8, linestyle="--")
    ax.set_xscale("log")
    ticks = [t for t in (0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 50)
             if min(r["ratio_min_max"][0] for r in rows) / 2 <= t <= 2 * max(
                 max(r["ratio_min_max"][1], r["goal"]) for r in rows)]
    ax.set_xticks(ticks)
    ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}x"))
    ax.xaxis.set_minor_formatter(NullFormatter())
    for i, value in enumerate(medians):
        ax.annotate(f"{value:.2f}x", (value, i), xytext=(4, 4), textcoords="offset points",
                    fontsize=7)
    ax.set_yticks(list(y))
    ax.set_yticklabels(labels, fontsize=8)
    ax.set_xlabel("our time (or memory) / plain-Python floor  (log; median, min-max whiskers)")
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
            ax.bar([j + (i - 1) * width for j in range(len(names))], values, width,
                   label=title)
        ax.axhline(1.0, color="black", linewidth=0.8, linestyle="--")
        ax.axhline(1 / 1.5, color="tab:green", linewidth=0.8, linestyle=":",
                   label="graph goal (1.5x faster)")
        ax.set_yscale("log")
        ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}x"))
        ax.set_xticks(range(len(names)))
        ax.set_xticklabels(names, fontsize=9)
        ax.set_ylabel("our time / peer time (log; below 1 = faster)")
        ax.set_title("Against peer libraries", fontsize=10)
        ax.legend(fontsize=8)

    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
