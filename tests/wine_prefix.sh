#!/bin/sh
# up PREFIX: makes the Wine prefix if needed, and keeps a wine server and
# Wine's system processes running for the whole test run. A DISPLAY in the
# environment becomes the display of the prefix's desktop.
# down PREFIX: stops them, which also writes the registry to disk.
set -eu
action=$1
. "$(dirname "$0")/../scripts/lib.sh"
tw_wine_env "$2"
# Nothing started here may hold CTest's pipes, or CTest waits for it forever.
case $action in
  up)
    wineserver -p </dev/null >/dev/null 2>&1 || true
    # Creates the prefix when it is missing, and starts the system processes
    # now, with no pipe of CTest's, so the tests find them running.
    "$tw_wine64" wineboot -i </dev/null >/dev/null 2>&1
    ;;
  down)
    wineserver -k </dev/null >/dev/null 2>&1 || true
    ;;
esac
