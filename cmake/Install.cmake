# `cmake --install`: the driver library with the message library beside it
# (the driver looks for it there), the public header, the tools where they
# were built, and a package configuration for programs that host the driver:
#
#   find_package(Velk4000 REQUIRED)
#   target_link_libraries(myhost PRIVATE Velk4000::headers)
#   # the library is loaded at run time by path:
#   target_compile_definitions(myhost PRIVATE DRIVER="${Velk4000_LIBRARY}")
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# On Windows both DLLs are run-time files and land in bin/ together; on
# POSIX both are libraries and land in lib/ together. Hosts load the driver
# by path, so import libraries are left out unless asked for by component.
# The unversioned name of the driver is the development link (it goes with
# the header); the versioned files are the run-time library.
install(TARGETS Velk4000 StringResource
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT import_libraries EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/include/velk4000/velk4000.h ${PROJECT_SOURCE_DIR}/include/velk4000/velk4000_c.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/velk4000
  COMPONENT dev)

foreach(tool velkhost velksim velkd)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  endif()
endforeach()

if(WIN32)
  set(VELK_INSTALLED_DRIVER ${CMAKE_INSTALL_BINDIR}/Velk4000.dll)
  set(VELK_INSTALLED_MESSAGES ${CMAKE_INSTALL_BINDIR}/StringResource.dll)
else()
  set(VELK_INSTALLED_DRIVER
      ${CMAKE_INSTALL_LIBDIR}/${CMAKE_SHARED_LIBRARY_PREFIX}Velk4000${CMAKE_SHARED_LIBRARY_SUFFIX})
  set(VELK_INSTALLED_MESSAGES
      ${CMAKE_INSTALL_LIBDIR}/${CMAKE_SHARED_LIBRARY_PREFIX}StringResource${CMAKE_SHARED_LIBRARY_SUFFIX})
endif()

set(VELK_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Velk4000)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/Velk4000Config.cmake.in
  ${PROJECT_BINARY_DIR}/Velk4000Config.cmake
  INSTALL_DESTINATION ${VELK_PACKAGE_DIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR VELK_INSTALLED_DRIVER VELK_INSTALLED_MESSAGES)
# The library's records follow the pointer size, so a 32-bit consumer must
# not take a 64-bit installation (the default check of the version file).
write_basic_package_version_file(${PROJECT_BINARY_DIR}/Velk4000ConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/Velk4000Config.cmake ${PROJECT_BINARY_DIR}/Velk4000ConfigVersion.cmake
  DESTINATION ${VELK_PACKAGE_DIR} COMPONENT dev)

# A pkg-config file, as field-bus libraries on Debian ship one. Linking
# -lVelk4000 gives the exported atom functions; the driver object itself is
# reached through DllGetClassObject, as from a library loaded by path.
if(NOT WIN32)
  set(VELK_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(VELK_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/velk4000.pc.in ${PROJECT_BINARY_DIR}/velk4000.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/velk4000.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endif()

# Configuration examples of the tools, in the directory their help names
# (VELK_CONFIG_INSTALL_DIR, set beside the tools).
set(VELK_CONFIG_FILES)
if(TARGET velkhost OR TARGET velksim)
  list(APPEND VELK_CONFIG_FILES line.toml simulator.toml)
endif()
if(TARGET velkd AND EXISTS ${PROJECT_SOURCE_DIR}/examples/gateway.toml)
  list(APPEND VELK_CONFIG_FILES gateway.toml)
endif()
foreach(file IN LISTS VELK_CONFIG_FILES)
  install(FILES ${PROJECT_SOURCE_DIR}/examples/${file} DESTINATION ${VELK_CONFIG_INSTALL_DIR} COMPONENT tools)
endforeach()
if(TARGET velkd AND EXISTS ${PROJECT_SOURCE_DIR}/tools/velkd/velkd.service)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/velkd/velkd.service DESTINATION lib/systemd/system COMPONENT tools)
endif()

# The README links into docs/, so the reference travels with it, with the
# Grafana provisioning files docs/velkd.md says to copy.
if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION . COMPONENT runtime)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION docs COMPONENT runtime
    FILES_MATCHING PATTERN "*.md" PATTERN "*.png" PATTERN "*.json" PATTERN "*.yaml")
elseif(TARGET velkhost OR TARGET velksim)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/velk4000-tools
    COMPONENT tools)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/velk4000-tools/docs
    COMPONENT tools FILES_MATCHING PATTERN "*.md" PATTERN "*.png" PATTERN "*.json" PATTERN "*.yaml")
endif()

# Every Debian package carries its copyright file and a changelog.
set(VELK_MAINTAINER "Velk4000 maintainers <velk4000@example.org>")
find_program(VELK_GZIP_PROGRAM gzip)
if(NOT WIN32 AND VELK_GZIP_PROGRAM)
  string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
  file(WRITE ${PROJECT_BINARY_DIR}/debian-doc/changelog.Debian
       "velk4000 (${PROJECT_VERSION}-1) unstable; urgency=medium\n\n"
       "  * The Velk4000 driver library, its development files and its tools.\n\n"
       " -- ${VELK_MAINTAINER}  ${changelog_date}\n")
  # -n: no name or time in the archive.
  execute_process(COMMAND ${VELK_GZIP_PROGRAM} -9nf ${PROJECT_BINARY_DIR}/debian-doc/changelog.Debian)
endif()
if(NOT WIN32)
  foreach(pair runtime:libvelk4000-${PROJECT_VERSION_MAJOR} dev:libvelk4000-dev tools:velk4000-tools)
    string(REPLACE ":" ";" pair ${pair})
    list(GET pair 0 component)
    list(GET pair 1 package)
    if(component STREQUAL "tools" AND NOT (TARGET velkhost OR TARGET velksim))
      continue()
    endif()
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
      COMPONENT ${component})
    if(EXISTS ${PROJECT_BINARY_DIR}/debian-doc/changelog.Debian.gz)
      install(FILES ${PROJECT_BINARY_DIR}/debian-doc/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
    endif()
  endforeach()
endif()

include(${CMAKE_CURRENT_LIST_DIR}/ManPages.cmake OPTIONAL)
