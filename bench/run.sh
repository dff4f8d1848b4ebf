#!/bin/bash
# Times the program against the least its design allows, on download lists of
# 1 000 and 10 000 downloads (and 100 000 with --large), and prints a table.
#
#   bench/run.sh [--large] [--runs R] [--sizes "N N..."] [--exe PATH] [--native PATH]
#   bench/run.sh --table     the table of the last run's figures again
#
# Programs, each run R times per size, interleaved round by round so that any
# drift of the machine hits them all alike:
#   floor.exe     the registry and file calls a run must make, nothing else
#   Tallyweb.exe  the program under Wine, with the default template
#   reg query     `reg query ... /s /reg:32 > file`, what a user would script
#   native        the native build, reading the same prefix's hive
#   io floor      reading that hive and writing the report in 128-byte writes
# Everything (wine server, Wine's own services, the programs) is pinned to one
# CPU: on two, every server round trip waits for the other CPU to wake, and
# the figures become noise. Other load on the machine shows in the figures
# too; the load average is printed before and after.
#
# Needs: the mingw and linux builds (cmake --build --preset mingw / linux),
# wine, taskset, gcc, x86_64-w64-mingw32-gcc, perl. Works in build/bench/
# (build/ being TALLYWEB_BUILD_ROOT when that is set).
set -Eeuo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib.sh"
# Most steps run silenced (Wine's chatter would bury the table): a step that
# fails must still say which it was, or the run just ends.
trap 'echo "bench: stopped at line $LINENO, exit $?: $BASH_COMMAND" >&2' ERR
sizes="1000 10000"
runs=5
exe=$TALLYWEB_BUILD_ROOT/mingw/bin/Tallyweb.exe
native=$TALLYWEB_BUILD_ROOT/linux/bin/Tallyweb
table_only=0
while [ $# -gt 0 ]; do
  case $1 in
    --large) sizes="1000 10000 100000" ;;
    --sizes) sizes=$2; shift ;;
    --runs) runs=$2; shift ;;
    --exe) exe=$2; shift ;;
    --native) native=$2; shift ;;
    --table) table_only=1 ;;
    *) echo "usage: $0 [--large] [--runs R] [--sizes \"N...\"] [--exe PATH] [--native PATH]" >&2
       exit 2 ;;
  esac
  shift
