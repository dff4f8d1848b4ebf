#!/bin/bash
# Installs the Debian packages that one of the project's commands needs, and
# only those that are missing: on a machine that has them all it changes
# nothing and does not touch the network. Runs as root (or through sudo).
#
#   scripts/install-deps.sh demo   the demo: the 64-bit Windows build and the
#                                  native one, Wine to run the former
#   scripts/install-deps.sh release  the release archives: also the 32-bit
#                                  Windows build and zip
#   scripts/install-deps.sh test   every test: the release's, and Wine's
#                                  32-bit loader where this machine runs
#                                  32-bit programs, Xvfb, the fuzzers, Chromium
#   scripts/install-deps.sh PROFILE PACKAGE...   and these packages too
#
# A package list that cannot be fetched (a mirror in the middle of a sync)
# does not stop it: `apt-get update` is tried a few times, then the packages
# are installed from the lists that did arrive. It fails only when a needed
# package cannot be installed, and then says which and why, one line each.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib.sh"

profile=${1:-test}
shift $(($# > 0))
# A script started by one that has already installed as much (scripts/test.sh
# runs scripts/release.sh) asks no package list again.
case " ${TALLYWEB_DEPS_DONE:-} " in
  *" $profile "*) exit 0 ;;
esac
# The native build and its tests; the 64-bit Windows build and Wine to run it.
packages=(cmake g++ make googletest
          g++-mingw-w64-x86-64-posix wine wine64)
# Packages without which a stage can still run, skipped: one that cannot be
# installed is named, and the set-up goes on.
wanted=()
case $profile in
  demo) ;;
  release)
    # The 32-bit Windows build (mingw-w64 with the -posix thread model, which
    # GoogleTest's std::mutex needs), and the archives.
    packages+=(g++-mingw-w64-i686-posix zip unzip) ;;
  test)
    packages+=(
      g++-mingw-w64-i686-posix
      # A virtual display for the failure box, and xdotool to answer it.
      xvfb xdotool
      # The release archives (scripts/release.sh) and their checks.
      zip unzip
      # Fuzzing and sanitizers.
      clang libfuzzer-14-dev
      # The report page's browser test: Debian's Chromium, driven from
      # Node.js, and pdftotext to read the printed page.
      chromium nodejs poppler-utils)
    # Wine's 32-bit loader, from the i386 architecture, wanted but not
    # needed: without it the tests of the 32-bit Windows program under Wine
    # are skipped, and say so. Installed where the kernel cannot start it, it
    # would break `wine` altogether (see lib.sh).
    if tw_32bit; then
      wanted+=(wine32:i386)
    else
      echo "install-deps: not installing wine32:i386: $TALLYWEB_32BIT_WHY"
    fi
    ;;
  *) echo "usage: $0 demo|release|test [PACKAGE...]" >&2; exit 2 ;;
esac
packages+=("$@")

installed() {
  [[ $(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) == "install ok installed" ]]
}
missing=() missing_wanted=()
for package in "${packages[@]}"; do
  installed "$package" || missing+=("$package")
done
for package in "${wanted[@]}"; do
  installed "$package" || missing_wanted+=("$package")
done

# npm comes with some builds of Node.js and as a package of its own with
# Debian's: ask for the package only where the command is missing.
if [[ $profile == test ]] && ! command -v npm >/dev/null; then
  missing+=(npm)
fi
# A Node.js from elsewhere (with its npm) is as good as Debian's, and
# Debian's would conflict with it.
if command -v node >/dev/null && command -v npm >/dev/null; then
  for i in "${!missing[@]}"; do
    [[ ${missing[$i]} == nodejs ]] && unset 'missing[i]'
  done
  missing=("${missing[@]}")
fi

if [[ ${#missing[@]} -eq 0 && ${#missing_wanted[@]} -eq 0 ]]; then
  echo "install-deps: every package for '$profile' is installed"
  exit 0
fi

all_missing=("${missing[@]}" "${missing_wanted[@]}")
echo "install-deps: installing ${all_missing[*]}"
sudo=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "install-deps: run as root" >&2; exit 1; }
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp)
trap 'rm -f "$log"' EXIT

if [[ " ${all_missing[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo[@]}" dpkg --add-architecture i386
fi

# A list that fails now often arrives a little later; past three tries the
# lists that did arrive are used as they are.
update_failures=
for try in 1 2 3; do
  if "${sudo[@]}" apt-get update -q >"$log" 2>&1; then
    update_failures=
    break
  fi
  update_failures=$(grep -E '^(E|W): ' "$log" | head -3 | tr '\n' ' ' | sed 's/ *$//')
  echo "install-deps: apt-get update failed (try $try of 3): ${update_failures:-no message}"
  [[ $try -lt 3 ]] && sleep $((try * 10))
done
[[ -z $update_failures ]] || echo "install-deps: going on with the package lists that did arrive"

install() {
  "${sudo[@]}" apt-get install -y -q "$@" </dev/null >"$log" 2>&1
}
# What apt said against PACKAGE, in one line: its errors and the dependency
# it could not meet.
why_not() {
  local why
  why=$(grep -E '^E: |^ .* : (Pre)?Depends: |^ .* : Conflicts: |^ .* : Breaks: ' "$log" |
        sed 's/^E: //; s/^ *//' | head -2 | tr '\n' ' ' | sed 's/ *$//')
  echo "${why:-apt-get install failed}"
}

failed=0
# One package that cannot be had stops apt from installing any: then find
# which, installing the rest one by one.
if [[ ${#missing[@]} -gt 0 ]] && ! install "${missing[@]}"; then
  for package in "${missing[@]}"; do
    if ! install "$package"; then
      echo "install-deps: cannot install $package: $(why_not)" >&2
      failed=1
    fi
  done
fi
for package in "${missing_wanted[@]}"; do
  if ! install "$package"; then
    echo "install-deps: cannot install $package, so the stages that need it will be skipped: $(why_not)"
  fi
done
if [[ -n $update_failures ]] && { [[ $failed -ne 0 ]] || ! installed "${missing_wanted[0]:-dpkg}"; }; then
  echo "install-deps: (package lists that failed to download: $update_failures)"
fi
[[ $failed -eq 0 ]] || exit 1
echo "install-deps: done"
