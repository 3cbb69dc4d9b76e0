# The Windows build's unit tests, run under Wine (the cross build's
# emulator). Wine's first start creates its prefix, which takes a while: a
# setup test does it once, before the others.
include(${CMAKE_CURRENT_LIST_DIR}/Wine.cmake)
tevgen_wine_environment(TEVGEN_WINE_ENVIRONMENT ${CMAKE_BINARY_DIR})

# Wine hides names that begin with "." unless told not to; Windows does not,
# so the tests run with them shown.
add_test(NAME wine_prefix COMMAND ${CMAKE_COMMAND}
  -P ${CMAKE_SOURCE_DIR}/cmake/WinePrefix.cmake)
set_tests_properties(wine_prefix PROPERTIES
  FIXTURES_SETUP wine ENVIRONMENT "${TEVGEN_WINE_ENVIRONMENT}" TIMEOUT 300)

add_test(NAME tevgen_tests COMMAND tevgen_tests --gtest_brief=1)
set_tests_properties(tevgen_tests PROPERTIES
  FIXTURES_REQUIRED wine ENVIRONMENT "${TEVGEN_WINE_ENVIRONMENT}"
  LABELS windows TIMEOUT 600)
