# Installs the build into a fresh prefix, then configures, builds and runs the
# consumer program against the installed package.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -P install_consumer.cmake
foreach(var BUILD_DIR SOURCE_DIR WORK_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK_DIR})
# Under a staging root (DESTDIR): a build for /usr puts its configuration
# examples in /etc/velk4000, an absolute destination --prefix does not move.
set(root ${WORK_DIR}/root)
set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} -E env DESTDIR=${root} ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
# The package is relocatable: it is used where it landed.
set(prefix ${root}${prefix})
foreach(installed include/velk4000/velk4000.h bin/velkhost)
  if(NOT EXISTS ${prefix}/${installed})
    message(FATAL_ERROR "${installed} was not installed")
  endif()
endforeach()
# A sanitized driver can only be loaded by a program that carries the
# sanitizer runtime itself.
set(consumer_flags)
if(SANITIZE)
  set(consumer_flags -DCMAKE_CXX_FLAGS=-fsanitize=address,undefined
                     -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined)
endif()
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/tools/consumer -B ${WORK_DIR}/build -DCMAKE_PREFIX_PATH=${prefix}
    ${consumer_flags})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
run(${WORK_DIR}/build/consumer)
message(STATUS "${last_output}")
# The installed test host finds the installed driver on its own.
run(${prefix}/bin/velkhost tables Velk4051)
message(STATUS "${last_output}")
run(${prefix}/bin/velkhost library)
string(FIND "${last_output}" "driver library: ${prefix}/" at)
if(at EQUAL -1)
  message(FATAL_ERROR "the installed velkhost did not load the installed driver:\n${last_output}")
endif()
if(last_output MATCHES "missing")
  message(FATAL_ERROR "the message library is not installed beside the driver:\n${last_output}")
endif()
