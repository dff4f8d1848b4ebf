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
#   JOBS=4 scripts/sanitize.sh                   more parallel jobs (default: nproc)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/lib.sh

build=$TALLYWEB_BUILD_ROOT
dir=$build/linux-asan

cmake --preset linux-asan -B "$dir" -DTALLYWEB_WINDOWS_BIN="$build/mingw/bin"
cmake --build "$dir" -j "$JOBS"
# The linux-asan test preset's sanitizer options, with two more that it
# appends from the environment:
# - a request for more memory than there is answers null, as it does without
#   the sanitizer, so that the tests see the program's own out-of-memory
#   failure rather than the sanitizer's abort;
# - the sanitizers write to files of their own, not to standard error, where
#   their notes (even a harmless "failed to allocate") would mix with the
#   failure text the end-to-end tests read. Every file is looked at below.
logs=$dir/sanitizer-logs
rm -rf "$logs" && mkdir -p "$logs"
export ASAN_OPTIONS=allocator_may_return_null=1:log_path=$logs/asan
export UBSAN_OPTIONS=log_path=$logs/ubsan
status=0
tw_ctest linux-asan || status=1

# A report in a program whose test did not notice still fails the run.
reports=$(grep -l -E "ERROR: |runtime error: " "$logs"/* 2>/dev/null || true)
if [ -n "$reports" ]; then
  echo "sanitizer reports:"
  for f in $reports; do echo "== $f"; cat "$f"; done
  status=1
fi
exit $status
