# Sourced by the scripts that start Windows programs under Wine.
#
# wine_loader PROGRAM prints the Wine loader that starts PROGRAM. With Wine's
# 32-bit support installed, `wine` goes through the 32-bit loader, which hands
# a 64-bit program on to the 64-bit one but cannot find it when its path
# passes 260 characters; so a 64-bit program (PE machine x86-64) is started by
# /usr/lib/wine/wine64 itself, and anything else (a 32-bit program, a builtin
# such as `reg`) by `wine`.
wine_loader() {
  if [ -f "$1" ]; then
    # The PE header's offset is at 0x3c; its machine field follows "PE\0\0".
    _wl_pe=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
    _wl_machine=$(od -An -tx2 -j$((${_wl_pe:-0} + 4)) -N2 "$1" 2>/dev/null | tr -d ' ')
    if [ "$_wl_machine" = 8664 ] && [ -x /usr/lib/wine/wine64 ]; then
      echo /usr/lib/wine/wine64
      return
    fi
  fi
  echo wine
}
