# Runs a kelfilter command on the sample banner page with the built-in rules
# and checks that it succeeds and writes exactly the expected page; its
# standard error goes to the variable named by ERR for further checks.
function(expect_banner_page ERR)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed (${rc}): ${err}")
  endif()
  file(READ "${SOURCE}/fixtures/banner-page.expected.html" expected)
  if(NOT out STREQUAL expected)
    message(FATAL_ERROR "unexpected output:\n${out}\nexpected:\n${expected}")
  endif()
  set(${ERR} "${err}" PARENT_SCOPE)
endfunction()
