#!/bin/sh
# Builds the libFuzzer targets (the fuzz preset: clang with the address and
# undefined-behaviour sanitizers) and runs each for a bounded time. A crash,
# a leak, a sanitizer report, a failed check inside a target, or one input
# that takes longer than a second fails the run.
#
#   scripts/fuzz.sh                      every target, 60 s each
#   FUZZ_SECONDS=600 scripts/fuzz.sh     longer
#   scripts/fuzz.sh fuzz_template        only the targets named
#
# Each target starts from its seeds in fuzz/corpus/<name>/ and grows a
# working corpus in build/fuzz/corpus/<name>/ (below TALLYWEB_BUILD_ROOT when
# set), kept between runs; the seeds in the source tree are never written
# to. Crash inputs land in build/fuzz/artifacts/.
set -eu
cd "$(dirname "$0")/.."
. scripts/lib.sh

seconds=${FUZZ_SECONDS:-60}
targets=${*:-$(tw_fuzz_targets)}
[ -n "$targets" ] || { echo "fuzz: no targets in fuzz/CMakeLists.txt" >&2; exit 1; }

build=$TALLYWEB_BUILD_ROOT/fuzz
cmake --preset fuzz -B "$build"
cmake --build "$build" -j "$JOBS" --target fuzzers

mkdir -p "$build/artifacts"
failed=""
for target in $targets; do
  name=${target#fuzz_}
  corpus=$build/corpus/$name
  mkdir -p "$corpus"
  dict=""
  [ -f "fuzz/$name.dict" ] && dict="-dict=fuzz/$name.dict"
  echo "== $target: ${seconds}s"
  # shellcheck disable=SC2086 # $dict is one word or none
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -timeout=1 -rss_limit_mb=2048 -max_len=16384 \
      -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" $dict \
      "$corpus" "fuzz/corpus/$name" 2>"$build/$target.log"; then
    # A machine that stalls for a second (swapping, a burst of other work)
    # also trips the timeout: an input counts as slow only if it is slow
    # again when run alone.
    slow=$(grep -a -o "Test unit written to .*timeout-[0-9a-f]*" "$build/$target.log" | sed 's/.* to //')
    if [ -n "$slow" ] && "$build/fuzz/$target" -timeout=1 -runs=3 "$slow" >"$build/$target.replay.log" 2>&1; then
      echo "timeout not reproduced when replayed alone: $(grep -a Executed "$build/$target.replay.log")"
    else
      failed="$failed $target"
      tail -n 60 "$build/$target.log"
    fi
  fi
  grep -E '^stat::number_of_executed_units|^Done [0-9]+ runs' "$build/$target.log" || true
done

if [ -n "$failed" ]; then
  echo "fuzzing failed:$failed (inputs in $build/artifacts/)" >&2
  exit 1
fi
echo "fuzzing clean: $targets"
