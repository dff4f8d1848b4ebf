#!/bin/bash
# Peak memory of the native program on large inputs, against the budget of
# twice the input plus 16 MiB: templates of many blank lines, and one
# download whose description is 20 MiB. Needs no Wine: the download list is a
# hive written here. Prints one row per case and a verdict for each.
#
#   bench/memory.sh [--native PATH]
#
# Needs: the linux build (cmake --build --preset linux), GNU time
# (/usr/bin/time), perl. Works in build/bench-memory/.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
native=$root/build/linux/bin/Tallyweb
while [ $# -gt 0 ]; do
  case $1 in
    --native) native=$2; shift ;;
    *) echo "usage: $0 [--native PATH]" >&2; exit 2 ;;
  esac
  shift
done
[ -x "$native" ] || { echo "bench: $native is missing; build the linux preset first" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "bench: GNU time (/usr/bin/time) is missing" >&2; exit 1; }

work=$root/build/bench-memory
rm -rf "$work"
mkdir -p "$work/stub" "$work/small" "$work/large" "$work/templates"
# The native build opens its report with xdg-open: here a stub that does nothing.
printf '#!/bin/sh\nexit 0\n' >"$work/stub/xdg-open" && chmod +x "$work/stub/xdg-open"

# A hive of one download; its description is DESCRIPTION_BYTES plain letters.
hive() {  # hive FOLDER DESCRIPTION_BYTES
  perl -e '
    my $key = "Software\\\\Wow6432Node\\\\Tesmora\\\\Orvalink\\\\FileList";
    print "WINE REGISTRY Version 2\n#arch=win64\n\n[$key] 0\n\n[$key\\\\0001] 0\n";
    print "\"Item_MainURL\"=\"http://h/x.zip\"\n\"Item_OutputFilename\"=\"C:\\\\D\\\\x.zip\"\n";
    print "\"Item_Size\"=dword:00000010\n\"Item_Description\"=\"";
    print "abcdefghij" x ($ARGV[0] / 10), "\"\n\n"' "$2" >"$1/system.reg"
}
hive "$work/small" 10
hive "$work/large" $((20 * 1048576))
perl -e 'print "\n" x 10000000' >"$work/templates/lf10m.txt"
perl -e 'print "\r\n" x 10000000' >"$work/templates/crlf10m.txt"
perl -e 'print "\n" x (50 * 1048576)' >"$work/templates/lf50m.txt"
cp "$root/src/app/template.txt" "$work/templates/default.txt"

printf '%-34s %10s %10s %10s  %s\n' "case" "input MiB" "peak MiB" "budget MiB" "verdict"
row() {  # row LABEL PREFIX TEMPLATE INPUT_BYTES
  local label=$1 prefix=$2 template=$3 input=$4 run
  run=$work/run
  rm -rf "$run" && mkdir "$run"
  cp "$native" "$run/Tallyweb"
  cp "$template" "$run/template.txt"
  env PATH="$work/stub:$PATH" WINEPREFIX="$prefix" /usr/bin/time -f '%x %M' -o "$run/time" \
    "$run/Tallyweb" </dev/null >/dev/null 2>"$run/stderr" || true
  local code kib
  read -r code kib <"$run/time"
  [ "$code" = 0 ] || { echo "bench: $label exited $code: $(cat "$run/stderr")" >&2; exit 1; }
  awk -v l="$label" -v bytes="$input" -v kib="$kib" 'BEGIN {
    budget = 2 * bytes / 1048576 + 16; peak = kib / 1024
    printf "%-34s %10.1f %10.1f %10.1f  %s\n", l, bytes / 1048576, peak, budget,
           peak <= budget ? "met" : "MISSED" }'
}
for t in lf10m crlf10m lf50m; do
  row "template $t blank lines" "$work/small" "$work/templates/$t.txt" \
    "$(stat -c %s "$work/templates/$t.txt")"
done
# The input counted is the description; the hive that holds it is as large
# again and is read by the registry reader.
row "description 20 MiB (hive $(($(stat -c %s "$work/large/system.reg") / 1048576)) MiB)" \
  "$work/large" "$work/templates/default.txt" $((20 * 1048576))
