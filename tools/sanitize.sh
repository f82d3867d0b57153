#!/usr/bin/env bash
# Build the module with run-time checks and run the test suite against that
# build.
#
#   tools/sanitize.sh MODE [python] [pytest args...]
#
# MODE is one of
#   asan   AddressSanitizer and UndefinedBehaviorSanitizer (-DTARNIK_SANITIZE=ON),
#          the whole suite by default; python defaults to python3
#   tsan   ThreadSanitizer (-DTARNIK_TSAN=ON) on a free-threaded interpreter
#          with the GIL off, the tests with "thread" in their module, class or
#          function name by default (-m "not slow" -k thread); python defaults
#          to python3.13t
#   debug  a Debug build (CMAKE_BUILD_TYPE=Debug: assertions on, NDEBUG
#          unset, no optimisation), the whole suite by default; python
#          defaults to python3
#
# The module is built into build/dev-cpXY-MODE (tools/dev_build.sh) and put
# first on PYTHONPATH; the interpreter needs pytest and pytest-timeout (and
# the rest of the test extra for the tests that use it).
#
# The interpreter itself is not instrumented, so the sanitizer runtimes are
# preloaded.  With asan, the interpreter's allocator is switched to plain
# malloc so that every object allocation goes through the checked
# allocator, and leak detection is off: the interpreter's own leaks at exit
# are not ours.
#
# With tsan, only the module's own memory accesses are checked, against the
# synchronisation that the sanitizer can see (pthreads, and the atomics and
# locks compiled into the module).  A free-threaded interpreter cannot
# switch its object allocator to plain malloc, so the sanitizer does not see
# objects being freed and their memory reused; only memory the module
# allocates itself is tracked from allocation to release.  tools/tsan.supp
# drops the reports that come from what the sanitizer cannot see, each entry
# with its reason, and tools/tsan_reports.py drops the data races between two
# accesses of the interpreter's own (its allocator handing a block from one
# thread to another looks like one): a race counts when one of its accesses
# is the module's.  GCC's runtime cannot map its shadow memory under some
# address space layouts, so the tests run with address randomisation off
# (setarch -R) where that works.
#
# Exits non-zero if the build fails, if a test fails (pytest's own status,
# 5 for no tests included), or if any sanitizer report that counts was
# written (also by a subprocess a test started; ThreadSanitizer does not
# change exit statuses, so a dropped report in a subprocess fails no test).
#
# Environment:
#   TARNIK_SANITIZE_PYTEST_ARGS  extra pytest arguments, e.g. "-k 'not deep'"
#   TARNIK_SANITIZE_KEEP_LOGS=1  keep the report directory even when it is empty
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
me="sanitize"
usage() { echo "usage: tools/sanitize.sh asan|tsan|debug [python] [pytest args...]" >&2; exit 2; }

mode="${1:-}"
shift || true
case "$mode" in
  asan|debug) py="${1:-python3}" ;;
  tsan) py="${1:-python3.13t}" ;;
  *) usage ;;
