# GoogleTest: the host build uses Debian's installed libraries; a cross build
# has to compile them from Debian's sources for the target.
if(CMAKE_CROSSCOMPILING)
  set(BAUDSET_GTEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest sources for cross builds")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
  add_subdirectory(${BAUDSET_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
else()
  find_package(GTest REQUIRED)
endif()
