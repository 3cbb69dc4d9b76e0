# cmake -DBUILD=... -DPREFIX=... -P CheckInstall.cmake
# A source install (cmake --install BUILD --prefix PREFIX) puts in place the
# program, its manual page and its documentation, and nothing that only the
# package can make right: no systemd unit that would run a program not in
# PREFIX, no system user, no lintian overrides.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD}" --prefix
  "${PREFIX}" OUTPUT_QUIET RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${result}")
endif()
file(GLOB_RECURSE installed RELATIVE "${PREFIX}" "${PREFIX}/*")
list(SORT installed)
set(expected bin/tevgen share/doc/tevgen/README.md
  share/doc/tevgen/changelog.gz share/doc/tevgen/copyright
  share/man/man1/tevgen.1.gz)
file(REMOVE_RECURSE "${PREFIX}")
if(NOT installed STREQUAL expected)
  message(FATAL_ERROR "installed: ${installed}\nexpected: ${expected}")
endif()
