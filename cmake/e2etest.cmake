# dxqor_e2e_test(NAME TARGET MODULE): registers the end-to-end test NAME run
# by the program TARGET against a real web server that loads MODULE (a
# target), with the authorization server built first where there is one.
# The web servers are not instrumented: in a sanitizer build the runtimes
# are preloaded into them so that the module can be loaded.
function(dxqor_e2e_test name target module)
  if(DXQOR_SANITIZE)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libasan.so
                    OUTPUT_VARIABLE asan OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=libubsan.so
                    OUTPUT_VARIABLE ubsan OUTPUT_STRIP_TRAILING_WHITESPACE)
    target_compile_definitions(${target} PRIVATE DXQOR_SANITIZER_PRELOAD="${asan}:${ubsan}")
  endif()
  add_dependencies(${target} ${module})
  if(TARGET dxqor-authzd)
    add_dependencies(${target} dxqor-authzd)
  endif()
  add_test(NAME ${name} COMMAND ${target})
  set_tests_properties(${name} PROPERTIES TIMEOUT 600
    ENVIRONMENT "DXQOR_TEST_TMPDIR=${CMAKE_BINARY_DIR}/testtmp;DXQOR_ROOT=${CMAKE_BINARY_DIR}/root")
endfunction()
