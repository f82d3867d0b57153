#!/usr/bin/env bash
# Build the extension in place for quick iteration, without pip.
#   tools/dev_build.sh [python] [extra cmake args...]
# Prints the directory that holds the built module; put it on PYTHONPATH.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
py="${1:-python3}"; shift || true
tag="$("$py" -c 'import sys; print("cp%d%d%s" % (sys.version_info[0], sys.version_info[1], getattr(sys, "abiflags", "")))')"
out="$here/build/dev-$tag${TARNIK_DEV_SUFFIX:-}"
cmake -S "$here" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE="${TARNIK_BUILD_TYPE:-Release}" \
      -DPython_EXECUTABLE="$(command -v "$py")" "$@" >/dev/null
cmake --build "$out" >&2
echo "$out"
