# One unit-test program holds every *_test.cpp beside the sources; each source
# folder adds its own tests to it with target_sources(tallyweb_tests ...).
add_executable(tallyweb_tests)
target_link_libraries(tallyweb_tests PRIVATE gtest gtest_main)

# The Wine settings, from the one file that holds them for the scripts too:
# each line tw_name='value' of cmake/wine-env.sh becomes the variable tw_name
# here (tw_wine64, tw_winedebug, tw_dll_overrides, ...). The e2e harness gets
# them as a generated header (tests/e2e/CMakeLists.txt).
set(TALLYWEB_WINE_ENV_FILE ${CMAKE_CURRENT_LIST_DIR}/wine-env.sh)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TALLYWEB_WINE_ENV_FILE})
# A value may hold semicolons (the DLL overrides do), at which a CMake list
# would split, and a line brackets, which would join it to the next: they
# stand in as <semicolon>, <lb> and <rb> while the file is cut into lines.
file(READ ${TALLYWEB_WINE_ENV_FILE} tallyweb_wine_env)
string(REPLACE ";" "<semicolon>" tallyweb_wine_env "${tallyweb_wine_env}")
string(REPLACE "[" "<lb>" tallyweb_wine_env "${tallyweb_wine_env}")
string(REPLACE "]" "<rb>" tallyweb_wine_env "${tallyweb_wine_env}")
string(REPLACE "\n" ";" tallyweb_wine_env "${tallyweb_wine_env}")
set(TALLYWEB_WINE_SETTINGS "")
foreach(line IN LISTS tallyweb_wine_env)
  if(line STREQUAL "" OR line MATCHES "^#")
    continue()
  endif()
  if(NOT line MATCHES "^(tw_[a-z0-9_]+)='([^']*)'$")
    message(FATAL_ERROR "${TALLYWEB_WINE_ENV_FILE}: not a comment nor of the form tw_name='value': ${line}")
  endif()
  string(REPLACE "<semicolon>" ";" value "${CMAKE_MATCH_2}")
  string(REPLACE "<lb>" "[" value "${value}")
  string(REPLACE "<rb>" "]" value "${value}")
  set(${CMAKE_MATCH_1} "${value}")
  list(APPEND TALLYWEB_WINE_SETTINGS ${CMAKE_MATCH_1})
endforeach()
foreach(name tw_prefix_folder tw_wine64 tw_winedebug tw_winedebug_boxes tw_dll_overrides)
  if(NOT DEFINED ${name})
    message(FATAL_ERROR "${TALLYWEB_WINE_ENV_FILE} does not set ${name}")
  endif()
endforeach()

# The Wine prefix every Windows test program runs in: one per build tree, made
# once per test run by the wine_prefix fixture (tests/CMakeLists.txt).
set(TALLYWEB_WINEPREFIX ${CMAKE_BINARY_DIR}/${tw_prefix_folder})
# The environment of a test that runs Windows programs through
# cmake/wine-run.sh, which sets the rest of the Wine settings itself.
set(TALLYWEB_WINE_TEST_ENVIRONMENT "TALLYWEB_WINEPREFIX=${TALLYWEB_WINEPREFIX}")

# Registers a GoogleTest program with CTest. Natively each test is its own
# CTest test. Under Wine each start costs a process launch in the emulator, so
# the program runs once, whole, inside the shared prefix.
function(tallyweb_register_gtest target)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${target} COMMAND ${target} --gtest_brief=1)
    set_tests_properties(${target} PROPERTIES
      FIXTURES_REQUIRED wine_prefix
      ENVIRONMENT "${TALLYWEB_WINE_TEST_ENVIRONMENT}"
      TIMEOUT 600)
  else()
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
  endif()
endfunction()
