# The end-to-end tests against the Windows builds, tevgen.exe and the
# console companion tevgen.com, started under Wine, and a check of the
# resources they carry. TEVGEN_WINDOWS_BUILD names that build's folder (the
# default preset names the windows preset's); the tests are skipped when it
# holds no build or there is no Wine, and left out when it is not set.
# scripts/test.sh makes both first.
set(TEVGEN_WINDOWS_BUILD "" CACHE PATH
  "A Windows build of tevgen that the end-to-end tests also run")
if(NOT TEVGEN_WINDOWS_BUILD)
  return()
endif()
include(${CMAKE_CURRENT_LIST_DIR}/Wine.cmake)
tevgen_wine_environment(TEVGEN_WINE_ENVIRONMENT ${TEVGEN_WINDOWS_BUILD})

# The one-shot runs against both programs, the watch (test/watch_test.cc)
# against the console one, as Ctrl+C and messages in a console need it.
foreach(run end_to_end:tevgen.exe end_to_end:tevgen.com watch:tevgen.com)
  string(REPLACE ":" ";" run ${run})
  list(GET run 0 tests)
  list(GET run 1 program)
  string(REPLACE "." "_" test_name "windows_${tests}_${program}")
  add_test(NAME ${test_name}
    COMMAND ${CMAKE_COMMAND}
      -DPROGRAM=${TEVGEN_WINDOWS_BUILD}/${program}
      -DTESTS=$<TARGET_FILE:tevgen_${tests}_tests>
      -P ${CMAKE_SOURCE_DIR}/cmake/RunWindowsEndToEnd.cmake)
  set_tests_properties(${test_name} PROPERTIES
    ENVIRONMENT "${TEVGEN_WINE_ENVIRONMENT};TEVGEN_E2E_PROGRAM=${TEVGEN_WINDOWS_BUILD}/${program};TEVGEN_E2E_LAUNCHER=wine"
    SKIP_REGULAR_EXPRESSION "skipped: no Windows build at"
    LABELS "end_to_end;windows" TIMEOUT 600
    RESOURCE_LOCK wine_prefix)
endforeach()

# Debian's python3-pefile is for Debian's own Python.
find_program(TEVGEN_DEBIAN_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
add_test(NAME windows_resources
  COMMAND ${TEVGEN_DEBIAN_PYTHON} ${CMAKE_SOURCE_DIR}/test/check_pe.py
    ${TEVGEN_WINDOWS_BUILD}/tevgen.exe ${TEVGEN_WINDOWS_BUILD}/tevgen.com
    ${PROJECT_VERSION})
set_tests_properties(windows_resources PROPERTIES LABELS windows
  SKIP_RETURN_CODE 77)
