#!/bin/sh
# Remakes wine_system.reg: a throwaway prefix, keys written by Wine's own
# regedit and reg, then Wine's hive cut down to the header and those keys.
# Usage: make_wine_system_reg.sh [prefix directory]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../../scripts/lib.sh"
tw_wine_env "${1:-/tmp/hive-pfx}"
export LANG=C.UTF-8
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -f "$WINEPREFIX/system.reg" ] || { $tw_wine64 wineboot -i </dev/null >/dev/null 2>&1; wineserver -w; }

# regedit writes types and bytes that reg cannot: hex(1) strings with NULs
# and control characters, odd sizes, empty values.
cat >"$work/import.txt" <<'REG'
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\Software\Wow6432Node\Tesmora\HiveTest]
@="default text"
"Text"="plain"
"Quoted"="C:\\Dir\\\"q\" [x]"
"Tab"="a	b"
"Newline"=hex(1):61,00,0a,00,0d,00,62,00,00,00
"EmbeddedNul"=hex(1):61,00,00,00,62,00,00,00
"NoNul"=hex(1):61,00,62,00
"OddBytes"=hex(1):61,00,62
"EmptySz"=hex(1):
"EmptyBinary"=hex:
"EmptyNone"=hex(0):
"NoneData"=hex(0):01,02
"Expand"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,6f,00,74,00,25,00,5c,00,78,00,00,00
"Multi"=hex(7):61,00,00,00,62,00,63,00,00,00,00,00
"DwordMax"=dword:ffffffff
"DwordPos"=dword:7fffffff
"Qword"=hex(b):01,02,03,04,05,06,07,08
"BigEndian"=hex(5):00,00,00,01
"Binary"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,2a,2b,2c,2d,2e,2f,30,31,32,33,34,35,36,37,38,39,3a,3b,3c,3d,3e,3f
"ShortDword"=hex(4):01,02
"Café"="naïve über 中文 😀"
"Digit"=hex(1):c0,00,31,00,00,00
"Octal"=hex(1):01,00,37,00,00,00
"Esc"=hex(1):1b,00,07,00,08,00,0b,00,0c,00,00,00

[HKEY_LOCAL_MACHINE\Software\Wow6432Node\Tesmora\HiveTest\Order\b]
[HKEY_LOCAL_MACHINE\Software\Wow6432Node\Tesmora\HiveTest\Order\A]
[HKEY_LOCAL_MACHINE\Software\Wow6432Node\Tesmora\HiveTest\Order\aa]
[HKEY_LOCAL_MACHINE\Software\Wow6432Node\Tesmora\HiveTest\Order\a_b]
[HKEY_LOCAL_MACHINE\Software\Wow6432Node\Tesmora\HiveTest\Order\C]
[HKEY_LOCAL_MACHINE\Software\Wow6432Node\Tesmora\HiveTest\Order\Ünïcode 中]
"Wert"="ü"
[HKEY_LOCAL_MACHINE\Software\Wow6432Node\Tesmora\HiveTest\Order\[br] "q"]
"x"=dword:00000001
[HKEY_LOCAL_MACHINE\Software\Tesmora\HiveTest]
"View"="64-bit"
[HKEY_LOCAL_MACHINE\Software\Wow6432Node\Tesmora\HiveTest]
"View"="32-bit"
REG
python3 -c "
import sys
t = open(sys.argv[1], encoding='utf-8').read().replace('\n', '\r\n')
open(sys.argv[2], 'wb').write(b'\xff\xfe' + t.encode('utf-16-le'))" "$work/import.txt" "$work/import.reg"
$tw_wine64 regedit /s "Z:$(echo "$work/import.reg" | tr / '\\\\')" </dev/null
add() { $tw_wine64 reg add 'HKLM\Software\Tesmora\HiveAdd' "$@" /f /reg:32 </dev/null >/dev/null; }
add /v Sz /t REG_SZ /d 'é ü 中 "q" \back'
add /v Dw /t REG_DWORD /d 4294967295
add /v Qw /t REG_QWORD /d 0x1122334455667788
add /v Ex /t REG_EXPAND_SZ /d '%TEMP%\x'
add /v Ms /t REG_MULTI_SZ /d 'one\0two'
add /v Bin /t REG_BINARY /d 0102ff
add /v None /t REG_NONE
add /v Empty /t REG_SZ /d ''
$tw_wine64 reg add 'HKLM\Software\Tesmora\HiveAdd\Kéy 中' /ve /d dflt /f /reg:32 </dev/null >/dev/null
wineserver -w

python3 - "$WINEPREFIX/system.reg" "$here/wine_system.reg" <<'PY'
import re, sys
blocks = open(sys.argv[1], encoding='ascii').read().split('\n\n')
keep = [blocks[0]] + [b for b in blocks[1:] if re.match(
    r'#arch=|\[Software\\\\(Wow6432Node\\\\)?Tesmora|\[Software\\\\Wow6432Node\\\\Classes\]', b)]
out = '\n\n'.join(keep)
open(sys.argv[2], 'w').write(out if out.endswith('\n') else out + '\n')
PY
