# Tests of the Windows build, run under Wine: the unit tests through the
# cross-compiling emulator, and kobrel.exe and the console module end to end,
# driven by a test program of the Linux build that also runs the Linux
# binaries on the same command lines and compares the bytes.

# Runs on a bare Windows: system DLLs only.
add_test(NAME kobrel_exe_imports
  COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP} -DPROGRAM=$<TARGET_FILE:kobrel>
    -P ${CMAKE_CURRENT_SOURCE_DIR}/check_imports.cmake)

if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  message(STATUS "No Wine found: the Windows tests are built but not run")
  return()
endif()

# One Wine prefix for the whole run, created before the first test and removed
# after the last; never the user's own.
set(wine_prefix ${CMAKE_CURRENT_BINARY_DIR}/wine-prefix)
set(wine_environment
  WINEPREFIX=${wine_prefix}
  WINEDEBUG=-all
  WINEDLLOVERRIDES=winemenubuilder.exe=d)

add_test(NAME wine_prefix_setup
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine-prefix setup ${wine_prefix})
add_test(NAME wine_prefix_cleanup
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine-prefix cleanup ${wine_prefix})
set_tests_properties(wine_prefix_setup PROPERTIES FIXTURES_SETUP wine)
set_tests_properties(wine_prefix_cleanup PROPERTIES FIXTURES_CLEANUP wine)

# One Wine process runs all of the unit tests.
add_test(NAME windows_unit_tests COMMAND unit_tests)
set(tests_under_wine windows_unit_tests)

set(KOBREL_LINUX_BUILD_DIR "" CACHE PATH
  "Build directory of the Linux build, whose wine_tests drive kobrel.exe under Wine")
if(KOBREL_LINUX_BUILD_DIR)
  add_test(NAME windows_e2e_tests COMMAND ${KOBREL_LINUX_BUILD_DIR}/tests/wine_tests)
  set_tests_properties(windows_e2e_tests PROPERTIES ENVIRONMENT
    "KOBREL_EXE=$<TARGET_FILE:kobrel>;KOBREL_CONSOLE_PROBE_EXE=$<TARGET_FILE:console_probe>")
  list(APPEND tests_under_wine windows_e2e_tests)
else()
  message(STATUS "KOBREL_LINUX_BUILD_DIR not set: kobrel.exe is not tested end to end")
endif()

set_tests_properties(${tests_under_wine} PROPERTIES FIXTURES_REQUIRED wine)
set_property(TEST ${tests_under_wine} APPEND PROPERTY ENVIRONMENT ${wine_environment})
# Wine needs no display for console programs; keep it from opening one.
set_property(TEST ${tests_under_wine} PROPERTY ENVIRONMENT_MODIFICATION
  DISPLAY=unset: WAYLAND_DISPLAY=unset:)
