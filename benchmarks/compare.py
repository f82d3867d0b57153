"""Builds of the module side by side: the same scenarios, ratios to the same floors.

    python benchmarks/compare.py [LABEL=]DIR [[LABEL=]DIR ...] [--rounds N] [--kinds c,py]
    python benchmarks/compare.py --callgrind [LABEL=]DIR [[LABEL=]DIR ...]

Each DIR holds a built ``_tarnik_core`` (``tools/dev_build.sh`` prints one; an
older version can be built from ``git worktree add /tmp/v020 346ceeb`` or a
``git archive`` of its commit). Every round runs each build in its own child
interpreter, one after the other, the order reversed every other round, so
that what the machine does meanwhile falls on all builds alike. A child
measures every scenario as ``run.py`` does (a ratio to a plain-Python floor,
interleaved in that child), but by the thread's processor time (``--clock
cpu``), which leaves out the time other processes hold the processor: on a
busy shared machine two builds of the same source then differ by a few per
cent, not by tens. The table shows, per build, the median of the rounds'
ratios and their range, and each build's change against the first.

The scenarios are the ones whose cost a change of the call path shows first
(``SCENARIOS`` below) and one where threads queue for a container's lock:
threads resolving a transient whose provider is slow, against the same calls
under one ``threading.Lock``, with the spread of the threads' counts.

With ``--callgrind`` each build runs each scenario under ``valgrind
--tool=callgrind`` instead, twice with different iteration counts, and the
table shows the instructions per call (the difference of the two totals over
the difference of the calls, so start-up and setup cancel out): counts that
repeat from run to run, where times do not. The floors are counted once.
The contended scenario is left out there: valgrind runs one thread at a time.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

# Scenario names from scenarios.SCENARIOS.
SCENARIOS = ("singleton", "transient", "chain10", "override", "small")
CONTENDED_THREADS = (2, 4)


def parse_builds(specs):
    """``[(label, absolute dir)]`` from ``LABEL=DIR`` or ``DIR`` arguments."""
    builds = []
    for spec in specs:
        label, sep, path = spec.partition("=")
        if not sep:
            label, path = "", spec
        path = os.path.abspath(path)
        if not os.path.isdir(path) or not any(name.startswith("_tarnik_core.") for name in os.listdir(path)):
            sys.exit(f"no built _tarnik_core in {path}")
        builds.append((label or os.path.relpath(path), path))
    if len({label for label, _ in builds}) != len(builds):
        sys.exit("two builds with the same label: name them LABEL=DIR")
    return builds


def child_env(path):
    """The environment of a child that must import the module from ``path``
    only; the hash seed is fixed so that every build hashes alike."""
    return dict(os.environ, PYTHONPATH=path, PYTHONHASHSEED="0")


def import_from(path):
    import _tarnik_core

    got = os.path.dirname(os.path.realpath(_tarnik_core.__file__))
    if got != os.path.realpath(path):
        raise SystemExit(f"_tarnik_core came from {got}, not {path}")
    return _tarnik_core


def scenario(name):
    from scenarios import SCENARIOS as ALL

    found = next((sc for sc in ALL if sc.name == name), None)
    if found is None:
        raise SystemExit(f"no scenario {name!r}; there are " + ", ".join(sc.name for sc in ALL))
    return found


def kind(name):
    from scenarios import KINDS

    found = next((k for k in KINDS if k.name == name), None)
    if found is None:
        raise SystemExit(f"no callable kind {name!r}; there are " + ", ".join(k.name for k in KINDS))
    return found


# --- In a child: one build's measurements ---

def measure(path, names, kinds, rounds, sample_ms, contended_seconds, clock):
    """Every scenario with this build, as ratios to their floors."""
    import time

    from harness import compare
    from scenarios import contention

    import_from(path)
    clock = {"cpu": time.thread_time_ns, "wall": time.perf_counter_ns}[clock]
    out = {}
    for name in names:
        sc = scenario(name)
        for kind_name in kinds:
            floor, subject = sc.build(kind(kind_name), False)
            got = compare(floor, subject, rounds, sample_ms * 1_000_000, clock=clock)
            out[f"{name}/{kind_name}"] = {"ratio": got.ratio.median, "ns": got.subject_ns.median,
                                          "floor_ns": got.floor_ns.median}
    for threads in CONTENDED_THREADS if contended_seconds else ():
        got = contention(threads, contended_seconds)
        out[f"contended/{threads}"] = {"ratio": got["ratio_median"], "ns": got["subject_per_op"],
                                       "floor_ns": got["floor_per_op"], "spread": got["spread"],
                                       "floor_spread": got["floor_spread"]}
    return out


def count_calls(path, name, kind_name, side, iterations):
    """Runs ``iterations`` turns of one side of a scenario (for callgrind)."""
    import_from(path)
    floor, subject = scenario(name).build(kind(kind_name), False)
    body = floor if side == "floor" else subject
    body.fn(iterations)
    return {"ops": iterations * body.ops}


# --- In the parent ---

def run_child(python, path, *args):
    cmd = [python, os.path.abspath(__file__), "--child", json.dumps([path, *args])]
    proc = subprocess.run(cmd, capture_output=True, text=True, env=child_env(path))
    if proc.returncode != 0:
        sys.exit(f"child for {path} failed ({proc.returncode}): {proc.stderr.strip()[-2000:]}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def progress(text):
    print(text, file=sys.stderr, flush=True)


def timed(args, builds):
    """Per build and scenario, the ratios of every round."""
    rounds = {label: [] for label, _ in builds}
    for round_no in range(args.rounds):
        order = builds if round_no % 2 == 0 else builds[::-1]
        for label, path in order:
            progress(f"round {round_no + 1}/{args.rounds}: {label}")
            rounds[label].append(run_child(args.python, path, "measure", args.scenarios, args.kinds,
                                           args.child_rounds, args.sample_ms, args.contended_seconds,
                                           args.clock))
    return rounds


def title(key):
    name, _, variant = key.partition("/")
    if name == "contended":
        return f"contended lock, {variant} threads, slow transient (floor: threading.Lock)"
    return f"{scenario(name).title} [{kind(variant).title}]"


def format_timed(builds, rounds):
    labels = [label for label, _ in builds]
    keys = list(rounds[labels[0]][0])
    header = ["scenario"] + labels + [f"{label} vs {labels[0]}" for label in labels[1:]]
    rows = []
    spreads = []
    for key in keys:
        medians = {}
        cells = [title(key)]
        for label in labels:
            ratios = [r[key]["ratio"] for r in rounds[label]]
            medians[label] = statistics.median(ratios)
            ns = statistics.median(r[key]["ns"] for r in rounds[label])
            cells.append(f"{medians[label]:.3f} ({min(ratios):.3f}-{max(ratios):.3f}), {ns:.0f} ns")
            if "spread" in rounds[label][0][key]:
                spreads.append(f"  {title(key)}, {label}: spread of per-thread counts "
                               f"{statistics.median(r[key]['spread'] for r in rounds[label]):.2f} "
                               f"(threading.Lock: "
                               f"{statistics.median(r[key]['floor_spread'] for r in rounds[label]):.2f})")
        cells += [f"{100 * (medians[label] / medians[labels[0]] - 1):+.1f}%" for label in labels[1:]]
        rows.append(cells)
    from report import _table

    lines = [f"Ratio to the floor, our time / floor's time per call: median of {len(rounds[labels[0]])} "
             "rounds (range), and our time per call; each round runs every build in a fresh "
             "interpreter, alternating.", "", _table(header, rows)]
    if spreads:
        lines += ["", "Spread of per-thread counts, (most - fewest) / mean, median of the rounds "
                  "(0: every thread got as many turns):"] + spreads
    return "\n".join(lines)


def callgrind_total(python, path, name, kind_name, side, iterations):
    """Instructions of one child run under callgrind, and its operations."""
    import tempfile

    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", python,
               os.path.abspath(__file__), "--child",
               json.dumps([path, "count", name, kind_name, side, iterations])]
        proc = subprocess.run(cmd, capture_output=True, text=True, env=child_env(path))
        if proc.returncode != 0:
            sys.exit(f"callgrind run failed ({proc.returncode}): {proc.stderr.strip()[-2000:]}")
        with open(out) as fh:
            total = next(int(line.split()[1]) for line in fh if line.startswith("totals:"))
    return total, json.loads(proc.stdout.strip().splitlines()[-1])["ops"]


def per_call(python, path, name, kind_name, side, few, many):
    low, low_ops = callgrind_total(python, path, name, kind_name, side, few)
    high, high_ops = callgrind_total(python, path, name, kind_name, side, many)
    return (high - low) / (high_ops - low_ops)


def counted(args, builds):
    header = ["scenario", "floor"] + [label for label, _ in builds]
    header += [f"{label} vs {builds[0][0]}" for label, _ in builds[1:]]
    rows, data = [], {}
    for name in args.scenarios:
        for kind_name in args.kinds:
            key = f"{name}/{kind_name}"
            progress(f"callgrind: {title(key)}")
            floor = per_call(args.python, builds[0][1], name, kind_name, "floor", args.few, args.many)
            ours = {label: per_call(args.python, path, name, kind_name, "ours", args.few, args.many)
                    for label, path in builds}
            data[key] = {"floor": floor, **ours}
            first = ours[builds[0][0]]
            rows.append([title(key), f"{floor:.0f}"] + [f"{v:.0f} ({v / floor:.3f}x)" for v in ours.values()]
                        + [f"{ours[label] - first:+.0f}" for label, _ in builds[1:]])
    from report import _table

    text = ("Instructions per call by valgrind --tool=callgrind (ours, and its ratio to the floor); "
            f"({args.many} - {args.few} iterations of 10 calls, difference of the two runs' totals)\n\n"
            + _table(header, rows))
    return text, data


def main(argv=None):
    if argv is None and sys.argv[1:2] == ["--child"]:
        path, what, *rest = json.loads(sys.argv[2])
        print(json.dumps((measure if what == "measure" else count_calls)(path, *rest)))
        return 0
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("builds", nargs="+", metavar="[LABEL=]DIR",
                        help="directories holding a built module")
    parser.add_argument("--python", default=sys.executable, help="the interpreter (default: this one)")
    parser.add_argument("--rounds", type=int, default=6, help="children per build (default 6)")
    parser.add_argument("--child-rounds", type=int, default=5, help="rounds within a child (default 5)")
    parser.add_argument("--sample-ms", type=float, default=10, help="target sample length (default 10)")
    parser.add_argument("--clock", choices=("cpu", "wall"), default="cpu",
                        help="time the single-thread scenarios by this thread's processor time "
                        "(default), which leaves out the time other processes hold the processor, "
                        "or by the wall clock")
    parser.add_argument("--contended-seconds", type=float, default=0.3,
                        help="length of one contended measurement; 0 leaves that scenario out")
    parser.add_argument("--scenarios", default=",".join(SCENARIOS),
                        help=f"comma-separated scenario names (default {','.join(SCENARIOS)})")
    parser.add_argument("--kinds", default="c,py", help="callable kinds: c, py or both (default)")
    parser.add_argument("--callgrind", action="store_true", help="count instructions instead of timing")
    parser.add_argument("--few", type=int, default=500, help="callgrind: iterations of the short run")
    parser.add_argument("--many", type=int, default=2500, help="callgrind: iterations of the long run")
    parser.add_argument("--json", metavar="PATH", help="also write the numbers as JSON")
    args = parser.parse_args(argv)
    args.scenarios = [s for s in args.scenarios.split(",") if s]
    args.kinds = [k for k in args.kinds.split(",") if k]
    builds = parse_builds(args.builds)
    sys.path.insert(0, builds[0][1])  # the scenarios' titles import the module
    for name in args.scenarios:
        scenario(name)
    for kind_name in args.kinds:
        kind(kind_name)
    if args.callgrind:
        text, data = counted(args, builds)
    else:
        data = timed(args, builds)
        text = format_timed(builds, data)
    print(text)
    if args.json:
        with open(args.json, "w") as fh:
            json.dump({"builds": dict(builds), "callgrind": args.callgrind, "results": data}, fh, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
