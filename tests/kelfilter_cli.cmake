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

# The end of a page arrives whole whatever the chunk and request sizes, in
# pass-through mode too, from a file and from standard input.
set(short "${CMAKE_CURRENT_BINARY_DIR}/kelfilter-short.html")
file(WRITE ${short} "<html><body>hello world!!</body></html>\n")
file(WRITE ${short}.rules "binding 0\n")
foreach(rules "${short}.rules" "")
  set(ENV{KELRPC_RULES} "${rules}")
  foreach(sizes "--chunk;7;--read;3" "--chunk;3;--read;7" "--chunk;1;--read;1" "--chunk;40;--read;40")
    execute_process(COMMAND ${KELFILTER} ${short} ${sizes} RESULT_VARIABLE rc OUTPUT_VARIABLE out)
    execute_process(COMMAND ${KELFILTER} - ${sizes} INPUT_FILE ${short} RESULT_VARIABLE rc2
                    OUTPUT_VARIABLE out2)
    if(NOT rc EQUAL 0 OR NOT rc2 EQUAL 0 OR NOT out STREQUAL "<html><body>hello world!!</body></html>\n"
       OR NOT out2 STREQUAL out)
      message(FATAL_ERROR "rules '${rules}' ${sizes}: '${out}' '${out2}'")
    endif()
  endforeach()
endforeach()
set(ENV{KELRPC_RULES} "")
file(REMOVE ${short} ${short}.rules)

# Memory while streaming does not grow with the page: 1 MB and 32 MB of
# tags and text through the default rules. Not under the sanitizers, whose
# quarantine of freed memory grows with the work done.
if(NOT SANITIZED)
  string(REPEAT "<p>text <img src=a.gif width=5 height=6> and <a href=/x>more</a></p>\n" 16384 block)
  set(big "${CMAKE_CURRENT_BINARY_DIR}/kelfilter-big.html")
  file(WRITE ${big} "")
  set(peaks "")
  foreach(blocks 1 32)
    foreach(i RANGE 1 ${blocks})
      if(i GREATER 1 OR blocks EQUAL 1)
        file(APPEND ${big} "${block}")
      endif()
    endforeach()
    execute_process(COMMAND ${KELFILTER} ${big} -o ${big}.out --stats RESULT_VARIABLE rc ERROR_VARIABLE err)
    if(NOT rc EQUAL 0 OR NOT err MATCHES "peak memory ([0-9]+) kB")
      message(FATAL_ERROR "kelfilter on ${blocks} MB: ${err}")
    endif()
    list(APPEND peaks ${CMAKE_MATCH_1})
  endforeach()
  list(GET peaks 0 small)
  list(GET peaks 1 large)
  math(EXPR growth "${large} - ${small}")
  if(growth GREATER 4096)
    message(FATAL_ERROR "peak memory grows with the page: ${small} kB for 1 MB, ${large} kB for 32 MB")
  endif()
  file(REMOVE ${big} ${big}.out)
endif()

# --resolve: one line a reference, escaped as in the call log; an empty line
# for a pair that cannot be combined; a usage error without a document URL.
execute_process(COMMAND ${KELFILTER} --resolve http://example.test/dir/page.html a.gif /x ../y.gif
                RESULT_VARIABLE rc OUTPUT_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT out STREQUAL
   "http://example.test/dir/a.gif\nhttp://example.test/x\nhttp://example.test/y.gif\n")
  message(FATAL_ERROR "kelfilter --resolve (${rc}): '${out}'")
endif()
execute_process(COMMAND ${KELFILTER} --resolve "" a.gif RESULT_VARIABLE rc OUTPUT_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT out STREQUAL "\n")
  message(FATAL_ERROR "kelfilter --resolve without a usable base (${rc}): '${out}'")
endif()
execute_process(COMMAND ${KELFILTER} --resolve RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
if(rc EQUAL 0 OR NOT err MATCHES "^kelfilter: --resolve needs a document URL")
  message(FATAL_ERROR "kelfilter --resolve alone (${rc}): ${err}")
endif()
