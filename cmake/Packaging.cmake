# `cpack` in any program tree: an archive of the program, the default
# template, the readme for its users and the license, in a folder of its own
# (a zip for Windows, a tar.gz for Linux). The release itself is made by
# scripts/release.sh, which builds all three programs, gives the archives
# fixed times and order so that they can be reproduced, puts CR LF in the
# Windows text files, and writes SHA256SUMS.
if(NOT TARGET Tallyweb)
  return()
endif()

set(TALLYWEB_PACKAGE_STAGE ${CMAKE_BINARY_DIR}/package)
if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(suffix win64)
  else()
    set(suffix win32)
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME Tallyweb-${PROJECT_VERSION}-${suffix})
  set(readme_source windows-readme.txt)
  set(readme_name ReadMe.txt)
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME tallyweb-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
  set(readme_source linux-readme.txt)
  set(readme_name README)
endif()
set(VERSION ${PROJECT_VERSION})
configure_file(${PROJECT_SOURCE_DIR}/docs/${readme_source}
  ${TALLYWEB_PACKAGE_STAGE}/${readme_name} @ONLY)

install(TARGETS Tallyweb RUNTIME DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/src/app/template.txt
  ${TALLYWEB_PACKAGE_STAGE}/${readme_name} ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)

set(CPACK_PACKAGE_NAME Tallyweb)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)
