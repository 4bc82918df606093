# Packages of an installation, made by CPack from the install components:
#
#   Debian (scripts/package.sh, configured with CMAKE_INSTALL_PREFIX=/usr):
#     libvelk4000-1     runtime  the driver library and its message library
#     libvelk4000-dev   dev      the header, the CMake package, velk4000.pc and
#                                the unversioned link hosts load by path
#     velk4000-tools    tools    velkhost, velksim, velkd with its systemd unit,
#                                example configuration in /etc/velk4000, manuals
#   Windows (scripts/package.sh win32): one zip of both DLLs, velkhost.exe,
#     the header and the README.
set(CPACK_PACKAGE_NAME velk4000)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "${VELK_PUBLISHER}")
set(CPACK_PACKAGE_CONTACT "${VELK_MAINTAINER}")
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)

# Each package's description: its own synopsis on the first line, then the
# long description. One string each: a CMake list would join its lines with
# semicolons.
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "serial I/O driver for RS-485 remote I/O modules - library
The in-process driver library a SCADA host loads to talk to remote I/O
modules on an RS-485 line (program identifier Velk4000.Velk4000Pro), with
the message library that must stay beside it.")
set(CPACK_COMPONENT_DEV_DESCRIPTION "serial I/O driver for RS-485 remote I/O modules - development files
The public header of the records and interfaces, a CMake package, a
pkg-config file (velk4000) and the unversioned library name hosts load.")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "test host, simulator and MQTT gateway for the Velk4000 driver
velkhost, a test host that polls a line described in a TOML file; velksim,
a simulator of the modules on a pseudo-terminal or a serial device; and
velkd, a gateway to an MQTT broker, with its systemd unit.")
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)

if(WIN32)
  # Debian takes each package's synopsis from its description instead.
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial I/O driver for RS-485 remote I/O modules")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  set(CPACK_PACKAGE_FILE_NAME velk4000-${PROJECT_VERSION}-win32)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Inter-package dependencies from the component ones, with the exact
  # version: the tools and the header match the library they were built with.
  set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvelk4000-${PROJECT_VERSION_MAJOR})
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
  # The shlibs file for the packages built against the library; CPack takes
  # these two for every package, and only the library package has a soname.
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  # The library cache is brought up to date by dpkg's trigger.
  file(WRITE ${PROJECT_BINARY_DIR}/debian-runtime/triggers "activate-noawait ldconfig\n")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian-runtime/triggers)

  set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvelk4000-dev)
  set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)

  set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME velk4000-tools)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
  # systemd reads velkd.service again after an install, an upgrade and a
  # removal.
  set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian-tools/postinst
                                               ${CMAKE_CURRENT_LIST_DIR}/debian-tools/postrm)
  # Files under /etc are the administrator's once installed: an upgrade asks
  # before it replaces a changed one, and a purge removes them.
  if(VELK_CONFIG_FILES AND IS_ABSOLUTE "${VELK_CONFIG_INSTALL_DIR}")
    set(conffiles)
    foreach(file IN LISTS VELK_CONFIG_FILES)
      string(APPEND conffiles "${VELK_CONFIG_INSTALL_DIR}/${file}\n")
    endforeach()
    file(WRITE ${PROJECT_BINARY_DIR}/debian-tools/conffiles "${conffiles}")
    list(APPEND CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian-tools/conffiles)
  endif()
endif()

include(CPack)
