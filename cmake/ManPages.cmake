# Manual pages of the tools, generated at build time from each program's
# --help (cmake/ManPage.cmake) and installed with the tools. Sanitized
# builds are never installed, and their programs report at exit: no pages.
if(CMAKE_CROSSCOMPILING OR WIN32 OR VELK_SANITIZED)
  return()
endif()
find_program(VELK_GZIP gzip)

set(velk_man_summary_velkhost "test host for the Velk4000 serial I/O driver")
set(velk_man_summary_velksim "simulated RS-485 line of Velk, Data7810 and Data7210 modules")
set(velk_man_summary_velkd "gateway between the Velk4000 serial I/O driver and an MQTT broker")

set(velk_man_pages)
foreach(tool velkhost velksim velkd)
  if(NOT TARGET ${tool})
    continue()
  endif()
  set(page ${PROJECT_BINARY_DIR}/man/${tool}.1)
  # A program run from the build tree names the tree's driver and examples;
  # the page names the installed ones, and no other path of this machine.
  set(commands COMMAND ${CMAKE_COMMAND} -DTOOL=$<TARGET_FILE:${tool}> -DNAME=${tool}
      "-DSUMMARY=${velk_man_summary_${tool}}" -DVERSION=${PROJECT_VERSION} -DOUTPUT=${page}
      -DBUILT_DRIVER=$<TARGET_FILE:Velk4000>
      -DINSTALLED_DRIVER=${CMAKE_INSTALL_FULL_LIBDIR}/$<TARGET_FILE_NAME:Velk4000>
      -DSOURCE_EXAMPLES=${PROJECT_SOURCE_DIR}/examples -DCONFIG_DIR=${VELK_CONFIG_DIR}
      -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DBINARY_DIR=${PROJECT_BINARY_DIR}
      -P ${CMAKE_CURRENT_LIST_DIR}/ManPage.cmake)
  if(VELK_GZIP)
    # -n: no name or time in the archive, so that a rebuild gives the same bytes.
    list(APPEND commands COMMAND ${VELK_GZIP} -9nf ${page})
    set(page ${page}.gz)
  endif()
  add_custom_command(OUTPUT ${page} ${commands}
    DEPENDS ${tool} Velk4000 ${CMAKE_CURRENT_LIST_DIR}/ManPage.cmake
    COMMENT "Manual page of ${tool} from its --help" VERBATIM)
  list(APPEND velk_man_pages ${page})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endforeach()
if(velk_man_pages)
  add_custom_target(man_pages ALL DEPENDS ${velk_man_pages})
endif()
