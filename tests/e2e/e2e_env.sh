#!/bin/sh
# The end-to-end tests' surroundings, as a CTest fixture.
# up WORK PREFIX: starts Xvfb on a free display (its number goes to
#   WORK/display; several builds may run at once, so no display number is
#   assumed) and the test prefix PREFIX (tests/e2e/CMakeLists.txt names it)
#   with a persistent wine server on that display.
# down WORK PREFIX: stops the wine server (which writes the registry to disk)
#   and Xvfb.
# Nothing left running may hold CTest's pipes, or CTest waits for it forever.
set -eu
action=$1
work=$2
prefix=$3
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$work"

stop_xvfb() {
  if [ -f "$work/xvfb.pid" ]; then
    pid=$(cat "$work/xvfb.pid")
    # Only the Xvfb this script started: the pid may have been reused since.
    if [ "$(cat /proc/"$pid"/comm 2>/dev/null || true)" = Xvfb ]; then
      kill "$pid" 2>/dev/null || true
    fi
    rm -f "$work/xvfb.pid"
  fi
}

case $action in
  up)
    stop_xvfb
    # A server left from an earlier run would keep its desktop on a display
    # that is gone.
    WINEPREFIX=$prefix wineserver -k </dev/null >/dev/null 2>&1 || true
    rm -f "$work/display"
    # -noreset: by default the server starts over whenever its last client
    # leaves, which here is between most runs, and a program connecting in
    # that moment is refused: it then shows no box at all.
    Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1280x1024x24 \
      3>"$work/display" </dev/null >"$work/xvfb.log" 2>&1 &
    echo $! >"$work/xvfb.pid"
    tries=0
    until [ -s "$work/display" ]; do
      tries=$((tries + 1))
      if [ $tries -gt 100 ]; then
        echo "Xvfb did not start; its log:" >&2
        cat "$work/xvfb.log" >&2
        exit 1
      fi
      sleep 0.1
    done
    DISPLAY=:$(tr -d '\n' <"$work/display")
    export DISPLAY
    "$here/../wine_prefix.sh" up "$prefix"
    echo "Xvfb on $DISPLAY, Wine prefix $prefix"
    ;;
  down)
    "$here/../wine_prefix.sh" down "$prefix"
    stop_xvfb
    ;;
  *)
    echo "usage: $0 up|down WORKDIR PREFIX" >&2
    exit 2
    ;;
esac
