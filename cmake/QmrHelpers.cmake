# Small helpers shared by the component folders.

# qmr_test(NAME SOURCES... [LIBS libs...]): a GoogleTest binary registered with CTest.
# Test binaries link the harness (real omniNames/omniEvents/qmr-datastored on loopback).
function(qmr_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE qmr_harness ${T_LIBS})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QMR_BUILD_DIR=${CMAKE_BINARY_DIR};QMR_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
endfunction()
