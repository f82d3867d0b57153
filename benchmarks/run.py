"""Benchmark suite for the container core.

    python benchmarks/run.py [--quick] [--json PATH] [--png PATH] [--margin X] [--free-threaded PYTHON]

Every scenario is timed, once per callable kind, as a ratio against a
plain-Python floor that does the same work, interleaved in this process
(``scenarios.py`` holds the scenarios and their goals, which the README's
goal column shows);
memory, very deep chains and thread scaling run in fresh interpreters.
Containers by size (empty to a million keys) give the memory per container
and the time per registration into a fresh container. Peers
come from the ``bench`` extra and are skipped with a note when missing. The
module is imported from PYTHONPATH, or else from ``build/dev-cpXY`` (with the
interpreter's ABI flags, ``build/dev-cp313t`` for 3.13t) as
``tools/dev_build.sh PYTHON`` leaves it.

The run fails (exit status 1) on a crash or error, and when a ratio loses
its goal by a wide margin: see LOST_MARGIN. Peers, very deep chains and
thread scaling are reported, not checked. The results go to
``benchmarks/out/`` (ignored by git; the README's tables are the published
record): ``python benchmarks/report.py [PATH]`` prints the README tables of
a run's JSON.
"""

import argparse
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)


def import_module():
    try:
        import _tarnik_core
    except ImportError:
        from scaling import dev_build_dir

        build = dev_build_dir()
        sys.path.insert(0, build)
        try:
            import _tarnik_core
        except ImportError:
            sys.exit(f"_tarnik_core not found: build it with tools/dev_build.sh {sys.executable} "
                     "and put the directory it prints on PYTHONPATH")
    return _tarnik_core


