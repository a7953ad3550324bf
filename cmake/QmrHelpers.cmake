# Small helpers shared by the component folders.

# qmr_test(NAME [UNIT] SOURCES... [LIBS libs...]): a GoogleTest binary registered with CTest.
# Test binaries link the harness, whose main starts real omniNames/omniEvents on loopback;
# UNIT ones get GoogleTest's plain main instead and start no server.
function(qmr_test name)
  cmake_parse_arguments(T "UNIT" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  if(T_UNIT)
    target_link_libraries(${name} PRIVATE GTest::gtest_main GTest::gmock ${T_LIBS})
  else()
    target_link_libraries(${name} PRIVATE qmr_harness ${T_LIBS})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QMR_BUILD_DIR=${CMAKE_BINARY_DIR};QMR_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()
