# Installation and packaging: the shared library and its header, the veltor
# program with its manual page, bash completion and guides (share/doc/veltor), the default database
# beside the library, a pkg-config file
# (qzveltor.pc) and a CMake package (find_package(QZVeltor) gives the
# imported target QZVeltor::QZVeltor).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Where the library itself lands: a DLL goes with the programs.
if(WIN32)
  set(VELTOR_INSTALL_LIBRARY_DIR ${CMAKE_INSTALL_BINDIR})
else()
  set(VELTOR_INSTALL_LIBRARY_DIR ${CMAKE_INSTALL_LIBDIR})
  # libQZVeltor.so -> libQZVeltor.so.0 -> libQZVeltor.so.0.1.0
  set_target_properties(QZVeltor PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
endif()

install(TARGETS QZVeltor EXPORT QZVeltorTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

get_property(default_database GLOBAL PROPERTY VELTOR_DEFAULT_DATABASE)
if(default_database)
  install(FILES ${default_database} DESTINATION ${VELTOR_INSTALL_LIBRARY_DIR})
  # Its signature names, for veltor scan -s and --explain.
  install(FILES ${default_database}.names DESTINATION ${VELTOR_INSTALL_LIBRARY_DIR} OPTIONAL)
endif()

if(TARGET veltor)
  # The program links the engine itself; it finds the database in the
  # installation's library folder, relative to its own.
  install(TARGETS veltor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(NOT WIN32)
    install(FILES ${PROJECT_SOURCE_DIR}/docs/veltor.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${PROJECT_SOURCE_DIR}/veltor/completion/veltor.bash
      DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME veltor)
  endif()
  # The guides `veltor --help` and the manual page point to.
  install(FILES ${PROJECT_SOURCE_DIR}/docs/rules.md ${PROJECT_SOURCE_DIR}/docs/embedding.md
    ${PROJECT_SOURCE_DIR}/docs/python.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/veltor)
endif()

if(TARGET veltord)
  # The service finds the default database as the program does, and its
  # commented configuration goes where it is read from (/etc/veltor for a
  # /usr installation).
  install(TARGETS veltord RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/veltord/veltord.conf DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/veltor)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/veltord.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
  install(FILES ${PROJECT_BINARY_DIR}/veltord/systemd/veltord.service ${PROJECT_BINARY_DIR}/veltord/systemd/veltord.socket
    DESTINATION lib/systemd/system)
endif()

# pkg-config: paths relative to the .pc file, so that the package works from
# whatever prefix it is installed into (cmake --install --prefix).
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(VELTOR_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(VELTOR_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(VELTOR_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH pc_to_prefix /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
  set(VELTOR_PC_PREFIX "\${pcfiledir}/${pc_to_prefix}")
  set(VELTOR_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(VELTOR_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/qzveltor.pc.in ${PROJECT_BINARY_DIR}/qzveltor.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/qzveltor.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/QZVeltor)
install(EXPORT QZVeltorTargets NAMESPACE QZVeltor:: DESTINATION ${config_dir})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/QZVeltorConfig.cmake.in
  ${PROJECT_BINARY_DIR}/QZVeltorConfig.cmake
  INSTALL_DESTINATION ${config_dir}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR VELTOR_INSTALL_LIBRARY_DIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QZVeltorConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QZVeltorConfig.cmake ${PROJECT_BINARY_DIR}/QZVeltorConfigVersion.cmake
  DESTINATION ${config_dir})
