#!/bin/bash
# The release: builds Tallyweb.exe for x64 and x86 and the native Linux
# program from this checkout, and packs
#   Tallyweb-<version>-win64.zip, Tallyweb-<version>-win32.zip   (Windows)
#   tallyweb-<version>-linux-x86_64.tar.gz                       (Linux)
#   SHA256SUMS                                                   (of the three)
# into OUT (build/release by default, or below TALLYWEB_BUILD_ROOT); each program's debug information goes
# to OUT/debug, not into the archives. The archives are reproducible: the
# same commit built in any folder gives the same bytes (the time stamps are
# the commit's, entries in a fixed order, owners and modes fixed).
#
#   scripts/release.sh [OUT]     build and pack
#   scripts/release.sh --check   build twice from copies of this checkout in
#                                two different folders, compare every byte,
#                                then unpack each archive and run its program
#                                against the demo download list
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/lib.sh"
jobs=$JOBS
version=$(sed -n 's/^project(Tallyweb VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[[ -n $version ]] || { echo "release: no version in CMakeLists.txt" >&2; exit 1; }
# The commit's time: the programs' PE time stamps and every archive entry's.
: "${SOURCE_DATE_EPOCH:=$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 0)}"
export SOURCE_DATE_EPOCH

# Text for Windows users' Notepad: CR LF line ends, whatever the source has.
crlf() { sed 's/\r$//; s/$/\r/' "$1"; }
readme() { sed "s/@VERSION@/$version/g" "$1"; }

# Fixed modes and times of a staged folder, and its files in name order.
settle() {
  find "$1" -type d -exec chmod 755 {} +
  find "$1" -type f -exec chmod 644 {} +
  [[ -z ${2:-} ]] || chmod 755 "$1/$2"
  find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

build_tree() {  # build_tree PRESET TREE
  cmake --preset "$1" -B "$2" -DTALLYWEB_TESTS=OFF >/dev/null
  cmake --build "$2" -j "$jobs" --target Tallyweb >/dev/null
}

pack_windows() {  # pack_windows TREE SUFFIX OUT
  local name=Tallyweb-$version-$2 stage
  stage=$(mktemp -d)
  mkdir "$stage/$name"
  cp "$1/bin/Tallyweb.exe" "$stage/$name/"
  crlf "$root/src/app/template.txt" >"$stage/$name/template.txt"
  readme "$root/docs/windows-readme.txt" | crlf /dev/stdin >"$stage/$name/ReadMe.txt"
  crlf "$root/LICENSE" >"$stage/$name/LICENSE"
  settle "$stage/$name"
  rm -f "$3/$name.zip"
  # -X: no extra fields (owners, Unix times); DOS times read in UTC.
  (cd "$stage" && find "$name" -type f | LC_ALL=C sort |
    TZ=UTC zip -X -D -q -9 "$3/$name.zip" -@)
  cp "$1/bin/Tallyweb.debug" "$3/debug/$name.debug"
  rm -rf "$stage"
}

pack_linux() {  # pack_linux TREE OUT
  local name=tallyweb-$version-linux-x86_64 stage
  stage=$(mktemp -d)
  mkdir "$stage/$name"
  cp "$1/bin/Tallyweb" "$root/src/app/template.txt" "$root/LICENSE" "$stage/$name/"
  readme "$root/docs/linux-readme.txt" >"$stage/$name/README"
  settle "$stage/$name" Tallyweb
  tar -C "$stage" --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 \
    --numeric-owner --format=gnu -cf - "$name" | gzip -9n >"$2/$name.tar.gz"
  cp "$1/bin/Tallyweb.debug" "$2/debug/$name.debug"
  rm -rf "$stage"
}

release() {  # release OUT: builds in OUT/trees, packs into OUT
  local out=$1
  mkdir -p "$out/debug"
  build_tree mingw "$out/trees/win64"
  build_tree mingw-x86 "$out/trees/win32"
  build_tree linux "$out/trees/linux"
  pack_windows "$out/trees/win64" win64 "$out"
  pack_windows "$out/trees/win32" win32 "$out"
  pack_linux "$out/trees/linux" "$out"
  (cd "$out" && sha256sum Tallyweb-"$version"-win64.zip Tallyweb-"$version"-win32.zip \
    tallyweb-"$version"-linux-x86_64.tar.gz >SHA256SUMS)
}

if [[ ${1:-} != --check ]]; then
  out=$(realpath -m "${1:-$TALLYWEB_BUILD_ROOT/release}")
  "$root/scripts/install-deps.sh" release >/dev/null
  release "$out"
  echo "release $version in $out:"
  (cd "$out" && ls -l Tallyweb-*.zip tallyweb-*.tar.gz SHA256SUMS debug/* | awk '{print "  " $5 "\t" $NF}')
  exit 0
fi

# --- the check ---------------------------------------------------------------
work=$TALLYWEB_BUILD_ROOT/release-check
rm -rf "$work"
failed=0
fail() { echo "release check: FAIL: $*"; failed=1; }

# Two copies of the checkout (its tracked files as they are now), in folders
# of different names and depths, each building and packing on its own.
copies=("$work/a" "$work/second/copy-with-a-longer-name")
for copy in "${copies[@]}"; do
  mkdir -p "$copy/src"
  (cd "$root" && git ls-files -z --cached --others --exclude-standard |
    xargs -0 tar -cf - 2>/dev/null) | tar -C "$copy/src" -xf -
  echo "release check: building in $copy"
  (cd "$copy/src" && bash scripts/release.sh "$copy/out" >/dev/null) ||
    fail "the release build in $copy failed"
done
a=${copies[0]}/out b=${copies[1]}/out
files=(Tallyweb-$version-win64.zip Tallyweb-$version-win32.zip
       tallyweb-$version-linux-x86_64.tar.gz SHA256SUMS)
for f in "${files[@]}"; do
  if cmp -s "$a/$f" "$b/$f"; then echo "identical: $f ($(stat -c %s "$a/$f") bytes)"
  else fail "$f differs between the two builds"; fi
done
(cd "$a" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match"

# Each archive unpacked and run as a user would, against the demo list.
prefix=$work/wineprefix
"$root/scripts/demo-prefix.sh" "$prefix" "$root/demo/downloads.reg" >/dev/null
. "$root/cmake/wine-loader.sh"
downloads=$(iconv -f UTF-16 -t UTF-8 "$root/demo/downloads.reg" | grep -c '^\[.*FileList\\')
for arch in win64 win32; do
  dir=$work/run-$arch
  mkdir -p "$dir"
  unzip -q "$a/Tallyweb-$version-$arch.zip" -d "$dir"
  folder=$dir/Tallyweb-$version-$arch
  listing=$(cd "$folder" && ls | tr '\n' ' ')
  [[ $listing == "LICENSE ReadMe.txt Tallyweb.exe template.txt " ]] ||
    fail "$arch zip holds: $listing"
  for text in template.txt ReadMe.txt LICENSE; do
    [[ $(grep -c $'\r$' "$folder/$text") -eq $(wc -l <"$folder/$text") ]] ||
      fail "$arch $text has lines without CR LF"
  done
  grep -q "^Tallyweb $version"$'\r'"$" "$folder/ReadMe.txt" || fail "$arch ReadMe.txt names no version $version"
  if [[ $arch == win32 ]] && ! tw_wine32; then
    echo "not run: win32: $TALLYWEB_WINE32_WHY"
    continue
  fi
  status=0
  tw_wine "$prefix" "$(wine_loader "$folder/Tallyweb.exe")" "$folder/Tallyweb.exe" \
    </dev/null >/dev/null 2>&1 || status=$?
  WINEPREFIX=$prefix wineserver -w || true
  [[ $status -eq 0 ]] || fail "$arch Tallyweb.exe exited with $status"
  rows=$(grep -c '<tr><td>' "$folder/Tallyweb.htm" 2>/dev/null || true)
  [[ $rows -eq $downloads ]] || fail "$arch report has $rows rows for $downloads downloads"
  echo "ran $arch: exit $status, report $(stat -c %s "$folder/Tallyweb.htm" 2>/dev/null || echo 0) bytes, $rows rows"
done
if tw_wine32; then
  cmp -s "$work/run-win64/Tallyweb-$version-win64/Tallyweb.htm" \
    "$work/run-win32/Tallyweb-$version-win32/Tallyweb.htm" ||
    fail "the 64-bit and 32-bit programs wrote different reports"
fi

dir=$work/run-linux
mkdir -p "$dir"
tar -C "$dir" -xzf "$a/tallyweb-$version-linux-x86_64.tar.gz"
folder=$dir/tallyweb-$version-linux-x86_64
listing=$(cd "$folder" && ls | tr '\n' ' ')
[[ $listing == "LICENSE README Tallyweb template.txt " ]] || fail "linux archive holds: $listing"
tw_no_browser "$dir/bin"
status=0
WINEPREFIX=$prefix PATH="$dir/bin:$PATH" "$folder/Tallyweb" </dev/null || status=$?
[[ $status -eq 0 ]] || fail "the Linux program exited with $status"
rows=$(grep -c '<tr><td>' "$folder/Tallyweb.htm" 2>/dev/null || true)
[[ $rows -eq $downloads ]] || fail "the Linux report has $rows rows for $downloads downloads"
echo "ran linux: exit $status, report $(stat -c %s "$folder/Tallyweb.htm" 2>/dev/null || echo 0) bytes, $rows rows"

if [[ $failed -ne 0 ]]; then echo "release check: FAILED"; exit 1; fi
if tw_wine32; then
  echo "release check: both builds identical, every archive runs"
else
  echo "release check: both builds identical, the win64 and Linux archives run (win32 not run: $TALLYWEB_WINE32_WHY)"
fi
