#!/bin/sh
# Runs a Windows program under Wine, with the project's Wine settings
# (cmake/wine-env.sh), and passes its exit code on. CTest starts the Windows
# tree's test programs through it.
#
# The prefix is the one TALLYWEB_WINEPREFIX names: CTest sets it to the build
# tree's own (cmake/TallywebTests.cmake). Without it this stops, rather than
# fall back to Wine's default, the user's own ~/.wine, or to a WINEPREFIX
# left in the caller's shell.
#
# Wine may start its system processes (services.exe and the like) from this
# program, and they inherit its standard output and error and outlive it. Had
# they CTest's pipes, CTest would wait for them forever; so the program writes
# to files here, which are then copied out.
here=$(dirname "$0")
. "$here/wine-env.sh"
. "$here/wine-loader.sh"
if [ -z "${TALLYWEB_WINEPREFIX:-}" ]; then
  echo "wine-run.sh: TALLYWEB_WINEPREFIX names no Wine prefix. Run the Windows" \
    "tests through ctest, which sets it to the build tree's $tw_prefix_folder," \
    "or set it yourself; the user's own prefix is never used." >&2
  exit 2
fi
WINEPREFIX=$TALLYWEB_WINEPREFIX
# A WINEDEBUG of the caller's own wins, for looking into a failure.
: "${WINEDEBUG:=$tw_winedebug}"
WINEDLLOVERRIDES=$tw_dll_overrides
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
"$(wine_loader "$1")" "$@" >"$out" 2>"$err"
rc=$?
cat "$out"
cat "$err" >&2
exit $rc
