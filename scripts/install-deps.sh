#!/bin/bash
# Installs the Debian packages that the build, the tests and the demo need,
# and only those that are missing: on a machine that has them all it changes
# nothing and does not touch the network. Runs as root (or through sudo).
set -euo pipefail

packages=(
  # The native build and its tests.
  cmake g++ make googletest
  # The Windows builds, 64-bit and 32-bit: mingw-w64 with the -posix thread
  # model, which GoogleTest's std::mutex needs.
  mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  # Running the Windows builds: Wine with its 64-bit and 32-bit loaders (the
  # latter from the i386 architecture, added below), a virtual display for
  # the failure box, and xdotool to answer the box.
  wine wine64 wine32:i386 xvfb xdotool
  # The release archives (scripts/release.sh) and their checks.
  zip unzip
  # Fuzzing and sanitizers.
  clang libfuzzer-14-dev
  # The report page's browser test: Debian's Chromium, driven from Node.js.
  chromium nodejs
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ $status == "install ok installed" ]] || missing+=("$package")
done

# npm comes with some builds of Node.js and as a package of its own with
# Debian's: ask for the package only where the command is missing.
command -v npm >/dev/null || missing+=(npm)

if [[ ${#missing[@]} -eq 0 ]]; then
  echo "install-deps: every package is installed"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo=()
if [[ $(id -u) -ne 0 ]]; then
  command -v sudo >/dev/null || { echo "install-deps: run as root" >&2; exit 1; }
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
# wine32 comes from the i386 architecture, which the package lists must know.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo[@]}" dpkg --add-architecture i386
fi
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q "${missing[@]}" </dev/null
