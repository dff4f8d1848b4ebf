# The Wine settings of the whole project, in this one place: the shell scripts
# source it (scripts/lib.sh, cmake/wine-run.sh), and CMake reads it
# (cmake/TallywebTests.cmake) and hands the values to the test programs, the
# e2e harness included. So that CMake can read it, it holds only comments and
# lines of the one form   tw_name='value'   (no expansion, no other quotes).
#
# Where the prefix is: never the user's own (~/.wine). Each build tree has
# its own prefix, BUILD_DIR/wineprefix (the e2e tests' is
# BUILD_DIR/e2e/wineprefix), and each script makes one in its own work folder.
tw_prefix_folder='wineprefix'

# Wine's own loaders. Debian's `wine` (and `wineboot`, `winepath`, which go
# through it) take the 32-bit loader whenever wine32 is installed: on a
# machine that cannot run 32-bit programs every such command then fails,
# 64-bit ones included, and a 64-bit program past 260 characters of path
# fails even where it can. So 64-bit programs and Wine's tools (`reg`,
# `wineboot`, `winepath`) go through the 64-bit loader, and only 32-bit
# programs through `wine` (cmake/wine-loader.sh chooses). wineserver is a
# native program and has no such problem.
tw_wine64='/usr/lib/wine/wine64'
tw_wine32='/usr/lib/wine/wine'

# Quiet: Wine's fixme and err lines are noise in test logs.
tw_winedebug='-all'
# The one exception: the e2e harness runs Tallyweb.exe with the message box
# trace, the only way it can read the failure boxes' texts.
tw_winedebug_boxes='+msgbox'

# Keeps Wine from offering its Mono and Gecko installers (dialogs nobody
# answers, which would hold a test or a prefix's first boot) and from
# touching the desktop's menus and file associations in the user's home.
tw_dll_overrides='mscoree,mshtml=;winemenubuilder.exe=d'
