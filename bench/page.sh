#!/bin/bash
# Times the report page in Chromium: how long a page of N downloads takes to
# load, to sort and to filter, and how much memory it holds, for the default
# template and, side by side in the same run, for another copy of it, each
# against the floor of a plain table of the same rows (bench/plain.txt: no
# style, no script, the address and the folder as links), measured in the
# same run, whose load, first rows and bytes the others are printed as
# ratios of.
#
#   bench/page.sh [--runs R] [--sizes "N N..."] [--native PATH] [[NAME=]TEMPLATE...]
#
# Each TEMPLATE is measured beside the default one, under NAME (or "other",
# "other2", ... when none is given). Makes download lists of 12, 1 000, 10 000 and 100 000 downloads (those of
# bench/make_list.pl, written straight into a Wine-format hive, so no Wine is
# needed), has the native build write a report of each with each template,
# and drives Chromium with the browser test's driver (tests/browser/run.sh
# installs it), round by round so that drift of the machine hits both alike.
# Needs: the linux build, perl, node, chromium. Works in build/bench-page/.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib.sh"
sizes="12 1000 10000 100000"
runs=3
native=$TALLYWEB_BUILD_ROOT/linux/bin/Tallyweb
others=()
while [ $# -gt 0 ]; do
  case $1 in
    --sizes) sizes=$2; shift ;;
    --runs) runs=$2; shift ;;
    --native) native=$2; shift ;;
    -*) echo "usage: $0 [--runs R] [--sizes \"N...\"] [--native PATH] [[NAME=]TEMPLATE...]" >&2
        exit 2 ;;
    *) others+=("$1") ;;
  esac
  shift
done
work=$TALLYWEB_BUILD_ROOT/bench-page
modules=$TALLYWEB_BUILD_ROOT/linux/browser/npm/node_modules
[ -x "$native" ] || { echo "bench: $native is missing; build the linux preset" >&2; exit 1; }
[ -d "$modules/playwright-core" ] ||
  { echo "bench: run the browser test once (tests/browser/run.sh) to install its driver" >&2; exit 1; }

tw_no_browser "$work/stub"

templates="plain=$root/bench/plain.txt default=$root/src/app/template.txt"
count=0
for other in ${others[@]+"${others[@]}"}; do
  count=$((count + 1))
  name=other$([ $count -gt 1 ] && echo $count || true)
  case $other in *=*) name=${other%%=*}; other=${other#*=} ;; esac
  templates="$templates $name=$(cd "$(dirname "$other")" && pwd)/$(basename "$other")"
done

reports=()
for n in $sizes; do
  prefix=$work/prefix-$n
  if [ ! -f "$prefix/system.reg" ]; then
    mkdir -p "$prefix"
    perl "$root/bench/make_list.pl" --hive "$n" >"$prefix/system.reg"
  fi
  for entry in $templates; do
    name=${entry%%=*}
    dir=$work/run-$name-$n
    mkdir -p "$dir"
    cp "$native" "$dir/Tallyweb"
    cp "${entry#*=}" "$dir/template.txt"
    (cd "$dir" && WINEPREFIX=$prefix PATH="$work/stub:$PATH" ./Tallyweb)
    reports+=("$name:$n:$dir/Tallyweb.htm")
    echo "N=$n $name: report $(stat -c %s "$dir/Tallyweb.htm") bytes"
  done
done

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
NODE_PATH=$modules node "$root/bench/page.js" "$runs" "${reports[@]}"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
