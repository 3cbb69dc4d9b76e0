# cmake -P WinePrefix.cmake, with WINEPREFIX set: makes the Wine prefix the
# Windows tests run in, with names that begin with "." shown as Windows
# shows them (Wine hides them by default).
execute_process(COMMAND wineboot --init RESULT_VARIABLE boot_result
  OUTPUT_QUIET ERROR_QUIET)
execute_process(COMMAND wine reg add "HKCU\\Software\\Wine" /v ShowDotFiles
  /d Y /f RESULT_VARIABLE reg_result OUTPUT_QUIET ERROR_QUIET)
execute_process(COMMAND wineserver --wait)
if(NOT reg_result EQUAL 0)
  message(FATAL_ERROR "cannot set ShowDotFiles in the Wine prefix")
endif()
