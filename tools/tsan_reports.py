"""Reads the ThreadSanitizer report files that `tools/sanitize.sh tsan` collected,
prints the reports that concern the module and exits 1 if there is one.

The interpreter is not instrumented, so of its own work the sanitizer sees
only its calls into the C library (memset, memcpy, ...), and none of the
synchronisation around them: a block its allocator hands from one thread to
another, zeroed or copied on the way, looks like a race.  A report on memory
accesses (a data race, a use after free) counts here when one of its
accesses was made by the module's own code, or by a C library call the
module made itself (the first frame past the sanitizer's interceptors is in
the module), or when the stack of one could not be restored.  Every other
kind of report (lock order, a signal handler, ...) always counts.

    python tools/tsan_reports.py MODULE_FILE_PART REPORT_FILE...
"""
import re
import sys

SEPARATOR = "=================="
FRAME = re.compile(r"^\s+#\d+ .*\((?P<object>[^()+]+)\+0x[0-9a-f]+\)\s*$")
ACCESS = re.compile(r"^\s+(Previous )?(atomic )?(read|write|Read|Write|Atomic read|Atomic write)\b")


def reports(text):
    """The reports of one file, each a list of lines."""
    current = None
    for line in text.splitlines():
        if line.strip() == SEPARATOR:
            if current:
                yield current
            current = []
        elif current is not None:
            current.append(line)
    if current:
        yield current


def first_frames(report):
    """For each access of a data race, the object file of its first frame
    past the interceptors (None when its stack could not be restored)."""
    found = []
    in_access = False
    for line in report:
        if ACCESS.match(line):
            in_access = True
            found.append(None)
            continue
        if not in_access:
            continue
        match = FRAME.match(line)
        if match is None:
            if not line.strip().startswith("#"):
                in_access = False
            continue
        if found[-1] is None and "libtsan" not in match.group("object"):
            found[-1] = match.group("object")
    return found


def counts(report, module):
    frames = first_frames(report)
    return not frames or any(f is None or module in f for f in frames)


def main(argv):
    module, paths = argv[1], argv[2:]
    kept = dropped = 0
    for path in paths:
        with open(path, errors="replace") as f:
            text = f.read()
        for report in reports(text):
            if not any("WARNING: ThreadSanitizer:" in line for line in report):
                continue
            if counts(report, module):
                kept += 1
                sys.stderr.write("===== ThreadSanitizer report from %s\n%s\n%s\n" % (path, SEPARATOR, "\n".join(report)))
            else:
                dropped += 1
    sys.stderr.write("tsan_reports: %d report(s) on the module, %d between interpreter accesses dropped\n" % (kept, dropped))
    return 1 if kept else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
