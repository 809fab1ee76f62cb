# Text for readers on Windows, with CR LF line ends. Called as
#   cmake -DGROFF=... -DPAGE=... -DOUT=... -P render_text.cmake   a manual page
#   cmake -DIN=... -DOUT=... -P render_text.cmake                 a text file as it is
if(DEFINED PAGE)
  # Without hyphenation (-rHY=0), so that no word is broken across lines,
  # and with the hyphens and minus signs as the ASCII character that a
  # search, or a command copied from the page, needs.
  execute_process(
    COMMAND ${GROFF} -man -Tutf8 -P-cbou -rHY=0 ${PAGE}
    OUTPUT_VARIABLE text
    ERROR_VARIABLE errors
    RESULT_VARIABLE result)
  if(NOT result EQUAL 0 OR NOT errors STREQUAL "")
    message(FATAL_ERROR "groff failed on ${PAGE}: ${errors}")
  endif()
  string(ASCII 45 hyphen)
  foreach(dash "‐" "‑" "−")  # hyphen, non-breaking hyphen, minus
    string(REPLACE "${dash}" "${hyphen}" text "${text}")
  endforeach()
else()
  file(READ ${IN} text)
endif()
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
