# The release package: a zip with Tallyweb.exe, the default template and a
# readme for Windows users, ready to unpack and run. Made in the Windows
# tree by `cpack` (or `cmake --build --preset mingw --target package`).
if(NOT WIN32)
  return()
endif()

install(TARGETS Tallyweb RUNTIME DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/src/report/template.txt DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/docs/windows-readme.txt
  DESTINATION . RENAME ReadMe.txt)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Tallyweb)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME Tallyweb-${PROJECT_VERSION}-win64)
# Unpacks into a folder of its own, Tallyweb-<version>-win64.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
