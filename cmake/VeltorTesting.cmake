# GoogleTest: the Debian package on Linux; built from the Debian source
# package for the cross build, where the host's libgtest.a cannot link.
if(CMAKE_CROSSCOMPILING)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/third_party/googletest EXCLUDE_FROM_ALL)
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# The tests' own code is built at -O1 in the optimised builds: the code they
# drive (the library, the programs) keeps its own flags, and most of a test
# file's build time is spent optimising GoogleTest's expanded assertions,
# which -O3 makes about 60% slower to build for no gain in what is tested.
target_compile_options(veltor_test_warnings INTERFACE $<$<CONFIG:Release,RelWithDebInfo>:-O1>)

# veltor_add_test(NAME name SOURCES ... [LIBRARIES ...])
# One executable per behaviour group; each GoogleTest case becomes a CTest test.
function(veltor_add_test)
  cmake_parse_arguments(ARG "" "NAME;TIMEOUT" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBRARIES} GTest::gtest_main veltor_test_warnings)
  target_include_directories(${ARG_NAME} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 600)
  endif()
  gtest_discover_tests(${ARG_NAME}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${ARG_TIMEOUT})
endfunction()
