# The 64-bit Windows build (x86-64), with mingw-w64; the mingw preset.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TALLYWEB_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
