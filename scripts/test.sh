#!/bin/bash
# Every test, from a fresh clone: installs what is missing, builds the
# Windows tree (mingw-w64) and the native tree, then runs the unit tests
# under Wine and natively, and the end-to-end tests (Tallyweb.exe under Wine
# and the native build). Exits non-zero when any step fails, and ends with
# CTest's summary line of each tree.
#
#   scripts/test.sh            everything
#   JOBS=4 scripts/test.sh     more parallel compile jobs (default: nproc)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${JOBS:-$(nproc)}

scripts/install-deps.sh || exit 1

# The Windows tree first: the native tree's end-to-end tests run its
# Tallyweb.exe and shell_recorder.exe from build/mingw/bin.
set -e
cmake --preset mingw
cmake --build --preset mingw -j "$jobs"
cmake --preset linux
cmake --build --preset linux -j "$jobs"
set +e

failed=0
summary=()
run_ctest() {
  local preset=$1 log=build/$1/ctest.log
  ctest --preset "$preset" -j "$jobs" 2>&1 | tee "$log"
  [[ ${PIPESTATUS[0]} -eq 0 ]] || failed=1
  summary+=("$preset: $(grep -E 'tests passed' "$log" | tail -1)")
}
run_ctest mingw
run_ctest linux

# Further stages (sanitizers, fuzzing...) go here, each as its own script:
#   scripts/<stage>.sh || failed=1

echo
echo "=== Summary"
printf '%s\n' "${summary[@]}"
if [[ $failed -ne 0 ]]; then
  echo "FAILED"
  exit 1
fi
echo "All tests passed."
