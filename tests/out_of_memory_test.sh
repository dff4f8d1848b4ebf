#!/bin/sh
# Exhausted memory in the native program: a template larger than the address
# space the program may use. The run must end as any failure does: the title
# and the two lines on standard error, exit code 1, no report, no shell
# request; and the raise address must lie in the routine that asked for the
# memory, the template loader.
#
#   out_of_memory_test.sh PATH/TO/Tallyweb
set -u
program=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cp "$program" "$work/Tallyweb"
# Sparse: a gigabyte of template that takes no disk.
truncate -s 1G "$work/template.txt"
# Stands in for the desktop's opener, which the program must not reach.
mkdir "$work/path"
printf '#!/bin/sh\necho "$@" >"%s/shell-asked"\n' "$work" >"$work/path/xdg-open"
chmod +x "$work/path/xdg-open"

(
  ulimit -v 262144  # 256 MB: the program starts, the template does not fit
  cd "$work" && env -u DISPLAY -u WAYLAND_DISPLAY PATH="$work/path:/usr/bin:/bin" \
    ./Tallyweb </dev/null >"$work/stdout" 2>"$work/stderr"
)
code=$?

[ "$code" = 1 ] || fail "exit code $code, not 1; stderr: $(cat "$work/stderr")"
[ ! -s "$work/stdout" ] || fail "standard output not empty: $(cat "$work/stdout")"
[ "$(sed -n 1p "$work/stderr")" = "Application Error" ] ||
  fail "no title: $(cat "$work/stderr")"
[ "$(sed -n 3p "$work/stderr")" = "Out of memory." ] ||
  fail "second line: $(cat "$work/stderr")"
[ "$(wc -l <"$work/stderr")" = 3 ] || fail "more than the box: $(cat "$work/stderr")"
first=$(sed -n 2p "$work/stderr")
offset=$(printf '%s\n' "$first" |
  sed -n 's/^Exception EOutOfMemory in module Tallyweb at \([0-9A-F]\{8\}\)\.$/\1/p')
[ -n "$offset" ] || fail "first line: $first"
[ ! -e "$work/Tallyweb.htm" ] || fail "a report was created"
[ ! -e "$work/shell-asked" ] || fail "the shell was asked: $(cat "$work/shell-asked")"

# The offset counts from the image's start; the symbols count from its first
# loaded segment's address (0 for a position-independent program).
base=$(readelf -lW "$work/Tallyweb" | awk '$1 == "LOAD" { print $3; exit }')
address=$(printf '0x%x' $((base + 0x$offset)))
# A finished program is stripped; its symbols are in Tallyweb.debug beside it.
symbols=$work/Tallyweb
[ -f "$(dirname "$program")/Tallyweb.debug" ] && symbols=$(dirname "$program")/Tallyweb.debug
where=$(addr2line -f -i -C -e "$symbols" "$address")
printf '%s\n' "$where" | grep -q 'LoadTemplateText' ||
  fail "raise address $address is not in the template loader: $where"
echo "PASS: $first / Out of memory. (at $(printf '%s\n' "$where" | head -1))"
