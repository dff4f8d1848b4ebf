#!/bin/sh
# The report page in a real browser, on reports the real program wrote.
#
# Usage: run.sh BUILD_DIR PROGRAM [WINDOWS_PROGRAM]
#   BUILD_DIR  a build tree; the work (node packages, a Wine prefix holding
#              the test lists, the reports) goes to BUILD_DIR/browser and the
#              screenshots to BUILD_DIR/artifacts/browser
#   PROGRAM    the native Tallyweb, which reads the list from the Wine
#              prefix named by WINEPREFIX
#   WINDOWS_PROGRAM  Tallyweb.exe, run under Wine on a list in many scripts,
#              whose report is in code page 1252; left out only when not
#              given (named but missing fails)
#
# Installs what is missing: Debian's chromium (never a browser download),
# node and npm, and the pinned npm packages (npm ci).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$root/scripts/lib.sh"
. "$root/cmake/wine-loader.sh"

windows_program=${3:-}
# Named but missing is a build that is not there, not a part to leave out:
# the page's checks of the Windows report would be skipped without a word.
if [ -n "$windows_program" ] && [ ! -f "$windows_program" ]; then
  echo "no Windows program at $windows_program: build the mingw tree first" >&2
  exit 1
fi
mkdir -p "$1"
build=$(cd "$1" && pwd)
program=$2
work=$build/browser
artifacts=$build/artifacts/browser
reports=$work/reports
log=$work/wine.log
list_key='HKLM\Software\Tesmora\Orvalink\FileList'

install_missing() {
  missing=
  [ -x /usr/bin/chromium ] || missing="$missing chromium"
  command -v node >/dev/null 2>&1 || missing="$missing nodejs"
  command -v npm >/dev/null 2>&1 || missing="$missing npm"
  [ -x "$tw_wine64" ] || missing="$missing wine wine64"
  # To read the text of a printed page.
  command -v pdftotext >/dev/null 2>&1 || missing="$missing poppler-utils"
  if [ -n "$missing" ]; then
    echo "installing:$missing"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $missing
  fi
  # The packages live in the build tree, so two trees never share (or race
  # on) one node_modules; a changed lock file installs afresh.
  mkdir -p "$work/npm"
  if ! cmp -s "$here/package-lock.json" "$work/npm/package-lock.json" ||
     [ ! -d "$work/npm/node_modules" ]; then
    cp "$here/package.json" "$here/package-lock.json" "$work/npm/"
    (cd "$work/npm" && npm ci --no-audit --no-fund --loglevel=error)
  fi
}

# Wine commands run with their output in a log: anything they leave running
# (the wine server) must not hold CTest's pipes.
wine_quiet() {
  "$@" </dev/null >>"$log" 2>&1
}

# Puts the download list of each .reg file given (none: an empty list key)
# into the prefix's 32-bit view, where the 32-bit download manager keeps it.
seed_list() {
  tw_wine_env "$work/wineprefix"
  [ -f "$WINEPREFIX/system.reg" ] || wine_quiet "$tw_wine64" wineboot -i
  wine_quiet "$tw_wine64" reg delete "$list_key" /f /reg:32 || true
  wine_quiet "$tw_wine64" reg add "$list_key" /f /reg:32
  for reg in "$@"; do
    case $reg in
      # A version 5 file kept in UTF-8 in the tree; reg reads it in UTF-16.
      *scripts.reg|*spoofs.reg)
        utf16=$work/$(basename "$reg")
        { printf '\377\376'; iconv -f UTF-8 -t UTF-16LE "$reg"; } >"$utf16"
        wine_quiet "$tw_wine64" reg import "$utf16" /reg:32 ;;
      *) wine_quiet "$tw_wine64" reg import "$reg" /reg:32 ;;
    esac
  done
  # The native program reads the hive file, which the server writes on exit.
  wine_quiet wineserver -w
  unset WINEPREFIX
}

