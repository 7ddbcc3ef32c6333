# kv_add_test(name SOURCES ... [LIBS ...] [TIMEOUT s] [LAUNCHER command ...])
# One executable, one ctest entry: the whole GoogleTest suite of the executable
# runs in one process (one Wine start, not one per test case). A timeout turns
# a deadlock into a failure instead of a hung run. LAUNCHER runs the program
# through another command (given the program's path) instead of the default
# (the cross-compiling emulator for Windows programs).
function(kv_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LAUNCHER" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest_main GTest::gmock)
  if(T_LAUNCHER)
    add_test(NAME ${name} COMMAND ${T_LAUNCHER} $<TARGET_FILE:${name}>)
  else()
    add_test(NAME ${name} COMMAND ${name})
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT})
endfunction()
