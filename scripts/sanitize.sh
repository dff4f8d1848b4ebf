#!/bin/bash
# Builds the native program and its tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (the linux-asan preset) and runs every native
# test, unit and end to end, under them. Any sanitizer report fails the run:
# the preset builds with -fno-sanitize-recover, and the program aborts on the
# first report, which no test takes for a normal end.
#
# The end-to-end tests also run the Windows build's Tallyweb.exe, from the
# mingw tree that scripts/test.sh builds first.
#
#   scripts/sanitize.sh                          build/linux-asan
#   TALLYWEB_BUILD_ROOT=/tmp/b scripts/sanitize.sh   /tmp/b/linux-asan, /tmp/b/mingw
#   JOBS=4 scripts/sanitize.sh                   more parallel jobs (default 2)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

jobs=${JOBS:-2}
build=${TALLYWEB_BUILD_ROOT:-$root/build}
dir=$build/linux-asan

cmake --preset linux-asan -B "$dir" -DTALLYWEB_WINDOWS_BIN="$build/mingw/bin"
cmake --build "$dir" -j "$jobs"
# As the linux-asan test preset sets them; the preset itself is tied to
# build/linux-asan, so the tree is named here instead.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$dir" -j "$jobs" --output-on-failure --no-tests=error --timeout 300
