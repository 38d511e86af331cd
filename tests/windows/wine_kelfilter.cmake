# kelfilter.exe under Wine with the built-in rules: the same page as the
# native run gives, through the platform's WinINet.
string(REPLACE "/" "\\" page "Z:${SOURCE}/fixtures/banner-page.html")
include(${SOURCE}/banner_page.cmake)
expect_banner_page(err ${CMAKE_COMMAND} -E env WINEPREFIX=${PREFIX} WINEDEBUG=-all
                   KELRPC_RULES= KELRPC_LOG= ${WINE64} ${KELFILTER} ${page} --stats)
if(NOT err MATCHES "rewritten 2, dropped 2")
  message(FATAL_ERROR "unexpected statistics: ${err}")
endif()

# --resolve through the platform's WinINet: what the companion would be asked.
execute_process(COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${PREFIX} WINEDEBUG=-all
                ${WINE64} ${KELFILTER} --resolve http://example.test/dir/page.html a.gif /x ../y.gif
                RESULT_VARIABLE rc OUTPUT_VARIABLE out)
string(REPLACE "\r\n" "\n" out "${out}")
set(expected "http://example.test/dir/a.gif\nhttp://example.test/x\nhttp://example.test/y.gif\n")
if(NOT rc EQUAL 0 OR NOT out STREQUAL expected)
  message(FATAL_ERROR "kelfilter.exe --resolve (${rc}): '${out}'")
endif()