def machine_info(module, args):
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as fh:
            cpu = next(line.split(":", 1)[1].strip() for line in fh if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return {
        "python": platform.python_version(),
        "implementation": platform.python_implementation(),
        "build": " ".join(platform.python_build()) + ", " + platform.python_compiler(),
        "machine": platform.platform(),
        "cpu": cpu,
        "cores": os.cpu_count(),
        "load_average_at_start": [round(x, 2) for x in os.getloadavg()],
        "module": os.path.basename(module.__file__),
        "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "quick": args.quick,
        "rounds": args.rounds,
        "sample_ms": args.sample_ms,
        "clock": args.clock,
    }


CLOCKS = {"wall": time.perf_counter_ns, "cpu": time.thread_time_ns}


def progress(text):
    print(text, file=sys.stderr, flush=True)


def measure_scenario(sc, kind, args, rounds=None):
    """One scenario with one kind of callables: its ratio to its floor."""
    from harness import compare

    floor, subject = sc.build(kind, args.quick)
    return compare(floor, subject, rounds or args.rounds, args.sample_ms * 1_000_000,
                   clock=CLOCKS[args.clock]).to_json()


def run_scenarios(args):
    from scenarios import KINDS, SCENARIOS

    rows = []
    for sc in SCENARIOS:
        title = sc.quick_title if args.quick and sc.quick_title else sc.title
        for kind in KINDS:
            progress(f"  {title} [{kind.title}]")
            row = {"name": sc.name, "title": title, "floor": sc.floor, "goal": sc.goal,
                   "kind": kind.name, "kind_title": kind.title}
            try:
                row.update(measure_scenario(sc, kind, args))
            except Exception as exc:
                row["error"] = f"{type(exc).__name__}: {exc}"
            else:
                row["met"] = row["ratio_median"] <= sc.goal
            rows.append(row)
    return rows


# A goal is lost, and the run fails, when a scenario's median ratio exceeds
# LOST_MARGIN times its goal in the run and again in each of CONFIRM fresh
# measurements (of twice the rounds). Quick runs (3 rounds of 2 ms samples)
# on a shared 2-core machine, timed by the wall clock: the worst scenario of
# a run stayed within 1.18 times its goal in 8 runs with nothing else busy,
# but with other work on it (one or two busy processes, or a load average of
# up to 17) single scenarios came out at 2.5 to 11 times their goals,
# often in every round, in 18 of 31 runs, and were back in place when
# measured again. A margin wide enough to ride that out alone would let
# almost any loss through. So a quick run times by the thread's processor
# time, which leaves out the time other processes hold the processor: in 18
# such runs at a load average of 8 to 12, with none, one or two more busy
# processes, the worst scenario of a run stayed within 1.27 times its goal.
# 1.5 with two fresh measurements leaves room for what the caches still see.
LOST_MARGIN = 1.5
CONFIRM = 2


def lost_goals(args, results):
    """Marks the rows whose goal is lost by more than ``args.margin`` (timed
    scenarios only when CONFIRM fresh measurements agree) and returns them."""
    from scenarios import KINDS, SCENARIOS

    scenarios = {sc.name: sc for sc in SCENARIOS}
    kinds = {kind.name: kind for kind in KINDS}
    lost = []
    for row in results["scenarios"]:
        if "error" in row or row["ratio_median"] <= args.margin * row["goal"]:
            continue
        sc = scenarios.get(row["name"])
        if sc is not None:  # timed: memory rows repeat to the byte and are not measured again
            row["rechecks"] = []
            for _ in range(CONFIRM):
                progress(f"  {row['title']} [{row['kind_title']}]: {row['ratio_median']:.2f}x, "
                         f"over {args.margin} x its goal {row['goal']}; measuring again")
                try:
                    ratio = measure_scenario(sc, kinds[row["kind"]], args, 2 * args.rounds)["ratio_median"]
                except Exception as exc:
                    row["error"] = f"measured again: {type(exc).__name__}: {exc}"
                    break
                row["rechecks"].append(ratio)
                if ratio <= args.margin * row["goal"]:
                    break
            if "error" in row or row["rechecks"][-1] <= args.margin * row["goal"]:
                continue
        row["lost"] = True
        lost.append(row)
    for name, measured in results.get("sizes", {}).get("memory", {}).items():
        got, goal = measured.get("3"), results["sizes"]["goals"][name]
        if name != "this interpreter" and got and got["ratio_median"] > args.margin * goal:
            lost.append({"title": "memory of a container with 3 providers", "kind_title": name,
                         "ratio_median": got["ratio_median"], "goal": goal})
    return lost


def run_memory(args, kind):
    from harness import Spread, run_child
    from scenarios import MEMORY_GOAL, memory_child

    count = 100_000 if args.quick else 1_000_000
    runs = 1 if args.quick else 3
    progress(f"  memory per provider, {count:,} providers, {runs} run(s) per side [{kind.title}]")
    row = {"name": "memory", "title": f"memory per provider, {count:,} (20-char key, 2 dep keys)",
           "floor": "dict of key -> (callable, flag, flag, list), RSS growth", "goal": MEMORY_GOAL,
           "unit": "B", "kind": kind.name, "kind_title": kind.title}
    ours, floor = [], []
    for _ in range(runs):  # alternate the two sides, each in a fresh interpreter
        for side, out in (("floor", floor), ("ours", ours)):
            got = run_child(memory_child, side, count, kind.name)
            if "error" in got:
                row["error"] = f"{side}: {got['error']}"
                return row
            out.append(got["bytes_per_provider"])
    traced = run_child(memory_child, "floor-traced", count, kind.name)
    ratios = Spread([o / f for o, f in zip(ours, floor)])
    row.update({
        "floor_per_op": statistics.median(floor), "subject_per_op": statistics.median(ours),
        "floor_tracemalloc_per_op": traced.get("bytes_per_provider"),
        "ratio_median": ratios.median, "ratio_iqr": [ratios.q1, ratios.q3],
        "ratio_min_max": [ratios.low, ratios.high], "ratios": ratios.values,
        "met": ratios.median <= MEMORY_GOAL, "providers": count,
    })
    if row["floor_tracemalloc_per_op"] is not None:
        row["note"] = (f"floor by tracemalloc: {row['floor_tracemalloc_per_op']:.1f} B/provider "
                       f"(RSS growth: {row['floor_per_op']:.1f} B/provider)")
    return row


def memory_by_size(args, sizes, kind_name, python=None, path=None, env=None):
    """Bytes per container for each size, ours and the floor's, alternating
    the two sides in fresh interpreters: ``{size: {...}}`` (or an error)."""
    from harness import Spread, run_child
    from scenarios import size_counts, small_memory_child

    counts = size_counts(args.quick)
    runs = 1 if args.quick else 3
    out = {}
    for size in sizes:
        ours, floor = [], []
        for _ in range(runs):
            for side, got in (("floor", floor), ("ours", ours)):
                one = run_child(small_memory_child, side, size, counts[size], kind_name,
                                python=python, path=path, env=env)
                if "error" in one:
                    return {"error": f"{size} keys, {side}: {one['error']}"}
                got.append(one["bytes_per_container"])
        ratios = Spread([o / f for o, f in zip(ours, floor)])
        out[str(size)] = {"containers": counts[size], "subject_per_op": statistics.median(ours),
                          "floor_per_op": statistics.median(floor), "ratio_median": ratios.median,
                          "ratio_iqr": [ratios.q1, ratios.q3], "ratio_min_max": [ratios.low, ratios.high],
                          "ratios": ratios.values}
    return out


def small_memory_row(kind, measured, goal):
    """The main table's row for a container of 3 providers."""
    row = {"name": "small_memory", "unit": "B", "goal": goal, "kind": kind.name, "kind_title": kind.title,
           "title": "memory of a container with 3 providers (a chain)",
           "floor": "dict of key -> (callable, flag, flag, list), RSS growth"}
    if "error" in measured:
        row["error"] = measured["error"]
        return row
    row.update(measured["3"], met=measured["3"]["ratio_median"] <= goal)
    return row


def run_sizes(args):
    """Containers from empty to a million keys: memory per container and the
    time per registration into a fresh container."""
    from harness import compare
    from scenarios import KINDS, SMALL_MEMORY_GOAL, SMALL_MEMORY_GOAL_FREE_THREADED, fill_bodies, size_counts

    sizes = list(size_counts(args.quick))
    goals = {"this interpreter": SMALL_MEMORY_GOAL, "free-threaded": SMALL_MEMORY_GOAL_FREE_THREADED}
    result = {"sizes": sizes, "memory": {}, "fill": {}, "goals": goals}
    progress(f"  memory per container, {', '.join(map(str, sizes))} keys")
    result["memory"]["this interpreter"] = memory_by_size(args, sizes, KINDS[0].name)
    if args.free_threaded:
        progress("  the same on the free-threaded interpreter")
        here = os.path.dirname(os.path.abspath(__file__))
        path = [here, free_threaded_module_dir(args.free_threaded, args.free_threaded_path)]
        result["memory"]["free-threaded"] = memory_by_size(
            args, sizes, KINDS[0].name, python=args.free_threaded, path=path, env={"PYTHON_GIL": "0"})
        result["free_threaded_python"] = subprocess.run(
            [args.free_threaded, "-c", "import platform; print(platform.python_version())"],
            capture_output=True, text=True).stdout.strip()
    for size in sizes[1:]:
        progress(f"  register {size:,} keys into a fresh container")
        timed = compare(*fill_bodies(size), args.rounds, args.sample_ms * 1_000_000,
                        clock=CLOCKS[args.clock])
        result["fill"][str(size)] = timed.to_json()
    return result


def run_deep_chain(args):
    from harness import run_child
    from scenarios import chain_child

    depths = [10_000, 20_000, 40_000] if args.quick else [250_000, 500_000, 1_000_000]
    rounds = 1 if args.quick else 5
    methods = ["resolve", "resolve_many", "resolve_many_plan"]
    result = {"depths": depths, "methods": {m: {} for m in methods},
              "floor": {m: {} for m in methods}, "growth": {}, "floor_growth": {}}
    problems = []
    for depth in depths:
        progress(f"  deep chain, {depth:,} levels")
        for method in methods:
            got = run_child(chain_child, depth, method, rounds)
            if "error" in got:
                problems.append(f"{method} at {depth:,} levels: {got['error']}")
            result["methods"][method][str(depth)] = got.get("ns_per_level", got.get("error"))
            result["floor"][method][str(depth)] = got.get("floor_ns_per_level")
    for method in methods:
        ours, floor = result["methods"][method], result["floor"][method]
        first, last = str(depths[0]), str(depths[-1])
        if not all(isinstance(v, float) for v in (ours[first], ours[last])):
            continue
        growth = result["growth"][method] = ours[last] / ours[first]
        floor_growth = result["floor_growth"][method] = floor[last] / floor[first]
        # Linear means the time per level keeps pace with the Python walk over
        # the same chain, whose own growth comes from the memory hierarchy.
        if growth > 1.5 * floor_growth and not args.quick:
            problems.append(f"{method}: time per level grows {growth:.2f}x from {depths[0]:,} "
                            f"to {depths[-1]:,} levels, the Python walk {floor_growth:.2f}x")
    result["met"] = not problems
    result["verdict"] = "; ".join(problems)
    result["judged"] = "quick run, crashes only" if args.quick else "no crash, linear time"
    return result


def run_peers(args):
    from harness import compare, unrolled
    import peers

    ours_cases = peers.ours()
    for scenario, (statement, names) in ours_cases.items():
        try:
            peers.check(scenario, statement, names)
        except Exception as exc:
            return {"error": f"our {scenario} case: {type(exc).__name__}: {exc}",
                    "titles": peers.TITLES, "goals": peers.GOALS, "libraries": {}, "verdicts": []}
    libraries = {}
    for name in peers.PEERS:
        version, cases = peers.load(name)
        info = {"version": version}
        libraries[name] = info
        if isinstance(cases, str):
            info["note"] = cases
            progress(f"  {name}: skipped ({cases})")
            continue
        progress(f"  {name} {version}")
        info["scenarios"] = {}
        for scenario in peers.SHARED:
            case = cases[scenario]
            if isinstance(case, str):
                info["scenarios"][scenario] = case
                continue
            result = compare(unrolled(case[0], **case[1]), unrolled(ours_cases[scenario][0],
                             **ours_cases[scenario][1]), args.rounds, args.sample_ms * 1_000_000,
                             clock=CLOCKS[args.clock])
            info["scenarios"][scenario] = result.to_json()
    return {"titles": peers.TITLES, "goals": peers.GOALS, "libraries": libraries,
            "verdicts": peer_verdicts(libraries)}


def peer_verdicts(libraries):
    from peers import GOALS, SHARED, TITLES

    lines = []
    for scenario in SHARED:
        measured = {name: info["scenarios"][scenario]["ratio_median"]
                    for name, info in libraries.items()
                    if isinstance(info.get("scenarios", {}).get(scenario), dict)}
        if not measured:
            lines.append(f"{TITLES[scenario]}: no peer measured")
            continue
        fastest = max(measured, key=measured.get)  # largest ours/peer ratio = fastest peer
        ratio, need = measured[fastest], GOALS[scenario]
        goal = f"at least {1 / need:.1f}x as fast as every peer (ours/peer <= {need:.2f})"
        status = "met" if ratio <= need else f"MISS (ours/{fastest} = {ratio:.2f})"
        lines.append(f"{TITLES[scenario]}: fastest peer {fastest} "
                     f"(we are {1 / ratio:.2f}x as fast); goal {goal}: {status}")
    return lines


def run_scaling(args, python, module_dir, label, **env):
    """scaling.py in a fresh ``python`` that imports the module from ``module_dir``."""
    seconds, repeats = (0.1, 1) if args.quick else (1.0, 3)
    progress(f"  {label}: {seconds} s per measurement, {repeats} round(s)")
    env = dict(os.environ, PYTHONPATH=module_dir, **env)
    cmd = [python, os.path.join(HERE, "scaling.py"), "--json", "--seconds", str(seconds),
           "--repeats", str(repeats)]
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=600)
    except (OSError, subprocess.TimeoutExpired) as exc:
        return {"label": label, "error": f"{type(exc).__name__}: {exc}"}
    if proc.returncode != 0:
        tail = " | ".join(proc.stderr.strip().splitlines()[-3:])
        return {"label": label, "error": f"exit status {proc.returncode}: {tail}"}
    return dict(json.loads(proc.stdout.strip().splitlines()[-1]), label=label)


