# GoogleTest: the host build uses Debian's installed libraries; a cross build
# has to compile them from Debian's sources for the target.
if(CMAKE_CROSSCOMPILING)
  set(BAUDSET_GTEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest sources for cross builds")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(${BAUDSET_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set(BAUDSET_HAVE_GTEST ON)
else()
  # On Windows with Visual Studio GoogleTest may be absent; the program
  # itself still builds.
  find_package(GTest)
  set(BAUDSET_HAVE_GTEST ${GTest_FOUND})
  if(NOT GTest_FOUND)
    message(STATUS "GoogleTest not found: building the program without its tests")
  endif()
endif()
