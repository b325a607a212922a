# Tests of the POSIX build: the layer against pseudo-terminals, standard
# output and interrupts in child processes, and the real binaries end to end.
find_package(Threads REQUIRED)
add_library(pty_peer STATIC pty_peer.cpp child_process.cpp)
target_link_libraries(pty_peer PUBLIC util)

add_executable(posix_tests posix_layer_test.cpp posix_console_test.cpp line_plan_test.cpp dcb_termios_test.cpp)
target_link_libraries(posix_tests PRIVATE kobrel_platform pty_peer GTest::gtest_main Threads::Threads)
gtest_discover_tests(posix_tests)

add_executable(e2e_tests e2e_test.cpp)
target_compile_definitions(e2e_tests PRIVATE KOBREL_BINARY="$<TARGET_FILE:kobrel>")
target_link_libraries(e2e_tests PRIVATE pty_peer GTest::gtest_main)
add_dependencies(e2e_tests kobrel)
gtest_discover_tests(e2e_tests)

# kobrel against the simulated device.
add_executable(sim_e2e_tests sim_e2e_test.cpp)
target_compile_definitions(sim_e2e_tests PRIVATE
  KOBREL_BINARY="$<TARGET_FILE:kobrel>"
  KOBREL_SIM_BINARY="$<TARGET_FILE:kobrel-sim>")
target_include_directories(sim_e2e_tests PRIVATE ${PROJECT_SOURCE_DIR}/sim)
target_link_libraries(sim_e2e_tests PRIVATE pty_peer GTest::gtest_main)
add_dependencies(sim_e2e_tests kobrel kobrel-sim)
gtest_discover_tests(sim_e2e_tests)

# Runs the Windows build under Wine next to this build's programs. Not a test
# of this build: ctest runs it in the Windows build directory
# (windows_tests.cmake), which provides the Wine prefix.
add_executable(wine_tests wine_test.cpp)
target_compile_definitions(wine_tests PRIVATE
  KOBREL_BINARY="$<TARGET_FILE:kobrel>"
  KOBREL_CONSOLE_PROBE="$<TARGET_FILE:console_probe>")
target_link_libraries(wine_tests PRIVATE pty_peer GTest::gtest_main)
add_dependencies(wine_tests kobrel console_probe)

# kobrel on a real serial driver, in a VM. The guest's programs are static,
# which the sanitizer runtimes do not allow: the rig runs in the plain build.
if(NOT KOBREL_SANITIZE)
  add_subdirectory(rig)
endif()
