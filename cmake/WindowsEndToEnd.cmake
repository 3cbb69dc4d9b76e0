# The end-to-end tests against the Windows build (build-windows/tevgen.exe,
# made by the "windows" preset), started under Wine. Skipped when there is
# no Windows build or no Wine; scripts/test.sh makes both first.
set(TEVGEN_WINDOWS_PROGRAM
  "${CMAKE_SOURCE_DIR}/build-windows/tevgen.exe" CACHE FILEPATH
  "The Windows build of tevgen that the end-to-end tests also run")
set(TEVGEN_WINE_ENVIRONMENT
  "WINEPREFIX=${CMAKE_SOURCE_DIR}/build-windows/wineprefix" "WINEDEBUG=-all")

add_test(NAME windows_end_to_end
  COMMAND ${CMAKE_COMMAND}
    -DPROGRAM=${TEVGEN_WINDOWS_PROGRAM}
    -DTESTS=$<TARGET_FILE:tevgen_end_to_end_tests>
    -P ${CMAKE_SOURCE_DIR}/cmake/RunWindowsEndToEnd.cmake)
set_tests_properties(windows_end_to_end PROPERTIES
  ENVIRONMENT "${TEVGEN_WINE_ENVIRONMENT};TEVGEN_E2E_PROGRAM=${TEVGEN_WINDOWS_PROGRAM};TEVGEN_E2E_LAUNCHER=wine"
  SKIP_RETURN_CODE 77 LABELS "end_to_end;windows" TIMEOUT 600)
