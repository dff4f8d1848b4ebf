#!/bin/sh
# The native program asks of the system no newer C and C++ libraries than
# the Linux README names: every versioned symbol it imports is at most the
# GLIBC_, GLIBCXX_ and CXXABI_ version written there.
#
#   native_libraries_test.sh PATH/TO/Tallyweb PATH/TO/linux-readme.txt
set -u
program=$1 readme=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
imports=$(objdump -T "$program") || fail "objdump cannot read $program"
for library in GLIBC GLIBCXX CXXABI; do
  named=$(grep -o "${library}_[0-9.]*[0-9]" "$readme" | head -1 | sed "s/^${library}_//")
  [ -n "$named" ] || fail "the README names no ${library}_ version"
  newest=$(printf '%s\n' "$imports" | grep -o "(${library}_[0-9.]*)" | tr -d '()' |
    sed "s/^${library}_//" | sort -V | tail -1)
  [ -n "$newest" ] || continue
  [ "$(printf '%s\n%s\n' "$newest" "$named" | sort -V | tail -1)" = "$named" ] ||
    fail "imports ${library}_$newest, newer than the README's ${library}_$named: $(
      printf '%s\n' "$imports" | grep "(${library}_$newest)" | awk '{ print $NF }' | head -3)"
  echo "${library}: newest import $newest, README $named"
done
echo PASS
