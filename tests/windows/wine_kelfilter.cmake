# kelfilter.exe under Wine with the built-in rules: the same page as the
# native run gives, through the platform's WinINet.
string(REPLACE "/" "\\" page "Z:${SOURCE}/fixtures/banner-page.html")
execute_process(COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${PREFIX} WINEDEBUG=-all
                        KELRPC_RULES= KELRPC_LOG= ${WINE64} ${KELFILTER} ${page} --stats
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "kelfilter.exe failed (${rc}): ${err}")
endif()
file(READ "${SOURCE}/fixtures/banner-page.expected.html" expected)
if(NOT out STREQUAL expected)
  message(FATAL_ERROR "unexpected output:\n${out}\nexpected:\n${expected}")
endif()
if(NOT err MATCHES "rewritten 2, dropped 2")
  message(FATAL_ERROR "unexpected statistics: ${err}")
endif()
