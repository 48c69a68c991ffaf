# GoogleTest from Debian's sources, built by each preset, so nothing is downloaded.
set(QUORVANE_GTEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest source tree")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${QUORVANE_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL)

include(GoogleTest)

# One test program. Natively every case becomes its own CTest test; under the
# cross build the whole program is one CTest test, so that CTest starts Wine once
# per program and not once per case. OWN_MAIN: the program brings its own main.
function(quorvane_add_gtest target)
  cmake_parse_arguments(ARG "OWN_MAIN" "" "SOURCES;LIBRARIES;LABELS" ${ARGN})
  add_executable(${target} ${ARG_SOURCES})
  quorvane_warnings(${target})
  if(ARG_OWN_MAIN)
    target_link_libraries(${target} PRIVATE ${ARG_LIBRARIES} GTest::gtest)
  else()
    target_link_libraries(${target} PRIVATE ${ARG_LIBRARIES} GTest::gtest_main)
  endif()
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${target} COMMAND ${target})
    set_tests_properties(${target} PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT 300)
  else()
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT 60)
  endif()
endfunction()
