#!/bin/bash
# The native program beside a live wine server on the same prefix. Stopped
# while it has the hive open (Ctrl-Z, a debugger, a slow disk), it must not
# hold back the server, whose one thread serves every Wine program of the
# prefix: the server saves a changed registry, and a `reg query` on the prefix
# answers, each within 2 s. Let go, the program ends its run as usual, with
# every download of the file it opened.
#
#   wine_neighbour_test.sh PATH/TO/Tallyweb WORK_DIR
set -u
program=$1 work=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
. "$(dirname "$0")/../scripts/lib.sh"
wine=$tw_wine64
tw_wine_env "$work/prefix"
mkdir -p "$work"
if [ ! -f "$work/base.reg" ]; then
  $wine wineboot -i >/dev/null 2>&1 </dev/null
  wineserver -w
  cp "$WINEPREFIX/system.reg" "$work/base.reg" || fail "no prefix made"
fi
wineserver -k >/dev/null 2>&1
wineserver -w

# 30 000 downloads, written while no server runs: a native run of some
# tenths of a second, time enough to stop it with the hive open, and a hive
# a new server loads well within the time allowed.
n=30000
{
  cat "$work/base.reg"
  awk -v n=$n 'BEGIN { for (i = 0; i < n; i++)
    printf "\n[Software\\\\Wow6432Node\\\\Tesmora\\\\Orvalink\\\\FileList\\\\%07d] 1700000000\n" \
           "\"Item_Size\"=dword:1\n", i }'
} >"$WINEPREFIX/system.reg"
wineserver -p
$wine reg add 'HKLM\Software\TallywebNeighbour' /v probe /d changed /f >/dev/null 2>&1 ||
  fail "reg add failed"

run=$work/run
rm -rf "$run"
mkdir -p "$run/bin"
cp "$program" "$run/Tallyweb"
printf '{\r\n&Name\r\n}\r\n' >"$run/template.txt"
printf '#!/bin/sh\nexit 0\n' >"$run/bin/xdg-open"
chmod +x "$run/bin/xdg-open"
(cd "$run" && PATH="$run/bin:$PATH" exec ./Tallyweb >"$run/out.txt" 2>&1) &
pid=$!
trap 'kill -CONT $pid 2>/dev/null; wineserver -k >/dev/null 2>&1' EXIT
holds_hive() { ls -l "/proc/$pid/fd" 2>/dev/null | grep -q 'system\.reg'; }
for _ in $(seq 5000); do
  holds_hive && break
done
kill -STOP $pid
holds_hive || fail "the program did not open the hive, or ended before it was stopped"

ms() { echo $(($(date +%s%N) / 1000000)); }
start=$(ms)
timeout 60 wineserver -k
timeout 60 wineserver -w
saved=$(($(ms) - start))
cp "$WINEPREFIX/system.reg" "$work/saved.reg"
start=$(ms)
answer=$(timeout 60 $wine reg query 'HKLM\Software\TallywebNeighbour' /v probe 2>/dev/null)
queried=$(($(ms) - start))
echo "save ${saved} ms, reg query ${queried} ms, with the native program stopped holding the hive"
grep -q 'TallywebNeighbour' "$work/saved.reg" || fail "the server did not save the change"
[[ $answer == *changed* ]] || fail "reg query answered: $answer"
[ $saved -le 2000 ] || fail "the save took ${saved} ms"
[ $queried -le 2000 ] || fail "reg query took ${queried} ms"

# The server wrote a new file over the old one's name: the program still
# reads the one it opened, whole.
kill -CONT $pid
wait $pid
code=$?
trap - EXIT
wineserver -k >/dev/null 2>&1
[ $code = 0 ] || fail "the program exited $code: $(cat "$run/out.txt")"
rows=$(grep -c . "$run/Tallyweb.htm")
[ "$rows" = $n ] || fail "the report has $rows downloads, not $n"
echo "PASS"
