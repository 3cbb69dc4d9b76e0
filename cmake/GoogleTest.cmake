# GoogleTest: the installed package where there is one (Debian's
# libgtest-dev), else built from the sources Debian's googletest package
# ships, which is what a cross build for another platform needs.
include(GoogleTest)
if(NOT CMAKE_CROSSCOMPILING)
  find_package(GTest QUIET)
endif()
if(NOT TARGET GTest::gtest)
  set(TEVGEN_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH
    "GoogleTest sources, built when no installed GoogleTest fits")
  if(NOT EXISTS ${TEVGEN_GOOGLETEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest not found: install libgtest-dev")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  # Its own CMake files define GTest::gtest and GTest::gtest_main.
  add_subdirectory(${TEVGEN_GOOGLETEST_SOURCE} googletest EXCLUDE_FROM_ALL)
endif()
