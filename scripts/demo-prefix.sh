#!/bin/bash
# Seeds a Wine prefix of the project's own with a download list, for the demo
# and for any test that wants reports written from it.
#
#   scripts/demo-prefix.sh PREFIX [REGFILE...]
#
# Makes PREFIX when it is missing, replaces its download list (the 32-bit
# view of HKEY_LOCAL_MACHINE) with the .reg files given (default: the demo
# list), removes the .htm file association so that the report is never
# handed to a browser, and stops the prefix's wine server so that its
# system.reg, which the native build reads, is current. Never touches ~/.wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[[ $# -ge 1 ]] || { echo "usage: $0 PREFIX [REGFILE...]" >&2; exit 2; }
prefix=$(realpath -m "$1")
shift
regfiles=("$@")
[[ ${#regfiles[@]} -gt 0 ]] || regfiles=("$root/demo/downloads.reg")

. "$root/scripts/lib.sh"
tw_wine_env "$prefix"
mkdir -p "$(dirname "$prefix")"

# Wine's helper processes outlive these commands; keep them off our output.
quiet() { "$@" </dev/null >/dev/null 2>&1; }

# Wine names a Unix path on its Z: drive.
winpath() { echo "Z:$(realpath "$1" | tr / '\\')"; }

if [[ ! -f $prefix/system.reg ]]; then
  echo "demo-prefix: making the Wine prefix $prefix (takes a few seconds)"
fi
quiet "$tw_wine64" wineboot -i
quiet "$tw_wine64" reg delete 'HKLM\Software\Tesmora' /f /reg:32 || true
for regfile in "${regfiles[@]}"; do
  "$tw_wine64" reg import "$(winpath "$regfile")" /reg:32 </dev/null >/dev/null
done
quiet "$tw_wine64" reg delete 'HKCR\.htm' /f || true
wineserver -k </dev/null >/dev/null 2>&1 || true
wineserver -w
echo "demo-prefix: $prefix holds the download list of ${regfiles[*]}"
