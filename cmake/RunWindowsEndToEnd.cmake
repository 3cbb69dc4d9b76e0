# cmake -DPROGRAM=... -DTESTS=... -P RunWindowsEndToEnd.cmake
# Runs the end-to-end test binary against the Windows program under Wine,
# or exits with 77 (skipped) when either is missing, unless the environment
# sets TEVGEN_REQUIRE_WINDOWS.
find_program(WINE wine)
if(NOT EXISTS "${PROGRAM}" OR NOT WINE)
  if(DEFINED ENV{TEVGEN_REQUIRE_WINDOWS})
    message(FATAL_ERROR "no Windows build at ${PROGRAM} or no wine")
  endif()
  message("skipped: no Windows build at ${PROGRAM} or no wine")
  cmake_language(EXIT 77)
endif()
include(${CMAKE_CURRENT_LIST_DIR}/WinePrefix.cmake)
execute_process(COMMAND "${TESTS}" --gtest_brief=1 RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "end-to-end tests under Wine failed: ${result}")
endif()
