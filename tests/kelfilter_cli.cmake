# Runs kelfilter as a user does: the built companion by its bare name, no
# rules file, so the built-in rules apply. Checks its messages and exit codes.
set(ENV{KELRPC_RULES} "")
set(ENV{KELRPC_LOG} "")
set(page "${SOURCE}/fixtures/banner-page.html")

include(${SOURCE}/banner_page.cmake)
expect_banner_page(err ${KELFILTER} ${page} --stats)
if(NOT err MATCHES "mode active")
  message(FATAL_ERROR "--stats does not report the active mode: ${err}")
endif()

# A real page: the image from an ad server becomes "[AD]", all else stays.
set(real "${SOURCE}/../../shared/corpus/pages/guardian-1.html")
if(EXISTS ${real})
  execute_process(COMMAND ${KELFILTER} ${real} --stats
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT err MATCHES "rewritten 1, dropped 0")
    message(FATAL_ERROR "kelfilter on ${real} (${rc}): ${err}")
  endif()
  string(FIND "${out}" "[AD]" at)
  string(FIND "${out}" "googleads.g.doubleclick.net/pagead/viewthroughconversion" ad)
  if(at EQUAL -1 OR NOT ad EQUAL -1)
    message(FATAL_ERROR "the ad image of ${real} was not replaced")
  endif()
endif()

foreach(bad "/no/such/page.html" "--companion;/no/such/companion.so;${page}" "--chunk;0;${page}")
  execute_process(COMMAND ${KELFILTER} ${bad} RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
  if(rc EQUAL 0)
    message(FATAL_ERROR "kelfilter ${bad} succeeded")
  endif()
  string(REGEX MATCHALL "\n" lines "${err}")
  list(LENGTH lines n)
  if(NOT err MATCHES "^kelfilter: " OR NOT n EQUAL 1)
    message(FATAL_ERROR "kelfilter ${bad}: expected one message line, got: ${err}")
  endif()
endforeach()
