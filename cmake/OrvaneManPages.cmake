# Manual pages of the commands, made from their own --help and --version by
# help2man, so that they never drift from what the programs say; installed
# into share/man/man1.
find_program(HELP2MAN help2man)
if(NOT HELP2MAN)
  message(STATUS "man pages: skipped, help2man is not installed")
  return()
endif()

set(orvane_man_pages)
foreach(entry
    "Orvane|orvane|open the Orvane application's window"
    "orvane-render|orvane-render|render audio files through the Orvane effect"
    "orvane-editor|orvane-editor|show the Orvane effect's editor in a window or a PNG file"
    "orvane-validate|orvane-validate|check that the Orvane plug-in behaves as hosts rely on"
    "orvane-live|orvane-live|play an instrument through the Orvane effect, live")
  string(REPLACE "|" ";" fields "${entry}")
  list(GET fields 0 target)
  list(GET fields 1 command)
  list(GET fields 2 summary)
  # A program built here, or a script the build configures.
  if(TARGET ${target})
    set(program $<TARGET_FILE:${target}>)
    set(depends ${target})
  elseif(command STREQUAL "orvane-live" AND ORVANE_LIVE_SCRIPT)
    set(program ${ORVANE_LIVE_SCRIPT})
    set(depends ${ORVANE_LIVE_SCRIPT})
  else()
    continue()
  endif()
  set(page ${CMAKE_BINARY_DIR}/man/${command}.1)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${CMAKE_COMMAND} -E env LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/lsan.supp
            ${HELP2MAN} --no-info --no-discard-stderr --name=${summary} --output=${page} ${program}
    DEPENDS ${depends}
    COMMENT "Writing the manual page of ${command}"
    VERBATIM)
  list(APPEND orvane_man_pages ${page})
endforeach()
add_custom_target(orvane_man_pages ALL DEPENDS ${orvane_man_pages})
install(FILES ${orvane_man_pages} DESTINATION share/man/man1)
