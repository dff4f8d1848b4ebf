#!/bin/sh
# The oldest Windows a built Tallyweb.exe states it needs (the subsystem and
# OS versions of its PE header) must be the one it really needs: the newest
# Windows version that any of its imported calls first appeared in.
# windows_imports.txt lists, for each call the program may import, that
# version; a call missing from it fails the check until someone looks it up
# and adds it.
#
#   check_imports.sh OBJDUMP Tallyweb.exe windows_imports.txt [large-address-aware]
set -u
objdump=$1 program=$2 table=$3 expect=${4:-}

headers=$("$objdump" -p "$program") || exit 1
field() { printf '%s\n' "$headers" | awk -v f="$1" '$1 == f { print $2; exit }'; }
subsystem=$(field MajorSubsystemVersion).$(field MinorSubsystemVersion)
os=$(field MajorOSystemVersion).$(field MinorOSystemVersion)

printf '%s\n' "$headers" | awk -v table="$table" -v subsystem="$subsystem" -v os="$os" \
  '
  function number(v,   p) { split(v, p, "."); return p[1] * 100 + p[2] }
  BEGIN {
    while ((getline line < table) > 0) {
      if (line ~ /^#/ || line !~ /[^ \t]/) continue
      split(line, f, /[ \t]+/)
      since[toupper(f[1]) " " f[2]] = f[3]
    }
    failed = 0
  }
  /^\tDLL Name: / { dll = toupper($3); next }
  # Import lines: "\t<vma> <hint> <name>", within a DLL block.
  dll != "" && /^\t[0-9a-f]+[ \t]+[0-9]+[ \t]+[A-Za-z_]/ {
    call = dll " " $3
    imports++
    if (!(call in since)) {
      print "FAIL: " call " is not in " table ": add it with the first Windows version that has it"
      failed = 1
    } else if (number(since[call]) > number(needed)) {
      needed = since[call]; by = call
    }
  }
  /^$/ { dll = "" }
  END {
    if (imports == 0) { print "FAIL: no imports read"; exit 1 }
    if (subsystem != os) { print "FAIL: subsystem version " subsystem " but OS version " os; failed = 1 }
    if (number(needed) != number(subsystem)) {
      print "FAIL: the program states Windows " subsystem " but needs " needed " (" by ")"
      failed = 1
    }
    if (failed) exit 1
    printf "%d imports; the newest, %s, needs Windows %s, as the header states\n", imports, by, needed
  }' || exit 1

# Characteristics 0x20: the 32-bit program may use more than 2 GB.
if [ "$expect" = large-address-aware ]; then
  value=$(field Characteristics)
  if [ $(( value & 0x20 )) -eq 0 ]; then
    echo "FAIL: not large address aware (Characteristics $value)"
    exit 1
  fi
  echo "large address aware (Characteristics $value)"
fi
