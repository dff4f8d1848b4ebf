#!/bin/sh
# Builds the native program and its tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (the linux-asan preset) and runs every native
# test, unit and end to end, under them. Any sanitizer report fails the run:
# the preset builds with -fno-sanitize-recover and its test environment halts
# on the first error.
#
#   scripts/sanitize.sh            configure, build, test
#   JOBS=4 scripts/sanitize.sh     more parallel compile jobs (default 2)
set -eu
cd "$(dirname "$0")/.."

jobs=${JOBS:-2}
cmake --preset linux-asan
cmake --build --preset linux-asan -j "$jobs"
ctest --preset linux-asan -j "$jobs"
