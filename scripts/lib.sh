# What the scripts share, in one place. Sourced, never run:
#   . "$root/scripts/lib.sh"
# POSIX sh, so that sh scripts can source it too. Sets and exports
#   TALLYWEB_BUILD_ROOT  where the build trees are: the presets' own folders
#                        below build/, or below this when it is set (so that
#                        a second person or a second run can build and test
#                        without touching the first one's trees)
#   JOBS                 parallel jobs for builds and CTest (default: nproc)
# (sh knows no BASH_SOURCE: there it is found from the sourcing script,
# which sits one folder below the root like every script here.)
tw_root=$(cd "$(dirname -- "${BASH_SOURCE:-$0}")/.." && pwd)
export TALLYWEB_BUILD_ROOT="${TALLYWEB_BUILD_ROOT:-$tw_root/build}"
export JOBS="${JOBS:-$(nproc)}"

# Keeps Wine from offering its Mono and Gecko installers (dialogs nobody
# answers) and from touching the desktop's menus and file associations.
tw_dll_overrides="mscoree,mshtml=;winemenubuilder.exe=d"

# tw_wine_env PREFIX: this shell's Wine is the prefix PREFIX, quiet, with
# the overrides above.
tw_wine_env() {
  export WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="$tw_dll_overrides"
}

# tw_wine PREFIX COMMAND...: runs one command with that Wine environment,
# leaving this shell's as it was.
tw_wine() {
  (tw_wine_env "$1" && shift && "$@")
}

# tw_no_browser DIR: puts an xdg-open that does nothing into DIR, for the
# native build to find first on PATH: nothing opens a browser.
tw_no_browser() {
  mkdir -p "$1"
  printf '#!/bin/sh\nexit 0\n' >"$1/xdg-open"
  chmod +x "$1/xdg-open"
}

# tw_ctest PRESET [ARGS...]: CTest on the tree of PRESET below
# TALLYWEB_BUILD_ROOT, with the options and environment of the test preset
# of that name, and JOBS jobs. A test preset always looks in the tree its
# configure preset names, ${sourceDir}/build/<preset>, whatever the command
# line says; for trees elsewhere it is read through a presets file in the
# build root that includes ours, with a link named build that points back at
# the build root.
tw_ctest() {
  tw_preset=$1
  shift
  if [ "$TALLYWEB_BUILD_ROOT" = "$tw_root/build" ]; then
    (cd "$tw_root" && ctest --preset "$tw_preset" -j "$JOBS" "$@")
  else
    tw_presets=$TALLYWEB_BUILD_ROOT/.presets
    mkdir -p "$tw_presets"
    ln -sfn .. "$tw_presets/build"
    printf '{"version": 4, "include": ["%s/CMakePresets.json"]}\n' "$tw_root" \
      >"$tw_presets/CMakePresets.json"
    (cd "$tw_presets" && ctest --preset "$tw_preset" -j "$JOBS" "$@")
  fi
}

# The fuzz targets, as fuzz/CMakeLists.txt lists them.
tw_fuzz_targets() {
  sed -n 's/^set(TALLYWEB_FUZZ_TARGETS \(.*\))$/\1/p' "$tw_root/fuzz/CMakeLists.txt"
}