def free_threaded_module_dir(python, given):
    """Where the free-threaded interpreter finds the module: ``given``, or the
    ``build/dev-cpXYt`` that ``tools/dev_build.sh PYTHON`` leaves."""
    if given:
        return given
    return subprocess.run([python, os.path.join(HERE, "scaling.py"), "--dev-build-dir"],
                          capture_output=True, text=True).stdout.strip()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short smoke run (CI)")
    parser.add_argument("--json", metavar="PATH", help="default benchmarks/out/results.json "
                        "(a quick run: benchmarks/out/quick.json)")
    parser.add_argument("--png", metavar="PATH", help="default benchmarks/out/results.png "
                        "(a quick run: benchmarks/out/quick.png)")
    parser.add_argument("--margin", type=float, default=LOST_MARGIN,
                        help=f"fail when a scenario's ratio exceeds this many times its goal "
                        f"(default {LOST_MARGIN}; measured again {CONFIRM} times first)")
    parser.add_argument("--rounds", type=int, help="rounds per scenario (default 15, quick 3)")
    parser.add_argument("--sample-ms", type=float, help="target sample length (default 20, quick 2)")
    parser.add_argument("--clock", choices=list(CLOCKS), help="time samples by the wall clock (default) or "
                        "by this thread's processor time (default of a quick run), which leaves out the "
                        "time other processes hold the processor")
    parser.add_argument("--skip", default="",
                        help="comma-separated parts to skip: scenarios,memory,sizes,chain,peers,scaling")
    parser.add_argument("--free-threaded", metavar="PYTHON",
                        help="also run the scaling benchmark and the memory of containers by size "
                             "with this free-threaded interpreter (PYTHON_GIL=0)")
    parser.add_argument("--free-threaded-path", metavar="DIR",
                        help="where that interpreter finds the module (default build/dev-cpXYt, "
                             "as tools/dev_build.sh PYTHON leaves it)")
    args = parser.parse_args(argv)
    args.rounds = args.rounds or (3 if args.quick else 15)
    args.sample_ms = args.sample_ms or (2 if args.quick else 20)
    args.clock = args.clock or ("cpu" if args.quick else "wall")
    # Run outputs stay out of version control (benchmarks/out/ is ignored);
    # the README's tables are the published record. A smoke run must not
    # overwrite the results of a full one.
    stem = os.path.join(HERE, "out", "quick" if args.quick else "results")
    args.json = args.json or stem + ".json"
    args.png = args.png or stem + ".png"
    skip = set(filter(None, args.skip.split(",")))

    module = import_module()
    results = {"meta": machine_info(module, args)}
    results["scenarios"] = []
    if "scenarios" not in skip:
        progress("scenarios:")
        results["scenarios"] = run_scenarios(args)
    if "memory" not in skip:
        from scenarios import KINDS

        results["scenarios"] += [run_memory(args, kind) for kind in KINDS]
    if "sizes" not in skip:
        from scenarios import KINDS, SMALL_MEMORY_GOAL

        progress("containers by size:")
        results["sizes"] = run_sizes(args)
        results["scenarios"] += [
            small_memory_row(KINDS[0], results["sizes"]["memory"]["this interpreter"], SMALL_MEMORY_GOAL),
            small_memory_row(KINDS[1], memory_by_size(args, [3], KINDS[1].name), SMALL_MEMORY_GOAL)]
    if "chain" not in skip:
        progress("deep chain:")
        results["deep_chain"] = run_deep_chain(args)
    if "peers" not in skip:
        progress("peers:")
        results["peers"] = run_peers(args)
    if "scaling" not in skip:
        progress("scaling:")
        results["scaling"] = [run_scaling(args, sys.executable, os.path.dirname(module.__file__),
                                          "this interpreter")]
        if args.free_threaded:
            results["scaling"].append(run_scaling(
                args, args.free_threaded, free_threaded_module_dir(args.free_threaded,
                                                                   args.free_threaded_path),
                "free-threaded", PYTHON_GIL="0"))

    lost = lost_goals(args, results)

    import report

    print(report.format_text(results))
    for path in (args.json, args.png):
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    report.write_json(results, args.json)
    progress(f"wrote {args.json}")
    try:
        report.write_png(results, args.png)
        progress(f"wrote {args.png}")
    except ImportError:
        progress(f"matplotlib is not installed: {args.png} not written")
    failed = [f"{r['name']} [{r['kind']}]" for r in results["scenarios"] if "error" in r]
    if "error" in results.get("peers", {}):
        failed.append("peers")
    failed += [f"scaling ({r['label']})" for r in results.get("scaling", []) if "error" in r]
    if failed:
        print("errors in: " + ", ".join(failed), file=sys.stderr)
    for row in lost:
        print(f"goal lost: {row['title']} [{row['kind_title']}]: {row['ratio_median']:.2f}x"
              + "".join(f", then {r:.2f}x" for r in row.get("rechecks", []))
              + f", goal <= {row['goal']}x (fails above {args.margin * row['goal']:.3g}x)", file=sys.stderr)
    return 1 if failed or lost else 0


if __name__ == "__main__":
    sys.exit(main())
