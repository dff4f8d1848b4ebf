#!/bin/bash
# Times the native build alone on a hive of N downloads written straight in
# Wine's hive format (no Wine needed, unlike run.sh), its keys in the order
# Wine writes them and shuffled, R times each, alternating, pinned to one CPU.
# Prints elapsed and CPU seconds and peak memory, and the shuffled/sorted
# ratio of the medians.
#
#   bench/native_order.sh [N] [R] [NATIVE]    defaults: 100000 5 build/linux/bin/Tallyweb
# (build/ being TALLYWEB_BUILD_ROOT when that is set)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib.sh"
n=${1:-100000}
runs=${2:-5}
native=${3:-$TALLYWEB_BUILD_ROOT/linux/bin/Tallyweb}
work=$TALLYWEB_BUILD_ROOT/bench-native
mkdir -p "$work/sorted" "$work/shuffled" "$work/prog"
cp "$native" "$work/prog/Tallyweb"
cp "$root/src/app/template.txt" "$work/prog/"
tw_no_browser "$work/stub"

# The download list of make_list.pl, as the wine server saves it: in the
# 32-bit view of a 64-bit prefix, keys sorted, after 20 000 other keys.
perl "$root/bench/make_list.pl" "$n" | perl -e '
  my (%keys, $id);
  while (<>) {
    if (/^\[.*\\FileList\\(\w+)\]/) { $id = $1; $keys{$id} = "[Software\\\\Wow6432Node\\\\Tesmora\\\\Orvalink\\\\FileList\\\\$id] 1796744833\n#time=1dd872b64f7702e\n"; next }
    next unless defined $id && /^"/;
    $keys{$id} .= $_;
  }
  print "WINE REGISTRY Version 2\n;; All keys relative to \\\\Machine\n\n#arch=win64\n\n";
  printf "[Software\\\\Classes\\\\.ext%05d] 1796744833\n\@=\"file%05d\"\n\n", $_, $_ for 1 .. 20000;
  print map { "$keys{$_}\n" } sort keys %keys;' >"$work/sorted/system.reg"
# The same shuffle as run.sh.
perl -e 'srand(1); local $/ = ""; my (@head, @keys);
  while (<>) { if (/^\[/ && @keys + @head) { push @keys, $_ } elsif (@keys) { push @keys, $_ } else { push @head, $_ } }
  for (my $i = @keys; --$i;) { my $j = int rand($i + 1); @keys[$i, $j] = @keys[$j, $i] }
  print @head, map { /\n\n$/ ? $_ : "$_\n" } @keys' "$work/sorted/system.reg" >"$work/shuffled/system.reg"

: >"$work/times.txt"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
for r in $(seq "$runs"); do
  for order in sorted shuffled; do
    /usr/bin/time -a -o "$work/times.txt" -f "$order %e %U %S %M" \
      env PATH="$work/stub:$PATH" WINEPREFIX="$work/$order" taskset -c 0 "$work/prog/Tallyweb" >/dev/null
    cp "$work/prog/Tallyweb.htm" "$work/$order.htm"
  done
done
echo "load after:  $(cut -d' ' -f1-3 /proc/loadavg)"
cmp -s "$work/sorted.htm" "$work/shuffled.htm" && echo "reports identical" || echo "reports DIFFER"
awk -v n="$n" '
  function median(list,   a, c, i, j, v) {
    c = split(list, a, " ")
    for (i = 2; i <= c; i++) { v = a[i]; for (j = i - 1; j > 0 && a[j] > v; j--) a[j + 1] = a[j]; a[j + 1] = v }
    return c % 2 ? a[(c + 1) / 2] : (a[c / 2] + a[c / 2 + 1]) / 2
  }
  { e[$1] = e[$1] " " $2; c[$1] = c[$1] " " ($3 + $4); if ($5 > m[$1]) m[$1] = $5 }
  END {
    for (o = 1; o <= 2; o++) {
      k = o == 1 ? "sorted" : "shuffled"
      printf "N=%d %-8s elapsed s:%s  cpu s:%s  peak %d KiB\n", n, k, e[k], c[k], m[k]
    }
    printf "shuffled / sorted, medians: elapsed %.2f, cpu %.2f\n",
      median(e["shuffled"]) / median(e["sorted"]), median(c["shuffled"]) / median(c["sorted"])
  }' "$work/times.txt"
