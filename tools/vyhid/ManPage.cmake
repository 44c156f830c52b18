# Writes the gzipped manual page of the vyhid tool: help2man's page from
# `vyhid --help`, which describes every command with its options, so that the
# page says what the tool says.
#   cmake -DTOOL=vyhid -DHELP2MAN=help2man -DGZIP=gzip -DVERSION=1.0.0
#         -DOUTPUT=vyhid.1.gz -P ManPage.cmake
string(REGEX REPLACE "\\.gz$" "" page ${OUTPUT})
execute_process(
  COMMAND ${HELP2MAN} --no-info --no-discard-stderr --version-string=${VERSION}
          "--name=list, watch and talk to HID devices" --output=${page} ${TOOL}
  RESULT_VARIABLE result ERROR_VARIABLE error)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "help2man ${TOOL} failed (${result}): ${error}")
endif()
execute_process(COMMAND ${GZIP} -9 -n -c ${page} OUTPUT_FILE ${OUTPUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${GZIP} ${page} failed (${result})")
endif()
