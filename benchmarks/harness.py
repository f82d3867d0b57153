"""Timing and memory primitives shared by the benchmark scenarios.

A measured "body" is a function ``body(n)`` that performs ``n`` iterations of
some work; ``ops`` tells how many operations one iteration performs (loops are
unrolled so that loop overhead stays small next to the operation measured).
A subject is always compared with a floor that does equivalent work in plain
Python, sampled alternately in the same process, and reported as the ratio
subject time / floor time per round.
"""

import gc
import itertools
import json
import os
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field

UNROLL = 10


@dataclass
class Body:
    """A timed loop: ``fn(n)`` runs ``n`` iterations of ``ops`` operations each."""

    fn: object
    ops: int = 1


def unrolled(statement, unroll=UNROLL, **names):
    """Compile ``statement`` into a loop body repeated ``unroll`` times.

    The names the statement uses become fast locals (default arguments) so
    that floor and subject pay the same, minimal, name-lookup cost.
    """
    params = "".join(f", {name}={name}" for name in names)
    line = f"        {statement}\n"
    src = f"def body(n, _repeat=_repeat{params}):\n    for _ in _repeat(None, n):\n" + line * unroll
    namespace = dict(names, _repeat=itertools.repeat)
    exec(compile(src, f"<bench: {statement}>", "exec"), namespace)
    return Body(namespace["body"], unroll)


def _sample_ns(body, n, clock=time.perf_counter_ns):
    """Time ``n`` iterations of ``body`` with the cyclic collector paused."""
    gc.collect()
    gc.disable()
    try:
        start = clock()
        body.fn(n)
        return clock() - start
    finally:
        gc.enable()


def calibrate(body, target_ns, clock=time.perf_counter_ns):
    """Return an iteration count whose sample lasts about ``target_ns``."""
    n = 1
    while True:
        elapsed = _sample_ns(body, n, clock)
        if elapsed >= target_ns or n >= 1 << 30:
            return n
        if elapsed < target_ns // 20:
            n *= 10
        else:
            return max(1, round(n * target_ns / max(elapsed, 1)))


@dataclass
class Spread:
    """Median and spread of a list of per-round values."""

    values: list
    median: float = 0.0
    q1: float = 0.0
    q3: float = 0.0
    low: float = 0.0
    high: float = 0.0

    def __post_init__(self):
        data = sorted(self.values)
        self.median = statistics.median(data)
        self.low, self.high = data[0], data[-1]
        if len(data) >= 2:
            self.q1, _, self.q3 = statistics.quantiles(data, n=4, method="inclusive")
        else:
            self.q1 = self.q3 = data[0]


@dataclass
class Comparison:
    """Interleaved floor/subject samples: per-op times and per-round ratios."""

    floor_ns: Spread
    subject_ns: Spread
    ratio: Spread
    iterations: dict = field(default_factory=dict)

    def to_json(self):
        return {
            "unit": "ns",
            "floor_per_op": self.floor_ns.median,
            "subject_per_op": self.subject_ns.median,
            "ratio_median": self.ratio.median,
            "ratio_iqr": [self.ratio.q1, self.ratio.q3],
            "ratio_min_max": [self.ratio.low, self.ratio.high],
            "ratios": self.ratio.values,
            "iterations": self.iterations,
        }


def compare(floor, subject, rounds, target_ns, repeats=3, clock=time.perf_counter_ns):
    """Sample ``floor`` and ``subject`` alternately for ``rounds`` rounds.

    Each body is calibrated separately to samples of about ``target_ns``. A
    round takes ``repeats`` samples of each side, alternating which goes first,
    and keeps each side's fastest (the least disturbed by other processes);
    the round's ratio is subject / floor of those. ``clock`` may be
    ``time.thread_time_ns``: this thread's processor time, which leaves out
    the time other processes take the processor away, though not what they
    do to its caches.
    """
    bodies = (floor, subject)
    counts = [calibrate(body, target_ns, clock) for body in bodies]
    per_op = ([], [])
    for round_no in range(rounds):
        best = [float("inf"), float("inf")]
        for rep in range(repeats):
            for side in ((0, 1) if (round_no + rep) % 2 == 0 else (1, 0)):
                body, n = bodies[side], counts[side]
                best[side] = min(best[side], _sample_ns(body, n, clock) / (n * body.ops))
        per_op[0].append(best[0])
        per_op[1].append(best[1])
    ratios = [s / f for f, s in zip(*per_op)]
    return Comparison(Spread(per_op[0]), Spread(per_op[1]), Spread(ratios),
                      {"floor": counts[0] * floor.ops, "subject": counts[1] * subject.ops})


def time_once_ns(fn, *args):
    """Wall time of one call, collector paused (for the long single runs)."""
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter_ns()
        fn(*args)
        return time.perf_counter_ns() - start
    finally:
        gc.enable()


def rss_bytes():
    """Resident set size of this process right now."""
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        import resource  # peak, not current; still a valid delta for a growing heap

        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def run_child(func, *args, timeout=900, python=None, path=None, env=None):
    """Run ``func(*args)`` in a fresh interpreter and return its JSON result.

    Used for measurements that need a clean heap (memory) or that could take
    the process down (very deep chains). A crash or non-zero exit becomes
    ``{"error": ...}`` instead of ending the suite. ``python`` (default: this
    interpreter) runs with ``path`` (default: this one's ``sys.path``) in front
    of its own and with ``env`` added to the environment.
    """
    code = (
        "import json, sys\n"
        f"sys.path[:0] = {list(path or sys.path)!r}\n"
        f"from {func.__module__} import {func.__name__} as f\n"
        "print(json.dumps(f(*json.loads(sys.argv[1]))))\n"
    )
    try:
        proc = subprocess.run([python or sys.executable, "-c", code, json.dumps(args)],
                              capture_output=True, text=True, timeout=timeout,
                              env=dict(os.environ, **env) if env else None)
    except subprocess.TimeoutExpired:
        return {"error": f"timed out after {timeout} s"}
    if proc.returncode != 0:
        tail = proc.stderr.strip().splitlines()[-3:]
        return {"error": f"exit status {proc.returncode}: " + " | ".join(tail)}
    return json.loads(proc.stdout.strip().splitlines()[-1])
