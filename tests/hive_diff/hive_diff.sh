#!/bin/bash
# Loads hive variants through Wine and through the native reader and
# compares what each gives for the download list: the keys, their order, the
# values with their types and bytes, and whether the list is found at all.
#
#   hive_diff.sh WIN_DUMP NATIVE_DUMP WORK_DIR [CASE.reg...]
#
# Each variant is a Wine prefix's own system.reg with a case's lines added at
# its end (or before its first key line), written while the prefix's wine
# server is stopped, so that Wine loads exactly those bytes. The cases are
# hand-written (cases/*.reg), one is generated (every UTF-16 unit as a key
# name: Wine's case folding and order), and with HIVE_DIFF_SECONDS set,
# random variants are made from the cases' lines for that long (a seed is
# printed to replay one).
set -u
win_dump=$1 native_dump=$2 work=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)
for f in "$win_dump" "$native_dump"; do
  [ -f "$f" ] || { echo "hive_diff: $f is missing (build the mingw and linux trees)" >&2; exit 1; }
done
[ $# -gt 0 ] || set -- "$here"/cases/*.reg
. "$here/../../scripts/lib.sh"
tw_wine_env "$work/$tw_prefix_folder"
mkdir -p "$work"
if [ ! -f "$work/base.reg" ]; then
  "$tw_wine64" wineboot -i >/dev/null 2>&1 </dev/null
  wineserver -w
  cp "$WINEPREFIX/system.reg" "$work/base.reg"
fi
failures=0
compared=0

# Compares one variant; its tail is the file $1, named $2. A case named
# *.head.reg goes before the prefix's first key line instead: the first key
# line is the one a loader might read differently.
compare() {
  local tail=$1 name=$2
  wineserver -k >/dev/null 2>&1
  wineserver -w
  case $name in
    *.head.reg)
      awk -v head="$tail" '/^\[/ && !done { while ((getline l < head) > 0) print l; done = 1 } 1' \
        "$work/base.reg" > "$WINEPREFIX/system.reg" ;;
    *) cat "$work/base.reg" "$tail" > "$WINEPREFIX/system.reg" ;;
  esac
  "$tw_wine64" "$win_dump" </dev/null 2>/dev/null | tr -d '\r' > "$work/wine.txt"
  "$native_dump" "$WINEPREFIX/system.reg" > "$work/native.txt"
  if ! grep -q '^list' "$work/wine.txt"; then
    echo "SKIP $name: Wine printed nothing"
  elif compared=$((compared + 1)); cmp -s "$work/wine.txt" "$work/native.txt"; then
    echo "same $name ($(grep -c '^key' "$work/wine.txt") downloads)"
  else
    echo "DIFFERS $name (< Wine, > native):"
    diff "$work/wine.txt" "$work/native.txt" | head -20
    cp "$tail" "$work/failed-$(basename "$name" .reg).reg"
    failures=$((failures + 1))
  fi
}

for case in "$@"; do compare "$case" "$(basename "$case")"; done

# Every UTF-16 unit but NUL and the backslash as a key name, lone surrogates
# included.
awk 'BEGIN { print ""; for (c = 1; c < 65536; c++) if (c != 92)
  printf "[Software\\\\Wow6432Node\\\\Tesmora\\\\Orvalink\\\\FileList\\\\c\\x%04x]\n", c }' \
  > "$work/units.reg"
compare "$work/units.reg" "every-unit"

# Random variants: lines of the cases, shuffled, some cut or doubled. A
# link's value is never cut: its first names lead to the registry's root,
# HKEY_LOCAL_MACHINE or Software\Wow6432Node, where Wine also shows the keys
# its server makes at start-up, which no hive file holds (links.reg has the
# cut targets that can be compared).
if [ "${HIVE_DIFF_SECONDS:-0}" -gt 0 ]; then
  end=$((SECONDS + HIVE_DIFF_SECONDS))
  seed=${HIVE_DIFF_SEED:-$RANDOM}
  while [ $SECONDS -lt $end ]; do
    cat "$here"/cases/*.reg | awk -v seed="$seed" 'BEGIN { srand(seed) }
      { line[NR] = $0 }
      END {
        print ""
        for (i = 0; i < 60; i++) {
          l = line[int(rand() * NR) + 1]
          r = rand()
          if (r < 0.1 && tolower(l) !~ /symboliclinkvalue/) l = substr(l, 1, int(rand() * length(l)))
          else if (r < 0.15) l = l l
          else if (r < 0.2) l = toupper(l)
          print l
        }
      }' > "$work/random.reg"
    compare "$work/random.reg" "random seed $seed"
    seed=$((seed + 1))
  done
fi
echo "$failures of $compared variant(s) differ"
[ "$compared" -gt 0 ] && [ "$failures" -eq 0 ]
