#!/bin/bash
# Every test, from a fresh clone: installs what is missing, builds the
# Windows trees (mingw-w64, x64 and x86) and the native tree, then runs the
# unit tests under Wine (both architectures) and natively, the end-to-end
# tests (Tallyweb.exe under Wine and the native build; the 32-bit
# Tallyweb.exe through the subset labelled x86), and the release check (two
# builds compared byte for byte, each archive unpacked and run). Exits
# non-zero when any step fails, and ends with a summary line for each stage.
#
# Where this machine cannot run 32-bit programs (or Wine's 32-bit loader
# could not be installed), what needs a 32-bit Wine is skipped, with its
# reason in the summary; the 32-bit program is still built, packed, and
# checked by what needs no 32-bit Wine.
#
#   scripts/test.sh            everything
#   JOBS=4 scripts/test.sh     more parallel jobs (default: nproc)
#   TALLYWEB_BUILD_ROOT=/tmp/b scripts/test.sh   build trees elsewhere
#   TALLYWEB_NO_32BIT=1 scripts/test.sh          as on a machine without
#                                                32-bit support
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/lib.sh
jobs=$JOBS

scripts/install-deps.sh test || exit 1
export TALLYWEB_DEPS_DONE="demo release test"
# Found out once, for every script and test started from here.
tw_wine32
export TALLYWEB_WINE32_WHY

# Build trees: build/mingw and build/linux, the presets' own folders, or
# below TALLYWEB_BUILD_ROOT (scripts/lib.sh).
build=$TALLYWEB_BUILD_ROOT
mingw=$build/mingw
mingw_x86=$build/mingw-x86
linux=$build/linux

# The Windows tree first: the native tree's end-to-end tests run its
# Tallyweb.exe and shell_recorder.exe.
set -e
cmake --preset mingw -B "$mingw"
cmake --build "$mingw" -j "$jobs"
cmake --preset mingw-x86 -B "$mingw_x86" -DTALLYWEB_PROBE64="$mingw/bin/version_probe.exe"
cmake --build "$mingw_x86" -j "$jobs"
cmake --preset linux -B "$linux" -DTALLYWEB_WINDOWS_BIN="$mingw/bin"
cmake --build "$linux" -j "$jobs"
set +e

failed=0
summary=()
# Each tree with the settings of its test preset (CMakePresets.json).
run_ctest() {
  local name=$1 preset=$2 log=$build/$2/ctest.log
  shift 2
  tw_ctest "$preset" "$@" 2>&1 | tee "$log"
  [[ ${PIPESTATUS[0]} -eq 0 ]] || failed=1
  summary+=("$name: $(grep -E 'tests passed' "$log" | tail -1)")
}
run_ctest "Windows x64 tree (under Wine)" mingw
if [[ -z $TALLYWEB_WINE32_WHY ]]; then
  run_ctest "Windows x86 tree (under Wine)" mingw-x86
else
  summary+=("Windows x86 tree (under Wine): skipped: $TALLYWEB_WINE32_WHY")
  run_ctest "Windows x86 tree, the checks that need no 32-bit Wine" mingw-x86 -L no-wine32
fi
run_ctest "native tree" linux

# The 32-bit Tallyweb.exe end to end: the tests labelled x86 (the run and the
# shell's request, the failure boxes, the download list's values, names in
# any script, a program folder of any name and length, the values that
# attack the page). The whole e2e suite passes with it too, but takes as
# long again as the 64-bit run.
if [[ -z $TALLYWEB_WINE32_WHY ]]; then
  log=$linux/ctest-x86.log
  TALLYWEB_WINDOWS_BIN=$mingw_x86/bin tw_ctest linux -L x86 2>&1 | tee "$log"
  [[ ${PIPESTATUS[0]} -eq 0 ]] || failed=1
  summary+=("32-bit Tallyweb.exe end to end: $(grep -E 'tests passed' "$log" | tail -1)")
else
  summary+=("32-bit Tallyweb.exe under Wine: skipped: $TALLYWEB_WINE32_WHY")
fi

# The native tests again under AddressSanitizer and UndefinedBehaviorSanitizer,
# then each fuzz target for a bounded time (FUZZ_SECONDS, 60 by default).
stage() {
  local name=$1; shift
  if "$@"; then summary+=("$name: clean"); else summary+=("$name: FAILED"); failed=1; fi
}
stage "sanitizers (native tree under ASan and UBSan)" scripts/sanitize.sh
stage "fuzzing (${FUZZ_SECONDS:-60} s a target)" scripts/fuzz.sh
if [[ -z $TALLYWEB_WINE32_WHY ]]; then
  stage "release (built twice in two folders: identical; each archive runs)" \
    scripts/release.sh --check
else
  stage "release (built twice in two folders: identical; the win64 and Linux archives run)" \
    scripts/release.sh --check
  summary+=("release, the win32 archive run under Wine: skipped: $TALLYWEB_WINE32_WHY")
fi

echo
echo "=== Summary"
printf '%s\n' "${summary[@]}"
if [[ $failed -ne 0 ]]; then
  echo "FAILED"
  exit 1
fi
echo "All tests passed."
