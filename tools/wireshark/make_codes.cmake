# Writes zvcp_codes.lua, the command-code names of the library's own table as the
# zvcp tool prints them (zvcp codes), for the dissector. Run with -DZVCP=<tool>
# -DOUT=<file>.
execute_process(COMMAND ${ZVCP} codes OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "zvcp codes failed: ${status}")
endif()
string(REGEX REPLACE "([0-9]+)\t([A-Z0-9_]+)\n" "  [\\1] = \"\\2\",\n" entries "${listing}")
file(WRITE ${OUT} "-- Generated from the library's command-code table by zvcp codes; do not edit.\nreturn {\n${entries}}\n")