# Runs the program from a folder of its own, with the template of this tree,
# and keeps its report as reports/NAME.htm. A no-op xdg-open stands in for
# the desktop, so no browser is launched.
write_report() {
  name=$1
  prefix=$2
  dir=$work/run/$name
  rm -rf "$dir"
  mkdir -p "$dir" "$reports"
  cp "$program" "$dir/"
  cp "$root/src/app/template.txt" "$dir/template.txt"
  status=0
  (cd "$dir" && WINEPREFIX="$prefix" PATH="$work/bin:$PATH" "./$(basename "$program")") ||
    status=$?
  if [ "$status" -ne 0 ] || [ ! -f "$dir/Tallyweb.htm" ]; then
    echo "the program failed on the $name list (exit $status)" >&2
    exit 1
  fi
  cp "$dir/Tallyweb.htm" "$reports/$name.htm"
}

install_missing
rm -rf "$reports" "$artifacts"
mkdir -p "$work/bin" "$work/no-list" "$artifacts"
: >"$log"
tw_no_browser "$work/bin"

seed_list "$here/downloads.reg"
# The fixture's downloads lie in C:\Downloads, a folder the page links to.
mkdir -p "$work/wineprefix/drive_c/Downloads/notes"
write_report fixture "$work/wineprefix"
# The hostile list aims at a logging server that the test starts on a free
# port of 127.0.0.1, which takes the place of 8765 in its values.
hostile_port=$(node -e 'const s = require("net").createServer();
  s.listen(0, "127.0.0.1", () => { console.log(s.address().port); s.close(); });')
sed "s/127\.0\.0\.1:8765/127.0.0.1:$hostile_port/g" "$here/hostile.reg" >"$work/hostile.reg"
seed_list "$work/hostile.reg"
write_report hostile "$work/wineprefix"
seed_list "$here/spoofs.reg"
write_report spoofs "$work/wineprefix"
if [ -f "$root/demo/downloads.reg" ]; then
  seed_list "$root/demo/downloads.reg"
  write_report demo "$work/wineprefix"
  cp "$root/demo/downloads.reg" "$reports/demo.reg"
fi
if [ -n "$windows_program" ]; then
  seed_list "$here/scripts.reg"
  dir=$work/run/scripts
  rm -rf "$dir"
  mkdir -p "$dir"
  cp "$windows_program" "$root/src/app/template.txt" "$dir/"
  # The shell's open request ends at the no-op xdg-open.
  (cd "$dir" && PATH="$work/bin:$PATH" tw_wine "$work/wineprefix" \
     "$(wine_loader "$dir/Tallyweb.exe")" "$dir/Tallyweb.exe" </dev/null >>"$log" 2>&1) ||
    { echo "Tallyweb.exe failed on the scripts list" >&2; exit 1; }
  cp "$dir/Tallyweb.htm" "$reports/scripts.htm"
  WINEPREFIX="$work/wineprefix" wineserver -w
fi
# 10 000 generated downloads, written straight as a hive: importing them
# through Wine would take minutes.
mkdir -p "$work/large"
perl "$root/bench/make_list.pl" --hive 10000 >"$work/large/system.reg"
write_report large "$work/large"
# Lists of a screen's worth and of more than one body of rows.
for n in 12 250; do
  mkdir -p "$work/list-$n"
  perl "$root/bench/make_list.pl" --hive $n >"$work/list-$n/system.reg"
  write_report list-$n "$work/list-$n"
done
seed_list
write_report empty "$work/wineprefix"
# A prefix without a registry: the list is not found.
write_report not-found "$work/no-list"

cd "$here"
DRIVE_C=$(cd "$work/wineprefix/drive_c" && pwd -P)
NODE_PATH="$work/npm/node_modules" REPORTS="$reports" ARTIFACTS="$artifacts" DRIVE_C="$DRIVE_C" \
  TEMPLATE="$root/src/app/template.txt" \
  HOSTILE_REG="$work/hostile.reg" HOSTILE_PORT="$hostile_port" \
  node --test --test-reporter=tap "$here/page.test.js"
