#!/usr/bin/env bash
# Build the module with AddressSanitizer and UndefinedBehaviorSanitizer and run
# the whole test suite against that build.
#
#   tools/run_sanitized.sh [python] [pytest args...]
#
# The interpreter itself is not instrumented, so the sanitizer runtimes are
# preloaded and the interpreter's allocator is switched to plain malloc so
# that every object allocation goes through the checked allocator.  Leak
# detection is off: the interpreter's own leaks at exit are not ours.
#
# Exits non-zero if the build fails, if a test fails, or if any sanitizer
# report was written (also by a subprocess a test started).
#
# Environment:
#   TARNIK_SANITIZE_PYTEST_ARGS  extra pytest arguments, e.g. "-k 'not deep'"
#                                to skip the very deep chains, which are slow
#                                under the sanitizers
#   TARNIK_SANITIZE_KEEP_LOGS=1  keep the report directory even when it is empty
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
py="${1:-python3}"
shift || true

if ! command -v gcc >/dev/null 2>&1; then
  echo "run_sanitized: gcc is needed to locate the sanitizer runtimes" >&2
  exit 2
fi
libasan="$(gcc -print-file-name=libasan.so)"
libubsan="$(gcc -print-file-name=libubsan.so)"
for lib in "$libasan" "$libubsan"; do
  # gcc prints the bare name back when it does not have the library.
  if [[ "$lib" != /* || ! -e "$lib" ]]; then
    echo "run_sanitized: sanitizer runtime not found ($lib)" >&2
    exit 2
  fi
done

build_dir="$(TARNIK_DEV_SUFFIX=-asan TARNIK_BUILD_TYPE=RelWithDebInfo \
  "$here/tools/dev_build.sh" "$py" -DTARNIK_SANITIZE=ON)"

reports="$(mktemp -d "${TMPDIR:-/tmp}/tarnik-sanitizer.XXXXXX")"
extra=()
if [[ -n "${TARNIK_SANITIZE_PYTEST_ARGS:-}" ]]; then
  eval "extra=(${TARNIK_SANITIZE_PYTEST_ARGS})"
fi

set +e
(
  cd "$here"
  export PYTHONPATH="$build_dir${PYTHONPATH:+:$PYTHONPATH}"
  export PYTHONMALLOC=malloc
  export LD_PRELOAD="$libasan:$libubsan${LD_PRELOAD:+:$LD_PRELOAD}"
  export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=0:exitcode=86:log_path=$reports/asan:suppressions=$here/tools/asan.supp"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=87:log_path=$reports/ubsan"
  "$py" -m pytest -p no:cacheprovider "${extra[@]}" "$@"
)
status=$?
set -e

found=0
for f in "$reports"/*; do
  [[ -e "$f" ]] || continue
  found=1
  echo "===== sanitizer report: $f" >&2
  cat "$f" >&2
done
if [[ $found -eq 0 && -z "${TARNIK_SANITIZE_KEEP_LOGS:-}" ]]; then
  rmdir "$reports"
fi

if [[ $found -ne 0 ]]; then
  echo "run_sanitized: sanitizer reports were written (pytest exit status $status)" >&2
  exit 1
fi
if [[ $status -ne 0 ]]; then
  echo "run_sanitized: pytest exited with status $status" >&2
fi
exit "$status"
