# What the scripts share, in one place. Sourced, never run:
#   . "$root/scripts/lib.sh"
# POSIX sh, so that sh scripts can source it too. Sets and exports
#   TALLYWEB_BUILD_ROOT  where the build trees are: the presets' own folders
#                        below build/, or below this when it is set (so that
#                        a second person or a second run can build and test
#                        without touching the first one's trees)
#   JOBS                 parallel jobs for builds and CTest (default: nproc)
# (sh knows no BASH_SOURCE: there the root is found from the sourcing script,
# as the nearest folder above it that holds scripts/lib.sh; tests/browser's
# script sits two folders down, most others one.)
tw_root=$(cd "$(dirname -- "${BASH_SOURCE:-$0}")" && pwd)
while [ ! -f "$tw_root/scripts/lib.sh" ] && [ "$tw_root" != / ]; do
  tw_root=$(dirname "$tw_root")
done
export TALLYWEB_BUILD_ROOT="${TALLYWEB_BUILD_ROOT:-$tw_root/build}"
export JOBS="${JOBS:-$(nproc)}"

# The Wine settings (loaders, WINEDEBUG, DLL overrides) are kept in one
# place for scripts, CMake and the e2e harness alike: tw_wine64, tw_wine32,
# tw_winedebug, tw_dll_overrides come from there.
. "$tw_root/cmake/wine-env.sh"

# tw_32bit: whether this machine runs 32-bit programs, found out once and
# passed on to every script started from here through the environment:
#   TALLYWEB_32BIT      yes or no
#   TALLYWEB_32BIT_WHY  with no, why, in words for the test summary
# TALLYWEB_NO_32BIT=1 pretends the machine cannot, so that both paths can be
# tried on either kind. Returns 0 for yes.
tw_32bit() {
  if [ -z "${TALLYWEB_32BIT:-}" ]; then
    if [ -n "${TALLYWEB_NO_32BIT:-}" ] && [ "$TALLYWEB_NO_32BIT" != 0 ]; then
      TALLYWEB_32BIT=no
      TALLYWEB_32BIT_WHY="TALLYWEB_NO_32BIT is set"
    elif tw_probe_32bit; then
      TALLYWEB_32BIT=yes
      TALLYWEB_32BIT_WHY=
    else
      TALLYWEB_32BIT=no
      TALLYWEB_32BIT_WHY="this machine cannot run 32-bit programs (no 32-bit support in the kernel)"
    fi
    export TALLYWEB_32BIT TALLYWEB_32BIT_WHY
  fi
  [ "$TALLYWEB_32BIT" = yes ]
}

# tw_wine32: whether Wine's 32-bit loader runs here, for the stages that run
# the 32-bit Windows program; where not, TALLYWEB_WINE32_WHY says why.
tw_wine32() {
  if ! tw_32bit; then
    TALLYWEB_WINE32_WHY=$TALLYWEB_32BIT_WHY
  elif ! "$tw_wine32" --version >/dev/null 2>&1; then
    TALLYWEB_WINE32_WHY="Wine's 32-bit loader is not installed (wine32:i386; scripts/install-deps.sh says why)"
  else
    TALLYWEB_WINE32_WHY=
    return 0
  fi
  return 1
}

# tw_probe_32bit: runs the smallest 32-bit x86 Linux program there is (96
# bytes: an ELF header, one segment, and `exit(42)` through int 0x80, so it
# needs no library) and sees whether the kernel starts it. It is written
# where the builds go, not to /tmp, which may be mounted noexec.
tw_probe_32bit() {
  _tw_probe_dir=$TALLYWEB_BUILD_ROOT/.probe
  mkdir -p "$_tw_probe_dir" || return 1
  _tw_probe=$_tw_probe_dir/exit42-i386
  # ELF header: 32-bit, little-endian, executable, i386, entry 0x08048054,
  # program headers at 52, one of them.
  printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000' >"$_tw_probe"
  printf '\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000' >>"$_tw_probe"
  printf '\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000' >>"$_tw_probe"
  # The one segment: the whole 96-byte file, read and run, at 0x08048000.
  printf '\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010' >>"$_tw_probe"
  printf '\000\200\004\010\140\000\000\000\140\000\000\000\005\000\000\000' >>"$_tw_probe"
  # mov eax, 1 (exit); mov ebx, 42; int 0x80
  printf '\000\020\000\000\270\001\000\000\000\273\052\000\000\000\315\200' >>"$_tw_probe"
  chmod +x "$_tw_probe"
  "$_tw_probe" 2>/dev/null
  [ $? -eq 42 ]
}

# tw_wine_env PREFIX: this shell's Wine is the prefix PREFIX, with the
# project's Wine settings (cmake/wine-env.sh).
tw_wine_env() {
  export WINEPREFIX="$1" WINEDEBUG="$tw_winedebug" WINEDLLOVERRIDES="$tw_dll_overrides"
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
