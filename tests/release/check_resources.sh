#!/bin/sh
# What Explorer and the Windows loader see of a built Tallyweb.exe: reads its
# version information, manifest and icon under Wine with version_probe.exe
# and holds them against what the program must state.
#
#   check_resources.sh WINE_RUN PROBE.exe Tallyweb.exe VERSION
set -u
wine_run=$1 probe=$2 program=$3 version=$4
case $version in
  *.*.*) quad=$version.0 ;;
  *.*) quad=$version.0.0 ;;
  *) quad=$version.0.0.0 ;;
esac

windows_name=$(printf 'Z:%s' "$program" | tr / '\\')
out=$("$wine_run" "$probe" "$windows_name" | tr -d '\r')
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# The fields, exactly: "name=value" lines of the probe's output.
while IFS= read -r line; do
  [ -n "$line" ] || continue
  printf '%s\n' "$out" | grep -qxF -- "$line" || fail "expected the line: $line"
done <<TABLE
fixed.file=$quad
fixed.product=$quad
fixed.type=1
translation=040904B0
FileDescription=Tallyweb: a web page of the download list
FileVersion=$version
InternalName=Tallyweb
LegalCopyright=Copyright (c) the Tallyweb authors. MIT License: see LICENSE.
OriginalFilename=Tallyweb.exe
ProductName=Tallyweb
ProductVersion=$version
actctx=accepted
icon=16x16,32x32,48x48,256x256
TABLE

# The manifest, its white space run together, must hold each of these.
manifest=$(printf '%s\n' "$out" | sed -n '/^manifest:$/,$p' | tr -s ' \n\t' '   ')
while IFS= read -r needle; do
  [ -n "$needle" ] || continue
  case $manifest in
    *"$needle"*) ;;
    *) fail "the manifest lacks: $needle" ;;
  esac
done <<TABLE
<assemblyIdentity type="win32" name="Tallyweb" version="$quad"
<requestedExecutionLevel level="asInvoker" uiAccess="false"/>
<supportedOS Id="{e2011457-1546-43c5-a5fe-008deee3d3f0}"/>
<supportedOS Id="{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"/>
<supportedOS Id="{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"/>
<supportedOS Id="{1f676c76-80e1-4239-95bb-83d0f6d0da78}"/>
<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>
name="Microsoft.Windows.Common-Controls" version="6.0.0.0"
>true/pm</dpiAware>
>PerMonitorV2, PerMonitor</dpiAwareness>
>true</longPathAware>
TABLE

if [ $failed -ne 0 ]; then
  echo "--- what the probe read from $program:"
  printf '%s\n' "$out"
  exit 1
fi
echo "resources of $program: version $version, manifest and icon as they must be"
