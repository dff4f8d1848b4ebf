# Sourced by the scripts that start Windows programs under Wine, after
# cmake/wine-env.sh (scripts/lib.sh sources it), whose tw_wine64 it uses.
#
# wine_loader PROGRAM prints the Wine loader that starts PROGRAM: `wine`
# for a 32-bit program (PE machine i386), and Wine's 64-bit loader for
# anything else, a 64-bit program or one of Wine's own tools such as `reg`.
# Debian's `wine` takes the 32-bit loader whenever wine32 is installed: that
# loader cannot find a 64-bit program past 260 characters of path, and on a
# machine that runs no 32-bit programs it starts nothing at all.
wine_loader() {
  if [ -f "$1" ]; then
    # The PE header's offset is at 0x3c; its machine field follows "PE\0\0".
    _wl_pe=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
    _wl_machine=$(od -An -tx2 -j$((${_wl_pe:-0} + 4)) -N2 "$1" 2>/dev/null | tr -d ' ')
    if [ "$_wl_machine" = 014c ]; then
      echo wine
      return
    fi
  fi
  echo "${tw_wine64:?source cmake/wine-env.sh before cmake/wine-loader.sh}"
}
