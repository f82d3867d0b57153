#!/usr/bin/env bash
# Build the module with ThreadSanitizer and run the tests that use threads
# against that build, on a free-threaded interpreter with the GIL off.
#
#   tools/run_tsan.sh [python] [pytest args...]
#
# python defaults to python3.13t and must be a free-threaded build with pytest
# and pytest-timeout installed.  Without pytest args the tests run are those
# with "thread" in their module, class or function name, the slow ones
# excepted: -m "not slow" -k thread.
#
# The interpreter itself is not instrumented: libtsan is preloaded, so only
# the module's own memory accesses are checked, against the synchronisation
# that the sanitizer can see (pthreads, and the atomics and locks compiled
# into the module).  A free-threaded interpreter cannot switch its object
# allocator to plain malloc, so the sanitizer does not see objects being
# freed and their memory reused; only memory the module allocates itself is
# tracked from allocation to release.  tools/tsan.supp drops the reports
# that come from what the sanitizer cannot see, each entry with its reason,
# and tools/tsan_reports.py drops the data races between two accesses of the
# interpreter's own (its allocator handing a block from one thread to
# another looks like one): a race counts when one of its accesses is the
# module's.
#
# GCC's runtime cannot map its shadow memory under some address space
# layouts, so the tests run with address randomisation off (setarch -R)
# where that works.
#
# Exits non-zero if the build fails, if a test fails, or if any report that
# counts was written (also by a subprocess a test started; the sanitizer
# itself does not change exit statuses, so a dropped report in a subprocess
# fails no test).
#
# Environment:
#   TARNIK_TSAN_KEEP_LOGS=1  keep the report directory even when it is empty
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
py="${1:-python3.13t}"
shift || true
if [[ $# -eq 0 ]]; then
  set -- -m "not slow" -k thread
fi

if ! command -v gcc >/dev/null 2>&1; then
  echo "run_tsan: gcc is needed to locate the sanitizer runtime" >&2
  exit 2
fi
libtsan="$(gcc -print-file-name=libtsan.so)"
# gcc prints the bare name back when it does not have the library.
if [[ "$libtsan" != /* || ! -e "$libtsan" ]]; then
  echo "run_tsan: ThreadSanitizer runtime not found ($libtsan)" >&2
  exit 2
fi
if ! "$py" -c 'import sys, sysconfig; sys.exit(0 if sysconfig.get_config_var("Py_GIL_DISABLED") else 1)'; then
  echo "run_tsan: $py is not a free-threaded build" >&2
  exit 2
fi

build_dir="$(TARNIK_DEV_SUFFIX=-tsan TARNIK_BUILD_TYPE=RelWithDebInfo \
  "$here/tools/dev_build.sh" "$py" -DTARNIK_TSAN=ON)"

norandom=()
if setarch "$(uname -m)" -R true 2>/dev/null; then
  norandom=(setarch "$(uname -m)" -R)
fi

reports="$(mktemp -d "${TMPDIR:-/tmp}/tarnik-tsan.XXXXXX")"
set +e
(
  cd "$here"
  export PYTHONPATH="$build_dir${PYTHONPATH:+:$PYTHONPATH}"
  export PYTHON_GIL=0
  export LD_PRELOAD="$libtsan${LD_PRELOAD:+:$LD_PRELOAD}"
  # report_thread_leaks=0: every thread is started by the threading module,
  # which joins or detaches it; the module starts none of its own.
  export TSAN_OPTIONS="halt_on_error=0:exitcode=0:second_deadlock_stack=1:report_thread_leaks=0:suppressions=$here/tools/tsan.supp:log_path=$reports/tsan${TSAN_OPTIONS:+:$TSAN_OPTIONS}"
  "${norandom[@]}" "$py" -c '
import sys, _tarnik_core
assert not sys._is_gil_enabled(), "the GIL is on"
print("run_tsan: %s from %s, GIL off" % (sys.version.split()[0], _tarnik_core.__file__))
' && "${norandom[@]}" "$py" -m pytest -p no:cacheprovider "$@"
)
status=$?
set -e

files=("$reports"/*)
found=0
if [[ -e "${files[0]}" ]]; then
  "$py" "$here/tools/tsan_reports.py" _tarnik_core "${files[@]}" || found=1
fi
if [[ $found -eq 0 && -z "${TARNIK_TSAN_KEEP_LOGS:-}" ]]; then
  rm -rf "$reports"
fi

if [[ $found -ne 0 ]]; then
  echo "run_tsan: ThreadSanitizer reports on the module were written (pytest exit status $status)" >&2
  exit 1
fi
if [[ $status -ne 0 ]]; then
  echo "run_tsan: pytest exited with status $status" >&2
fi
exit "$status"
