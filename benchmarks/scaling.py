"""Threads resolving held singletons from one shared container.

    python benchmarks/scaling.py [--seconds S] [--repeats N] [--json]
    PYTHON_GIL=0 python3.13t benchmarks/scaling.py      # a free-threaded build

Cases, for 1, 2, 4 and 8 threads that start together (a barrier) and resolve
for a fixed time, counting in their own counters:

- ``own``: each thread resolves its own key;
- ``same``: all threads resolve the same key;
- ``writer``: as ``own``, with one more thread calling ``register_provider``
  with fresh keys at a fixed rate.

Reported: resolves per second (total over the threads) and its ratio to one
thread. On a build with the GIL no scaling is expected; on a free-threaded
build the goal is 2 threads >= 1.6x one thread in case ``own``. Each case runs
in a fresh interpreter, so that a crash costs only that case's numbers; the
module is imported from PYTHONPATH or from where ``tools/dev_build.sh PYTHON``
leaves it: ``build/dev-cpXY`` and the interpreter's ABI flags, so
``build/dev-cp313t`` for ``tools/dev_build.sh python3.13t``.
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import sysconfig
import threading
import time
from itertools import repeat

THREADS = (1, 2, 4, 8)
CASES = {
    "own": "each thread its own key",
    "same": "all threads the same key",
    "writer": "own key, plus a writer registering 1,000 keys/s",
}
WRITER_RATE = 1000  # registrations per second
BATCH = 1000  # resolves between two looks at the clock
GOAL = {"case": "own", "threads": 2, "ratio": 1.6}


def dev_build_dir():
    """The directory ``tools/dev_build.sh`` builds into for this interpreter."""
    tag = "cp%d%d%s" % (sys.version_info[0], sys.version_info[1], getattr(sys, "abiflags", ""))
    return os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build", "dev-" + tag)


def import_module():
    try:
        import _tarnik_core
    except ImportError:
        sys.path.insert(0, dev_build_dir())
        import _tarnik_core
    return _tarnik_core


def free_threaded_build():
    return bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def gil_enabled():
    check = getattr(sys, "_is_gil_enabled", None)
    return True if check is None else check()


def measure(Container, case, threads, seconds):
    """Total resolves per second over ``threads`` threads, and what the
    writer achieved (registrations per second) in case ``writer``.

    Each thread makes its own key string and its own bound method, and in
    the cases with a key per thread, its own value (its first resolve builds
    it): on the free-threaded build an object that several threads touch has
    its reference count bounced between them, which would measure the
    interpreter rather than the container."""
    c = Container()
    names = [f"scale.key_{i}" for i in range(threads)]
    for name in names:
        c.register_provider(name, object, True, False, [])
    if case == "same":
        c.resolve(names[0])
        names = [names[0]] * threads
    writer = case == "writer"
    barrier = threading.Barrier(threads + writer)
    spans = [None] * threads  # (start, end, count) of each thread
    written = [0.0]
    errors = []

    def resolver(slot, name):
        key = "".join(name)  # this thread's own string
        resolve = c.resolve  # and its own bound method
        count = 0
        try:
            resolve(key)
            barrier.wait()
            start = time.perf_counter()
            end = start + seconds
            while time.perf_counter() < end:
                for _ in repeat(None, BATCH):
                    resolve(key)
                count += BATCH
        except Exception as exc:  # a wrong answer under threads is a result too
            errors.append(f"{type(exc).__name__}: {exc}")
            start = time.perf_counter()
        spans[slot] = (start, time.perf_counter(), count)

    def register_fresh_keys(register=c.register_provider):
        count = 0
        barrier.wait()
        start = time.perf_counter()
        end, tick = start + seconds, start
        while tick < end:
            register(f"scale.fresh_{count}", object, True, False, [])
            count += 1
            tick += 1 / WRITER_RATE
            delay = tick - time.perf_counter()
            if delay > 0:
                time.sleep(delay)
        written[0] = count / (time.perf_counter() - start)

    workers = [threading.Thread(target=resolver, args=(i, name)) for i, name in enumerate(names)]
    if writer:
        workers.append(threading.Thread(target=register_fresh_keys))
    for t in workers:
        t.start()
    for t in workers:
        t.join()
    if errors:
        raise RuntimeError(f"{len(errors)} of {threads} thread(s) failed, first: {errors[0]}")
    start, end = min(s[0] for s in spans), max(s[1] for s in spans)
    return sum(s[2] for s in spans) / (end - start), written[0]


def run_case(case, seconds, repeats):
    """One case, in this process: medians over ``repeats`` rounds that
    alternate the order of the thread counts."""
    module = import_module()
    samples = {n: [] for n in THREADS}
    writes, errors = [], {}
    measure(module.Container, case, 1, min(seconds, 0.2))  # warm-up
    for round_no in range(repeats):
        for n in (THREADS if round_no % 2 == 0 else THREADS[::-1]):
            try:
                rate, written = measure(module.Container, case, n, seconds)
            except RuntimeError as exc:
                errors[str(n)] = str(exc)
                continue
            samples[n].append(rate)
            writes.append(written)
    return {"throughput": {str(n): statistics.median(v) if v else None for n, v in samples.items()},
            "errors": errors, "gil_enabled": gil_enabled(),
            "writer_achieved": statistics.median(writes) if case == "writer" and writes else None}


def run(seconds=1.0, repeats=3, progress=None):
    """Every case, each in a fresh interpreter like this one."""
    result = {
        "python": platform.python_version(), "free_threaded_build": free_threaded_build(),
        "gil_enabled": None, "cores": os.cpu_count(), "seconds": seconds, "repeats": repeats,
        "writer_rate": WRITER_RATE, "writer_achieved": None, "cases": CASES,
        "threads": list(THREADS), "goal": GOAL, "throughput": {}, "ratio": {}, "errors": {},
    }
    for case in CASES:
        cmd = [sys.executable, os.path.abspath(__file__), "--case", case,
               "--seconds", str(seconds), "--repeats", str(repeats)]
        limit = 30 + 2 * (0.2 + repeats * len(THREADS) * seconds)
        try:
            proc = subprocess.run(cmd, capture_output=True, text=True, timeout=limit)
        except subprocess.TimeoutExpired:  # a deadlock is a result too
            failure = f"no result within {limit:.0f} s (hung)"
        else:
            tail = " | ".join(proc.stderr.strip().splitlines()[-2:])
            failure = proc.returncode and f"interpreter exited with status {proc.returncode}: {tail}"
        if failure:
            got = {"throughput": {str(n): None for n in THREADS},
                   "errors": {str(n): failure for n in THREADS}}
        else:
            got = json.loads(proc.stdout.strip().splitlines()[-1])
            result["gil_enabled"] = got["gil_enabled"]
            result["writer_achieved"] = got["writer_achieved"] or result["writer_achieved"]
        rates = got["throughput"]
        result["throughput"][case] = rates
        result["ratio"][case] = {n: rates[n] / rates["1"] if rates[n] and rates["1"] else None
                                 for n in rates}
        if got["errors"]:
            result["errors"][case] = got["errors"]
        if progress:
            progress(f"  scaling, case {case}: {failure or 'done'}")
    got = result["ratio"][GOAL["case"]][str(GOAL["threads"])]
    result["met"] = (None if result["gil_enabled"] is not False
                     else bool(got and got >= GOAL["ratio"]))
    return result


def cell(result, case, threads):
    """``12.34 M/s (1.00x)``, or ``failed``."""
    rate = result["throughput"][case][str(threads)]
    if rate is None:
        return "failed"
    return f"{rate / 1e6:.2f} M/s ({result['ratio'][case][str(threads)] or 0:.2f}x)"


def failures(result):
    """One line per case that failed somewhere: which thread counts, and why."""
    lines = []
    for case, by_count in result["errors"].items():
        texts = list(dict.fromkeys(by_count.values()))
        lines.append(f"{case}, {'/'.join(by_count)} thread(s): " + "; ".join(texts))
    return lines


def describe(result):
    build = "free-threaded build" if result["free_threaded_build"] else "GIL build"
    gil = {True: "GIL enabled", False: "GIL disabled", None: "GIL state unknown"}[result["gil_enabled"]]
    return f"CPython {result['python']}, {build}, {gil}"


def format_text(result):
    lines = [f"Scaling: {describe(result)}, {result['cores']} cores; resolves/s of held "
             "singletons, total over threads (ratio to 1 thread)"]
    rows = [["threads"] + list(result["cases"])]
    rows += [[str(n)] + [cell(result, c, n) for c in result["cases"]] for n in result["threads"]]
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    lines += ["  ".join(cell_.ljust(w) for cell_, w in zip(row, widths)) for row in rows]
    lines += [f"  {case}: {text}" for case, text in result["cases"].items()]
    if result["writer_achieved"] is not None:
        lines.append(f"  writer achieved {result['writer_achieved']:.0f} registrations/s")
    lines += [f"  failed: {line}" for line in failures(result)]
    goal = result["goal"]
    got = result["ratio"][goal["case"]][str(goal["threads"])]
    verdict = ("not judged (GIL not disabled)" if result["met"] is None
               else "met" if result["met"] else "MISS")
    lines.append(f"goal ({goal['case']}, {goal['threads']} threads >= {goal['ratio']}x of 1 thread, "
                 f"GIL disabled only): {f'{got:.2f}x' if got else 'not measured'}, {verdict}")
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=1.0, help="length of one measurement")
    parser.add_argument("--repeats", type=int, default=3, help="rounds per case (median)")
    parser.add_argument("--json", action="store_true", help="print the result as JSON")
    parser.add_argument("--case", choices=list(CASES), help=argparse.SUPPRESS)  # one case, here
    parser.add_argument("--dev-build-dir", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.dev_build_dir:
        print(dev_build_dir())
        return
    if args.case:
        print(json.dumps(run_case(args.case, args.seconds, args.repeats)))
        return
    result = run(args.seconds, args.repeats,
                 None if args.json else lambda text: print(text, file=sys.stderr, flush=True))
    print(json.dumps(result) if args.json else format_text(result))


if __name__ == "__main__":
    main()