done
work=$TALLYWEB_BUILD_ROOT/bench
results=$work/results.txt
measure_all() {
for f in "$exe" "$native" "$(dirname "$exe")/template.txt"; do
  [ -f "$f" ] || { echo "bench: $f is missing; build the mingw and linux presets first" >&2; exit 1; }
done

mkdir -p "$work/win" "$work/native" "$work/floor" "$work/io" "$work/stub"
tw_wine_env "$work/$tw_prefix_folder"
mkdir -p "$WINEPREFIX"  # wineserver -p will not start in a missing folder
pin="taskset -c 0"
quiet() { "$@" </dev/null >/dev/null 2>&1; }

# --- tools -----------------------------------------------------------------
gcc -O2 -o "$work/timeit" "$root/bench/timeit.c"
gcc -O2 -o "$work/io/io_floor" "$root/bench/io_floor.c"
x86_64-w64-mingw32-gcc -O2 -o "$work/floor/floor.exe" "$root/bench/floor.c" -ladvapi32
x86_64-w64-mingw32-gcc -O2 -mwindows -o "$work/stub/noop.exe" "$root/bench/noop.c"
cp "$exe" "$(dirname "$exe")/template.txt" "$work/win/"
# Each program through the loader of its own architecture.
. "$root/cmake/wine-loader.sh"
exe_wine=$(wine_loader "$exe")
floor_wine=$(wine_loader "$work/floor/floor.exe")
cp "$native" "$work/native/Tallyweb"
cp "$(dirname "$exe")/template.txt" "$work/native/"
cp "$(dirname "$exe")/template.txt" "$work/floor/"
# The native build opens its report with xdg-open: here a stub that does nothing.
tw_no_browser "$work/stub"

# --- the prefix and its pinned wine server ------------------------------------
start_server() {
  quiet $pin wineserver -p
  quiet $pin "$tw_wine64" wineboot -i
}
quiet wineserver -k || true
start_server
# The shell's answer to "open Tallyweb.htm": the do-nothing stub.
quiet $pin "$tw_wine64" reg add 'HKCR\htmlfile\shell\open\command' /ve /f \
  /d "\"$("$tw_wine64" winepath -w "$work/stub/noop.exe" 2>/dev/null)\" \"%1\""

wait_for_stub() {  # the stub outlives the program that asked for it
  local i
  for i in $(seq 50); do pgrep -x noop.exe >/dev/null || return 0; sleep 0.1; done
}

: >"$results"
measure() {  # measure LABEL N [timeit options] -- COMMAND...
  local label=$1 n=$2; shift 2
  local line
  line=$($pin "$work/timeit" "$@")
  set -- $line
  [ "$3" = 0 ] || { echo "bench: $label exited $3 at N=$n" >&2; exit 1; }
  echo "$n $label $1 $2" >>"$results"
}

echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for n in $sizes; do
  list=$work/list$n.reg
  [ -f "$list" ] || perl "$root/bench/make_list.pl" "$n" >"$list"
  quiet $pin "$tw_wine64" reg delete 'HKLM\Software\Tesmora\Orvalink\FileList' /f /reg:32 || true
  quiet $pin "$tw_wine64" reg import "$list" /reg:32
  # Stopping the server writes the hive to disk for the native build.
  quiet wineserver -k; quiet wineserver -w || true
  start_server

  # Warm-up, and the report's size for the floors.
  quiet $pin "$exe_wine" "$work/win/Tallyweb.exe"; wait_for_stub
  bytes=$(stat -c %s "$work/win/Tallyweb.htm")
  quiet env PATH="$work/stub:$PATH" "$work/native/Tallyweb"
  # Alike but for the folder links, which natively name the Linux folders.
  if cmp -s <(sed 's|file://[^"]*|LINK|g' "$work/win/Tallyweb.htm") \
            <(sed 's|file://[^"]*|LINK|g' "$work/native/Tallyweb.htm"); then
    same=identical
  else
    same=DIFFERENT
  fi
  echo "N=$n: report $bytes bytes (native report $same), hive $(stat -c %s "$WINEPREFIX/system.reg") bytes"

  # The same hive with its keys in random order, and with one download's key
  # listed again holding 100 000 more values: a hand-edited hive may be
  # either, and the native reader must stay linear.
  mkdir -p "$work/shuffled" "$work/values"
  perl -e 'srand(1); local $/ = ""; my (@head, @keys);
    while (<>) { if (/^\[/ && @keys + @head) { push @keys, $_ } elsif (@keys) { push @keys, $_ } else { push @head, $_ } }
    for (my $i = @keys; --$i;) { my $j = int rand($i + 1); @keys[$i, $j] = @keys[$j, $i] }
    print @head, map { /\n\n$/ ? $_ : "$_\n" } @keys' "$WINEPREFIX/system.reg" >"$work/shuffled/system.reg"
  perl -e 'my $first; while (<>) { print; $first //= $1 if /^\[(.*\\\\FileList\\\\[^\]]+)\]/ }
    print "\n[$first] 0\n"; printf "\"Extra%06d\"=\"value %d\"\n", $_, $_ for 1 .. 100000' \
    "$WINEPREFIX/system.reg" >"$work/values/system.reg"

  for r in $(seq "$runs"); do
    measure floor.exe "$n" -C "$work/floor" -- "$floor_wine" floor.exe template.txt floor.htm "$bytes"
    measure Tallyweb.exe "$n" -- "$exe_wine" "$work/win/Tallyweb.exe"
    wait_for_stub
    measure "reg query" "$n" -o "$work/query.txt" -- \
      "$tw_wine64" reg query 'HKLM\Software\Tesmora\Orvalink\FileList' /s /reg:32
    measure native "$n" -- env PATH="$work/stub:$PATH" "$work/native/Tallyweb"
    measure "native shuffled" "$n" -- env PATH="$work/stub:$PATH" WINEPREFIX="$work/shuffled" "$work/native/Tallyweb"
    measure "native values" "$n" -- env PATH="$work/stub:$PATH" WINEPREFIX="$work/values" "$work/native/Tallyweb"
    measure "io floor" "$n" -- "$work/io/io_floor" "$WINEPREFIX/system.reg" "$work/io/out.htm" "$bytes"
  done
done
echo "load after:  $(cut -d' ' -f1-3 /proc/loadavg)"
quiet wineserver -k || true
}

if [ "$table_only" = 1 ]; then
  sizes=$(awk '{ print $1 }' "$results" | sort -n -u | tr '\n' ' ')
else
  measure_all
fi

# --- the table and the targets ---------------------------------------------
template_bytes=$(stat -c %s "$work/win/template.txt")
awk -v sizes="$sizes" -v template_bytes="$template_bytes" '
  function sort_times(key,   i, j, v, c) {  # into a[1..c], ascending
    c = count[key]; delete a
    for (i = 1; i <= c; i++) {
      v = t[key, i]
      for (j = i - 1; j > 0 && a[j] > v; j--) a[j + 1] = a[j]
      a[j + 1] = v
    }
    return c
  }
  function verdict(ok) { return ok ? "met   " : "MISSED" }
  {
    n = $1; us = $(NF - 1); rss = $NF
    label = $2; for (i = 3; i < NF - 1; i++) label = label " " $i
    key = n SUBSEP label
    t[key, ++count[key]] = us
    if (rss > peak[key]) peak[key] = rss
  }
  END {
    np = split("floor.exe|Tallyweb.exe|reg query|native|io floor|native shuffled|native values", order, "|")
    base["floor.exe"] = base["Tallyweb.exe"] = base["reg query"] = "floor.exe"
    base["native"] = base["io floor"] = "io floor"
    base["native shuffled"] = base["native values"] = "native"
    nn = split(sizes, ns, " ")
    for (s = 1; s <= nn; s++)
      for (o = 1; o <= np; o++) {
        key = ns[s] SUBSEP order[o]; c = sort_times(key)
        med[key] = c % 2 ? a[(c + 1) / 2] : (a[c / 2] + a[c / 2 + 1]) / 2
        lo[key] = a[1]; hi[key] = a[c]
      }
    printf "%7s  %-15s %10s %10s %10s %8s %9s %9s\n", "N", "program", "median ms", "min ms",
           "max ms", "x floor", "us/item", "peak MiB"
    for (s = 1; s <= nn; s++) {
      n = ns[s]
      for (o = 1; o <= np; o++) {
        key = n SUBSEP order[o]
        printf "%7d  %-15s %10.1f %10.1f %10.1f %8.3f %9.1f %9.1f\n", n, order[o], med[key] / 1000,
               lo[key] / 1000, hi[key] / 1000, med[key] / med[n SUBSEP base[order[o]]],
               med[key] / n, peak[key] / 1024
      }
      print ""
    }
    # What one more download costs, start-up taken out: the slope between
    # neighbouring sizes.
    for (s = 2; s <= nn; s++) {
      printf "per download from N=%d to %d, us:", ns[s - 1], ns[s]
      for (o = 1; o <= np; o++) {
        slope[o] = (med[ns[s] SUBSEP order[o]] - med[ns[s - 1] SUBSEP order[o]]) / (ns[s] - ns[s - 1])
        printf "  %s %.1f", order[o], slope[o]
      }
      printf "  (Tallyweb.exe %.3f x floor.exe)\n", slope[2] / slope[1]
    }
    print ""
    exe = "Tallyweb.exe"
    if ((10000 SUBSEP exe) in med) {
      r = med[10000 SUBSEP exe] / med[10000 SUBSEP "floor.exe"]
      printf "%s Tallyweb.exe at most 1.10 x its floor at N=10000: %.3f\n", verdict(r <= 1.10), r
      r = med[10000 SUBSEP exe] / med[10000 SUBSEP "reg query"]
      printf "%s Tallyweb.exe faster than reg query at N=10000: %.3f of it\n", verdict(r < 1), r
    }
    if ((100000 SUBSEP "native") in med) {
      r = med[100000 SUBSEP "native"] / med[100000 SUBSEP "io floor"]
      printf "%s native at most 1.5 x its I/O floor at N=100000: %.3f\n", verdict(r <= 1.5), r
    }
    if ((100000 SUBSEP exe) in med && (10000 SUBSEP exe) in med)
      for (o = 2; o <= 4; o += 2) {
        r = med[100000 SUBSEP order[o]] / med[10000 SUBSEP order[o]]
        printf "%s %s linear in N, 10000 -> 100000 at most 10.5 x: %.2f\n", verdict(r <= 10.5), order[o], r
      }
    # Hand-edited hives: keys in any order, a key of 100 000 values.
    n = ns[nn]
    if ((n SUBSEP "native shuffled") in med) {
      r = med[n SUBSEP "native shuffled"] / med[n SUBSEP "native"]
      printf "%s native with keys shuffled at most 1.5 x in order at N=%d: %.3f\n", verdict(r <= 1.5), n, r
      d = (med[n SUBSEP "native values"] - med[n SUBSEP "native"]) / 1000
      printf "%s native reads 100 000 more values of one key in under 1 s at N=%d: %.0f ms\n", verdict(d < 1000), n, d
    }
    # Peak memory may grow with N only by twice the key names bytes (32 a key),
    # plus the template, plus 8 MiB.
    lo_n = ns[1]; hi_n = ns[nn]
    for (o = 2; o <= 4; o += 2) {
      grow = peak[hi_n SUBSEP order[o]] - peak[lo_n SUBSEP order[o]]
      budget = (2 * 32 * (hi_n - lo_n) + template_bytes + 8 * 1048576) / 1024
      printf "%s %s peak memory growth N=%d -> %d within %.0f KiB: %d KiB\n", verdict(grow <= budget),
             order[o], lo_n, hi_n, budget, grow
    }
  }' "$results"
echo "Raw figures (N, program, microseconds, peak KiB): $results"
