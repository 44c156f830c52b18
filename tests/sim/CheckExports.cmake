# Fails unless LIBRARY defines exactly the dynamic symbols listed in EXPECTED
# (comma-separated). Run with cmake -DNM=... -DLIBRARY=... -DEXPECTED=... -P.
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${listing}")
set(actual "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* " "" name "${line}")
  list(APPEND actual ${name})
endforeach()
string(REPLACE "," ";" expected "${EXPECTED}")
list(SORT actual)
list(SORT expected)
if(NOT actual STREQUAL expected)
  message(FATAL_ERROR "exports of ${LIBRARY}:\n  ${actual}\nexpected:\n  ${expected}")
endif()
