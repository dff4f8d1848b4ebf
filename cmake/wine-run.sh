#!/bin/sh
# Runs a Windows program under Wine, in the build's own prefix unless the
# caller names one, and passes its exit code on.
#
# Wine may start its system processes (services.exe and the like) from this
# program, and they inherit its standard output and error and outlive it. Had
# they CTest's pipes, CTest would wait for them forever; so the program writes
# to files here, which are then copied out.
: "${WINEPREFIX:=${TALLYWEB_WINEPREFIX:-$HOME/.wine}}"
: "${WINEDEBUG:=-all}"
export WINEPREFIX WINEDEBUG
. "$(dirname "$0")/wine-loader.sh"
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
"$(wine_loader "$1")" "$@" >"$out" 2>"$err"
rc=$?
cat "$out"
cat "$err" >&2
exit $rc
