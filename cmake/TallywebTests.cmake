# One unit-test program holds every *_test.cpp beside the sources; each source
# folder adds its own tests to it with target_sources(tallyweb_tests ...).
add_executable(tallyweb_tests)
target_link_libraries(tallyweb_tests PRIVATE gtest gtest_main)

# The Wine prefix every Windows test program runs in: one per build tree, made
# once per test run by the wine_prefix fixture (tests/CMakeLists.txt).
set(TALLYWEB_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)

# Registers a GoogleTest program with CTest. Natively each test is its own
# CTest test. Under Wine each start costs a process launch in the emulator, so
# the program runs once, whole, inside the shared prefix.
function(tallyweb_register_gtest target)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${target} COMMAND ${target} --gtest_brief=1)
    set_tests_properties(${target} PROPERTIES
      FIXTURES_REQUIRED wine_prefix
      ENVIRONMENT "WINEPREFIX=${TALLYWEB_WINEPREFIX};WINEDEBUG=-all"
      TIMEOUT 600)
  else()
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
  endif()
endfunction()