esac
shift || true
if [[ "$mode" == tsan && $# -eq 0 ]]; then
  set -- -m "not slow" -k thread
fi

runtime() {  # runtime NAME: the path of a sanitizer runtime that gcc knows
  local lib
  command -v gcc >/dev/null 2>&1 || { echo "$me: gcc is needed to locate the sanitizer runtimes" >&2; exit 2; }
  lib="$(gcc -print-file-name="$1")"
  # gcc prints the bare name back when it does not have the library.
  if [[ "$lib" != /* || ! -e "$lib" ]]; then
    echo "$me: sanitizer runtime not found ($lib)" >&2
    exit 2
  fi
  echo "$lib"
}

env_run=()      # VAR=value pairs for the test run
prefix=()       # what the interpreter is started under
case "$mode" in
  asan)
    cmake_args=(-DTARNIK_SANITIZE=ON) build_type=RelWithDebInfo
    env_run=(PYTHONMALLOC=malloc "LD_PRELOAD=$(runtime libasan.so):$(runtime libubsan.so)${LD_PRELOAD:+:$LD_PRELOAD}")
    ;;
  tsan)
    cmake_args=(-DTARNIK_TSAN=ON) build_type=RelWithDebInfo
    if ! "$py" -c 'import sys, sysconfig; sys.exit(0 if sysconfig.get_config_var("Py_GIL_DISABLED") else 1)'; then
      echo "$me: $py is not a free-threaded build" >&2
      exit 2
    fi
    env_run=(PYTHON_GIL=0 "LD_PRELOAD=$(runtime libtsan.so)${LD_PRELOAD:+:$LD_PRELOAD}")
    if setarch "$(uname -m)" -R true 2>/dev/null; then
      prefix=(setarch "$(uname -m)" -R)
    fi
    ;;
  debug)
    cmake_args=() build_type=Debug
    ;;
esac

build_dir="$(TARNIK_DEV_SUFFIX="-$mode" TARNIK_BUILD_TYPE="$build_type" \
  "$here/tools/dev_build.sh" "$py" "${cmake_args[@]}")"

reports="$(mktemp -d "${TMPDIR:-/tmp}/tarnik-$mode.XXXXXX")"
case "$mode" in
  asan)
    env_run+=("ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:abort_on_error=0:exitcode=86:log_path=$reports/asan:suppressions=$here/tools/asan.supp"
              "UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=87:log_path=$reports/ubsan") ;;
  tsan)
    # report_thread_leaks=0: every thread is started by the threading module,
    # which joins or detaches it; the module starts none of its own.
    env_run+=("TSAN_OPTIONS=halt_on_error=0:exitcode=0:second_deadlock_stack=1:report_thread_leaks=0:suppressions=$here/tools/tsan.supp:log_path=$reports/tsan${TSAN_OPTIONS:+:$TSAN_OPTIONS}") ;;
esac

extra=()
if [[ -n "${TARNIK_SANITIZE_PYTEST_ARGS:-}" ]]; then
  eval "extra=(${TARNIK_SANITIZE_PYTEST_ARGS})"
fi

set +e
(
  cd "$here"
  export PYTHONPATH="$build_dir${PYTHONPATH:+:$PYTHONPATH}"
  (( ${#env_run[@]} == 0 )) || export "${env_run[@]}"
  "${prefix[@]}" "$py" -c '
import os, sys, _tarnik_core
assert os.path.dirname(os.path.realpath(_tarnik_core.__file__)) == os.path.realpath(sys.argv[1]), _tarnik_core.__file__
if sys.argv[2] == "tsan":
    assert not sys._is_gil_enabled(), "the GIL is on"
print("sanitize %s: %s from %s" % (sys.argv[2], sys.version.split()[0], _tarnik_core.__file__))
' "$build_dir" "$mode" && "${prefix[@]}" "$py" -m pytest -p no:cacheprovider "${extra[@]}" "$@"
)
status=$?
set -e

files=("$reports"/*)
found=0
if [[ -e "${files[0]}" ]]; then
  if [[ "$mode" == tsan ]]; then
    "$py" "$here/tools/tsan_reports.py" _tarnik_core "${files[@]}" || found=1
  else
    found=1
    for f in "${files[@]}"; do
      echo "===== sanitizer report: $f" >&2
      cat "$f" >&2
    done
  fi
fi
if [[ $found -eq 0 && -z "${TARNIK_SANITIZE_KEEP_LOGS:-}" ]]; then
  rm -rf "$reports"
fi

if [[ $found -ne 0 ]]; then
  echo "$me $mode: sanitizer reports on the module were written (pytest exit status $status)" >&2
  exit 1
fi
if [[ $status -ne 0 ]]; then
  echo "$me $mode: pytest exited with status $status" >&2
fi
exit "$status"
