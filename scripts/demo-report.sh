#!/bin/bash
# Writes one report with a built program, on the download list of a prefix
# seeded by scripts/demo-prefix.sh.
#
#   scripts/demo-report.sh PREFIX PROGRAM OUTDIR
#
# PROGRAM is a built Tallyweb.exe (run under Wine) or the native Tallyweb
# (which reads PREFIX's system.reg). It is copied into OUTDIR with the
# template.txt that stands beside it, run there, and leaves
# OUTDIR/Tallyweb.htm. Nothing opens the report: the prefix has no .htm
# handler and the native build finds an xdg-open that does nothing. Prints
# the report's path; exits with the program's exit code.
set -euo pipefail
[[ $# -eq 3 ]] || { echo "usage: $0 PREFIX PROGRAM OUTDIR" >&2; exit 2; }
prefix=$(realpath "$1")
program=$(realpath "$2")
outdir=$(realpath -m "$3")

mkdir -p "$outdir"
rm -f "$outdir/Tallyweb.htm"
cp "$program" "$(dirname "$program")/template.txt" "$outdir/"

. "$(dirname "$0")/lib.sh"
. "$tw_root/cmake/wine-loader.sh"
status=0
if [[ $program == *.exe ]]; then
  tw_wine "$prefix" "$(wine_loader "$program")" "$outdir/$(basename "$program")" </dev/null >/dev/null 2>&1 || status=$?
  # The report run has ended; let the prefix's server go so that it writes
  # its registry and leaves nothing running behind the demo.
  WINEPREFIX=$prefix wineserver -w || true
else
  noop=$outdir/.no-browser
  tw_no_browser "$noop"
  WINEPREFIX=$prefix PATH="$noop:$PATH" "$outdir/$(basename "$program")" \
    </dev/null || status=$?
fi
echo "$outdir/Tallyweb.htm"
exit $status
