#!/bin/bash
# The demo: installs what is missing, builds Tallyweb.exe (mingw-w64) and the
# native Tallyweb, seeds the demo download list (demo/downloads.reg) into the
# project's own Wine prefix build/demo/wineprefix, and has each program write
# its report from that list:
#   build/demo/windows/Tallyweb.htm   by Tallyweb.exe under Wine
#   build/demo/linux/Tallyweb.htm     by the native build, from the same hive
# Open either in a browser. (Non-ASCII text differs between the two: the
# Windows build writes the ANSI code page, the native build UTF-8.)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/lib.sh
jobs=$JOBS
build=$TALLYWEB_BUILD_ROOT

scripts/install-deps.sh demo
cmake --preset mingw -B "$build/mingw" >/dev/null
cmake --build "$build/mingw" -j "$jobs" --target Tallyweb
cmake --preset linux -B "$build/linux" >/dev/null
cmake --build "$build/linux" -j "$jobs" --target Tallyweb

demo=$build/demo
scripts/demo-prefix.sh "$demo/wineprefix" demo/downloads.reg
windows=$(scripts/demo-report.sh "$demo/wineprefix" "$build/mingw/bin/Tallyweb.exe" "$demo/windows")
linux=$(scripts/demo-report.sh "$demo/wineprefix" "$build/linux/bin/Tallyweb" "$demo/linux")

echo
echo "The demo reports:"
echo "  Windows build (under Wine): $windows"
echo "  native build:               $linux"
