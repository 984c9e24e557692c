# Fails on an include that runs up the layers. The rooms, each using only
# itself and what is listed for it:
#   engine     nothing of ours above it
#   archive    nothing of ours but the engine's text layer (byte loads)
#   compiler   engine
#   scanning   engine, archive
#   programs (veltor, veltord) and python: any of those, never each other
# Inside the engine, top to bottom: api, scan, then matcher and rules side by
# side (neither includes the other: the matcher knows bytes and tags only),
# database, platform, text.
# Run as: cmake -DSOURCE_DIR=<the source tree> -P check_layers.cmake
cmake_minimum_required(VERSION 3.25)
set(rooms engine archive compiler scanning veltor veltord python)
set(uses_engine engine)
set(uses_archive archive engine/text)
set(uses_compiler compiler engine)
set(uses_scanning scanning engine archive)
set(uses_veltor veltor engine archive compiler scanning)
set(uses_veltord veltord engine archive compiler scanning)
set(uses_python python engine archive compiler scanning)

set(below_api scan matcher rules database platform text)
set(below_scan matcher rules database platform text)
set(below_matcher database platform text)
set(below_rules database platform text)
set(below_database platform text)
set(below_platform text)
set(below_text "")

set(violations "")
foreach(room IN LISTS rooms)
  file(GLOB_RECURSE sources RELATIVE ${SOURCE_DIR}
    ${SOURCE_DIR}/${room}/*.h ${SOURCE_DIR}/${room}/*.hpp ${SOURCE_DIR}/${room}/*.c ${SOURCE_DIR}/${room}/*.cpp)
  foreach(source IN LISTS sources)
    string(REGEX REPLACE "^engine/([^/]+)/.*$" "\\1" layer "${source}")
    file(STRINGS ${SOURCE_DIR}/${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"/]+/")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[^\"]*\"([^\"/]+)/.*$" "\\1" included "${line}")
      string(REGEX REPLACE "^[^\"]*\"([^\"/]+/[^\"/]+)/.*$" "\\1" included_layer "${line}")
      if(included IN_LIST rooms AND NOT included IN_LIST uses_${room} AND NOT included_layer IN_LIST uses_${room})
        list(APPEND violations "${source}: ${line}")
      elseif(room STREQUAL "engine" AND included STREQUAL "engine" AND DEFINED below_${layer})
        string(REGEX REPLACE "^[^\"]*\"engine/([^\"/]+)/.*$" "\\1" sublayer "${line}")
        if(NOT sublayer STREQUAL layer AND NOT sublayer IN_LIST below_${layer})
          list(APPEND violations "${source}: ${line}")
        endif()
      endif()
    endforeach()
  endforeach()
endforeach()

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "includes that run up the layers:\n  ${text}")
endif()
