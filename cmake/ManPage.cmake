# Writes the manual page of a command-line tool from its own --help, so that
# the page and the help cannot say different things. A command with
# subcommands gets one section per subcommand, from `TOOL SUB --help`.
#
#   cmake -DTOOL=path/to/program -DNAME=velkhost -DSUMMARY="one line"
#         -DVERSION=1.0.0 -DOUTPUT=velkhost.1
#         -DBUILT_DRIVER=... -DINSTALLED_DRIVER=... -DSOURCE_EXAMPLES=...
#         -DCONFIG_DIR=... -DSOURCE_DIR=... -DBINARY_DIR=... -P ManPage.cmake
# A program run from the build tree names the tree's driver and examples in
# its help; the page names the installed ones instead, and a page that still
# names the source or build tree is refused.
foreach(var TOOL NAME SUMMARY VERSION OUTPUT BUILT_DRIVER INSTALLED_DRIVER SOURCE_EXAMPLES CONFIG_DIR SOURCE_DIR
            BINARY_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

function(tool_help out)
  execute_process(COMMAND ${TOOL} ${ARGN} --help
    RESULT_VARIABLE result OUTPUT_VARIABLE text ERROR_VARIABLE err TIMEOUT 30)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "${TOOL} ${ARGN} --help failed (${result}): ${err}")
  endif()
  string(REPLACE "${BUILT_DRIVER}" "${INSTALLED_DRIVER}" text "${text}")
  string(REPLACE "${SOURCE_EXAMPLES}" "${CONFIG_DIR}" text "${text}")
  foreach(tree "${SOURCE_DIR}" "${BINARY_DIR}")
    string(FIND "${text}" "${tree}" at)
    if(NOT at EQUAL -1)
      message(FATAL_ERROR "${TOOL} ${ARGN} --help names ${tree}, a path of this machine's tree")
    endif()
  endforeach()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Help text as a block of roff that keeps its line breaks and indentation.
function(roff_block out text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  # A line that starts with a dot or an apostrophe would be read as a request.
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  string(REGEX REPLACE "\n+$" "" text "${text}")
  set(${out} ".nf\n${text}\n.fi\n" PARENT_SCOPE)
endfunction()

tool_help(main_help)
string(TOUPPER "${NAME}" upper)
set(page ".\\\" Generated from `${NAME} --help`; edit the program's help, not this file.\n")
string(APPEND page ".TH ${upper} 1 \"\" \"${NAME} ${VERSION}\" \"User Commands\"\n")
string(APPEND page ".SH NAME\n${NAME} \\- ${SUMMARY}\n")
roff_block(block "${main_help}")
string(APPEND page ".SH DESCRIPTION\n${block}")

# CLI11 lists subcommands under "Subcommands:", two spaces in, one a line.
string(FIND "${main_help}" "\nSubcommands:\n" at)
if(NOT at EQUAL -1)
  string(SUBSTRING "${main_help}" ${at} -1 listing)
  string(REGEX MATCHALL "\n  [a-z][a-z0-9_-]*" names "${listing}")
  string(APPEND page ".SH COMMANDS\n")
  foreach(entry IN LISTS names)
    string(STRIP "${entry}" sub)
    tool_help(sub_help ${sub})
    roff_block(block "${sub_help}")
    string(APPEND page ".SS ${NAME} ${sub}\n${block}")
  endforeach()
endif()

file(WRITE ${OUTPUT} "${page}")
