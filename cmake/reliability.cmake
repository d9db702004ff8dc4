# The short reliability run as a CTest test: Apache, mod_dxqor and
# dxqor-authzd under wrk load on 127.0.0.1 for about a minute while the
# server is killed, stopped and reloaded and Apache children are killed
# (scripts/reliability.sh --short). Release builds with the adapters only:
# the figures of a sanitizer or 32-bit build say nothing about the shipped
# one. It runs alone, since its bounds assume the machine is not shared
# with other tests. Include after the adapters' directories.
if(DXQOR_TESTS AND DXQOR_ADAPTERS AND CMAKE_BUILD_TYPE STREQUAL "Release"
   AND TARGET mod_dxqor AND TARGET dxqor-authzd)
  find_program(DXQOR_WRK_PROGRAM wrk)
  if(DXQOR_WRK_PROGRAM)
    add_test(NAME reliability_short
             COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/reliability.sh --short)
    set_tests_properties(reliability_short PROPERTIES TIMEOUT 600 RUN_SERIAL TRUE
      ENVIRONMENT "DXQOR_BIN=${CMAKE_BINARY_DIR}")
  else()
    message(STATUS "wrk not found: no reliability_short test (make deps installs it)")
  endif()
endif()
