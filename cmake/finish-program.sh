#!/bin/sh
# Finishes a built program as it ships: moves its debug information into a
# file of its own beside it (PROGRAM.debug, linked from the program so that a
# debugger finds it), strips the program, and for a Windows program sets the
# PE time stamp to the time of the commit it was built from, so that building
# the same commit anywhere gives the same bytes.
#
#   finish-program.sh OBJCOPY STRIP PROGRAM SOURCE_DIR pe|elf
#
# The commit time comes from SOURCE_DATE_EPOCH when set, else from git, else 0.
set -eu
objcopy=$1 strip=$2 program=$3 source=$4 kind=$5
dir=$(dirname "$program")
name=$(basename "$program")
debug=${name%.exe}.debug

cd "$dir"
"$objcopy" --only-keep-debug "$name" "$debug"
"$strip" --strip-all "$name"
"$objcopy" --add-gnu-debuglink="$debug" "$name"

if [ "$kind" = pe ]; then
  stamp=${SOURCE_DATE_EPOCH:-$(git -C "$source" log -1 --format=%ct 2>/dev/null || echo 0)}
  # The COFF header's TimeDateStamp: 4 bytes, 8 bytes into the PE header,
  # whose offset is at 0x3c.
  pe=$(od -An -tu4 -j60 -N4 "$name" | tr -d ' ')
  bytes=$(printf '\\%03o\\%03o\\%03o\\%03o' $((stamp & 255)) $((stamp >> 8 & 255)) \
    $((stamp >> 16 & 255)) $((stamp >> 24 & 255)))
  printf "$bytes" | dd of="$name" bs=1 seek=$((pe + 8)) conv=notrunc status=none
fi
