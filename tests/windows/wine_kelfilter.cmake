# kelfilter.exe under Wine with the built-in rules: the same page as the
# native run gives, through the platform's WinINet.
string(REPLACE "/" "\\" page "Z:${SOURCE}/fixtures/banner-page.html")
include(${SOURCE}/banner_page.cmake)
expect_banner_page(err ${CMAKE_COMMAND} -E env WINEPREFIX=${PREFIX} WINEDEBUG=-all
                   KELRPC_RULES= KELRPC_LOG= ${WINE64} ${KELFILTER} ${page} --stats)
if(NOT err MATCHES "rewritten 2, dropped 2")
  message(FATAL_ERROR "unexpected statistics: ${err}")
endif()
