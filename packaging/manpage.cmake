# Writes the manual page from the executable's own help, so that the page
# says what --help says: the main help, then each command's.
#   cmake -DEXE=... -DVERSION=... -DDATE=YYYY-MM-DD -DSUMMARY=... -DOUT=kelo-ca.1 -P manpage.cmake
foreach(v EXE VERSION DATE SUMMARY OUT)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "manpage.cmake: -D${v}= is missing")
  endif()
endforeach()

# The per-user module list is shown below HOME; a placeholder home becomes
# "~" so that the page does not carry the builder's home directory.
set(home_placeholder /kelo-ca-manpage-home)

function(help out)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env --unset=XDG_CONFIG_HOME HOME=${home_placeholder} LC_ALL=C ${EXE} ${ARGN} --help
    INPUT_FILE /dev/null OUTPUT_VARIABLE text RESULT_VARIABLE rc TIMEOUT 30)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "manpage.cmake: '${EXE} ${ARGN} --help' failed: ${rc}")
  endif()
  string(REPLACE "${home_placeholder}" "~" text "${text}")
  string(STRIP "${text}" text)
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Verbatim roff: backslashes and minus signs escaped, no line taken for a request.
function(verbatim out text)
  string(REPLACE "\\" "\\e" text "${text}")
  string(REPLACE "-" "\\-" text "${text}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" text "${text}")
  set(${out} ".nf\n${text}\n.fi\n" PARENT_SCOPE)
endfunction()

help(main)
# "Usage: ..." opens the help; the rest describes. The commands are the
# indented words under "Commands:".
string(REGEX MATCH "^Usage: ([^\n]*)\n(.*)$" _ "${main}")
if(NOT CMAKE_MATCH_1)
  message(FATAL_ERROR "manpage.cmake: '${EXE} --help' does not start with 'Usage:'")
endif()
set(synopsis "${CMAKE_MATCH_1}")
string(STRIP "${CMAKE_MATCH_2}" description)
string(REGEX MATCH "\nCommands:\n(([ ][^\n]*\n)+)" _ "${main}\n")
string(REGEX MATCHALL "(^|\n)  [a-z]+" commands "${CMAKE_MATCH_1}")
if(NOT commands)
  message(FATAL_ERROR "manpage.cmake: no commands under 'Commands:' in '${EXE} --help'")
endif()

# Commands sharing one help text (register, unregister) share a section; a
# command without help of its own is described by the main help alone.
set(sections)
foreach(c IN LISTS commands)
  string(STRIP "${c}" c)
  help(text ${c})
  if(text STREQUAL "")
    continue()
  endif()
  string(SHA1 key "${text}")
  if(NOT DEFINED names_${key})
    list(APPEND sections ${key})
    set(text_${key} "${text}")
  endif()
  list(APPEND names_${key} "kelo\\-ca ${c}")
endforeach()

verbatim(synopsis_roff "${synopsis}")
verbatim(description_roff "${description}")
string(REPLACE "-" "\\-" summary_roff "${SUMMARY}")
set(page ".\\\" Generated from kelo-ca --help by packaging/manpage.cmake; do not edit.
.TH KELO\\-CA 1 \"${DATE}\" \"kelo\\-ca ${VERSION}\" \"User Commands\"
.SH NAME
kelo\\-ca \\- ${summary_roff}
.SH SYNOPSIS
${synopsis_roff}.SH DESCRIPTION
${description_roff}.SH COMMANDS
")
foreach(key IN LISTS sections)
  list(JOIN names_${key} ", " heading)
  verbatim(body "${text_${key}}")
  string(APPEND page ".SS \"${heading}\"\n${body}")
endforeach()
file(WRITE "${OUT}" "${page}")
