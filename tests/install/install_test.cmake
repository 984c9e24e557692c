# cmake -P script; see CMakeLists.txt beside it for what it checks.
function(run)
  cmake_parse_arguments(ARG "" "EXPECT;OUTPUT;WHAT" "COMMAND" ${ARGN})
  if(NOT DEFINED ARG_EXPECT)
    set(ARG_EXPECT 0)
  endif()
  execute_process(COMMAND ${ARG_COMMAND} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT "${result}" STREQUAL "${ARG_EXPECT}")
    message(FATAL_ERROR "${ARG_WHAT}: exit status ${result}, expected ${ARG_EXPECT}\n"
                        "command: ${ARG_COMMAND}\nstdout:\n${out}\nstderr:\n${err}")
  endif()
  if(ARG_OUTPUT)
    set(${ARG_OUTPUT} "${out}" PARENT_SCOPE)
  endif()
endfunction()

function(expect_contains text expected what)
  string(FIND "${text}" "${expected}" position)
  if(position EQUAL -1)
    message(FATAL_ERROR "${what}: '${expected}' not in:\n${text}")
  endif()
endfunction()

set(prefix ${WORK_DIR}/prefix)
set(libdir ${prefix}/${LIBDIR})
set(example ${SOURCE_DIR}/examples/scan_file.c)
set(flagged ${SOURCE_DIR}/samples/test-file.com)
set(clean ${SOURCE_DIR}/samples/notes.txt)
set(report "Test.File.AntivirusTestString (level 1)")
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

# One byte over what VeltorFileA reads.
set(large ${WORK_DIR}/large.bin)
string(REPEAT "0123456789abcdef" 1048576 sixteen_mebibytes)
file(WRITE ${large} "${sixteen_mebibytes}x")

run(WHAT "install" COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(installed
    ${libdir}/libQZVeltor.so ${libdir}/libQZVeltor.so.0 ${libdir}/libQZVeltor.so.${VERSION}
    ${libdir}/qzdata.vlb ${prefix}/include/veltor.h ${prefix}/bin/veltor
    ${libdir}/pkgconfig/qzveltor.pc ${libdir}/cmake/QZVeltor/QZVeltorConfig.cmake
    ${libdir}/cmake/QZVeltor/QZVeltorConfigVersion.cmake ${libdir}/cmake/QZVeltor/QZVeltorTargets.cmake
    ${prefix}/share/man/man1/veltor.1 ${prefix}/share/bash-completion/completions/veltor
    ${prefix}/share/doc/veltor/rules.md ${prefix}/share/doc/veltor/embedding.md)
  if(NOT EXISTS ${installed})
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()

if(VELTORD)
  # The service, its units, its configuration and its manual page.
  foreach(installed
      ${prefix}/bin/veltord ${prefix}/lib/systemd/system/veltord.service
      ${prefix}/lib/systemd/system/veltord.socket ${prefix}/etc/veltor/veltord.conf
      ${prefix}/share/man/man8/veltord.8)
    if(NOT EXISTS ${installed})
      message(FATAL_ERROR "not installed: ${installed}")
    endif()
  endforeach()
  run(WHAT "installed veltord" OUTPUT out
      COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH
              ${prefix}/bin/veltord --check-config --config ${prefix}/etc/veltor/veltord.conf)
  expect_contains("${out}" "database: ${libdir}/qzdata.vlb: built " "installed veltord")
endif()

# The installed program finds the installed database.
run(WHAT "installed veltor" EXPECT 1 OUTPUT out
    COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${prefix}/bin/veltor scan -q ${flagged})
run(WHAT "installed veltor" EXPECT 1 OUTPUT out
    COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${prefix}/bin/veltor scan ${flagged} ${clean})
expect_contains("${out}" "${flagged}: ${report}" "installed veltor")

# pkg-config, from a prefix it was not configured for.
set(pkg ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${libdir}/pkgconfig ${PKG_CONFIG})
run(WHAT "pkg-config version" OUTPUT version COMMAND ${pkg} --modversion qzveltor)
string(STRIP "${version}" version)
if(NOT version STREQUAL VERSION)
  message(FATAL_ERROR "pkg-config gives version '${version}', expected ${VERSION}")
endif()
run(WHAT "pkg-config flags" OUTPUT flags COMMAND ${pkg} --cflags --libs qzveltor)
run(WHAT "pkg-config libdir" OUTPUT pc_libdir COMMAND ${pkg} --variable=libdir qzveltor)
string(STRIP "${pc_libdir}" pc_libdir)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(WHAT "build with pkg-config"
    COMMAND ${C_COMPILER} -std=c99 -Wall -Wextra -Werror ${example} ${flags} -Wl,-rpath,${pc_libdir}
            -o ${WORK_DIR}/scan_file_pkg_config)

# find_package in a CMake project.
run(WHAT "configure with find_package"
    COMMAND ${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR}/consumer -B ${WORK_DIR}/consumer -G ${GENERATOR}
            -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_C_COMPILER=${C_COMPILER} -DEXAMPLE_SOURCE=${example})
run(WHAT "build with find_package" COMMAND ${CMAKE_COMMAND} --build ${WORK_DIR}/consumer)

# Both hosts open the default database beside the installed library ("-").
foreach(host ${WORK_DIR}/scan_file_pkg_config ${WORK_DIR}/consumer/scan_file)
  run(WHAT "${host}" EXPECT 1 OUTPUT out COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${host} - ${flagged})
  expect_contains("${out}" "${flagged}: ${report}" "${host}")
  run(WHAT "${host}" EXPECT 0 OUTPUT out COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${host} - ${clean})
  # Files the export would answer 0 for without scanning are errors, not clean.
  run(WHAT "${host} (missing file)" EXPECT 2 COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${host} - ${WORK_DIR}/missing)
  run(WHAT "${host} (over the export's limit)" EXPECT 2
      COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${host} - ${large})
endforeach()

file(REMOVE_RECURSE ${WORK_DIR})
