# cmake -DPROGRAM=... -DTESTS=... -P RunWindowsEndToEnd.cmake
# Runs the end-to-end test binary against the Windows program under Wine,
# or says it is skipped when either is missing, unless the environment sets
# TEVGEN_REQUIRE_WINDOWS.
find_program(WINE wine)
if(NOT EXISTS "${PROGRAM}" OR NOT WINE)
  if(DEFINED ENV{TEVGEN_REQUIRE_WINDOWS})
    message(FATAL_ERROR "no Windows build at ${PROGRAM} or no wine")
  endif()
  # The test's SKIP_REGULAR_EXPRESSION: a script's exit status cannot be
  # chosen before CMake 3.29.
  message("skipped: no Windows build at ${PROGRAM} or no wine")
  return()
endif()
include(${CMAKE_CURRENT_LIST_DIR}/WinePrefix.cmake)
execute_process(COMMAND "${TESTS}" --gtest_brief=1 RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "end-to-end tests under Wine failed: ${result}")
endif()
