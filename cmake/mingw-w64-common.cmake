# Cross-compiles the Windows build with mingw-w64 and runs its programs under
# Wine. Included by the toolchain files of each architecture, which set
# TALLYWEB_MINGW_TRIPLE (x86_64-w64-mingw32 or i686-w64-mingw32) first.
set(CMAKE_SYSTEM_NAME Windows)

# The -posix compilers: GoogleTest needs std::mutex, which the win32-thread
# flavour lacks.
set(CMAKE_C_COMPILER ${TALLYWEB_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TALLYWEB_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TALLYWEB_MINGW_TRIPLE}-windres)
set(CMAKE_OBJCOPY ${TALLYWEB_MINGW_TRIPLE}-objcopy CACHE FILEPATH "")
set(CMAKE_STRIP ${TALLYWEB_MINGW_TRIPLE}-strip CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${TALLYWEB_MINGW_TRIPLE}-objdump CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${TALLYWEB_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Static runtime: Tallyweb.exe and the test programs need no DLL beside them.
# Windows Vista (6.0) is the oldest Windows the programs start on: the runtime
# imports GetTickCount64, which older ones lack; the headers agree through
# _WIN32_WINNT (CMakeLists.txt). No link time stamp: the release step sets
# one from the commit, so that two builds of a commit are byte-identical.
set(CMAKE_EXE_LINKER_FLAGS_INIT
  "-static -static-libgcc -static-libstdc++ -Wl,--no-insert-timestamp -Wl,--tsaware -Wl,--major-os-version,6,--minor-os-version,0,--major-subsystem-version,6,--minor-subsystem-version,0")

# add_test() and the test discovery run the .exe files through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
