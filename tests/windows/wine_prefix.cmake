# A fresh Wine prefix for one test run (with -DSTOP=1: stop its server). A new prefix's first start
# occasionally fails; it is tried once more.
if(STOP)
  # Ends the prefix's server; there may be none left to end.
  execute_process(COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${PREFIX} ${WINESERVER} -k
                  OUTPUT_QUIET ERROR_QUIET TIMEOUT 60)
  return()
endif()

file(REMOVE_RECURSE ${PREFIX})
foreach(attempt 1 2)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${PREFIX} WINEDEBUG=-all
                          WINEDLLOVERRIDES=mscoree,mshtml= ${WINE64} wineboot -i
                  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET TIMEOUT 180)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${PREFIX} ${WINESERVER} -w
                  TIMEOUT 120)
  if(rc EQUAL 0 AND EXISTS ${PREFIX}/system.reg)
    return()
  endif()
  message(STATUS "wine prefix attempt ${attempt} failed (${rc})")
  file(REMOVE_RECURSE ${PREFIX})
endforeach()
message(FATAL_ERROR "cannot create the wine prefix ${PREFIX}")
