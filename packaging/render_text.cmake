# Renders one manual page as plain text with CR LF line ends, for readers on
# Windows. Called as cmake -DGROFF=... -DPAGE=... -DOUT=... -P render_text.cmake
execute_process(
  COMMAND ${GROFF} -man -Tutf8 -P-cbou ${PAGE}
  OUTPUT_VARIABLE text
  ERROR_VARIABLE errors
  RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT errors STREQUAL "")
  message(FATAL_ERROR "groff failed on ${PAGE}: ${errors}")
endif()
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}")
