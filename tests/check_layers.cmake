# Fails when an engine folder includes a header of a folder above it. Top to
# bottom: api, scan, then matcher and rules side by side (neither includes
# the other: the matcher knows bytes and tags only), database, platform, text.
# Run as: cmake -DSOURCE_DIR=<the source tree> -P check_layers.cmake
cmake_minimum_required(VERSION 3.25)
set(below_api scan matcher rules database platform text)
set(below_scan matcher rules database platform text)
set(below_matcher database platform text)
set(below_rules database platform text)
set(below_database platform text)
set(below_platform text)
set(below_text "")

set(violations "")
foreach(folder api scan matcher rules database platform text)
  file(GLOB sources RELATIVE ${SOURCE_DIR} ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.cpp)
  foreach(source IN LISTS sources)
    file(STRINGS ${SOURCE_DIR}/${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"/]+/")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[^\"]*\"([^\"/]+)/.*$" "\\1" included "${line}")
      if(NOT included STREQUAL folder AND NOT included IN_LIST below_${folder})
        list(APPEND violations "${source}: ${line}")
      endif()
    endforeach()
  endforeach()
endforeach()

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "includes that run up the engine's layers:\n  ${text}")
endif()
