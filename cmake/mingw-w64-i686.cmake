# The 32-bit Windows build (i686), with mingw-w64; the mingw-x86 preset. Large
# address aware: on 64-bit Windows the program may use 4 GB, not 2.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TALLYWEB_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -Wl,--large-address-aware")
