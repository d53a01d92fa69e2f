# Cross build for 64-bit Windows with Debian's clang instead of g++: a
# second compiler's warnings, over the same code. clang brings no Windows
# headers or C++ library of its own, so it uses those of Debian's MinGW-w64
# (g++-mingw-w64-x86-64-posix), and lld as the linker.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-mingw32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
# MinGW-w64's archiver, installed with g++'s headers anyway; llvm-ar comes
# in a package of its own that clang does not pull in.
set(CMAKE_AR x86_64-w64-mingw32-ar)
set(CMAKE_RANLIB x86_64-w64-mingw32-ranlib)
set(CMAKE_SYSROOT /usr/x86_64-w64-mingw32)

# clang's driver does not find g++'s own directory on Debian (its name,
# "12-posix", does not parse as a GCC version), so libstdc++'s headers and
# the static libstdc++ and libgcc are named here. The posix flavour is the
# one whose libstdc++ has std::thread and std::mutex.
execute_process(COMMAND x86_64-w64-mingw32-g++-posix -print-libgcc-file-name
  OUTPUT_VARIABLE _baudset_libgcc OUTPUT_STRIP_TRAILING_WHITESPACE
  RESULT_VARIABLE _baudset_gcc_found)
if(NOT _baudset_gcc_found EQUAL 0 OR NOT EXISTS "${_baudset_libgcc}")
  message(FATAL_ERROR "clang-mingw-w64: x86_64-w64-mingw32-g++-posix is missing (scripts/install-deps release)")
endif()
get_filename_component(_baudset_gcc_dir "${_baudset_libgcc}" DIRECTORY)
set(CMAKE_CXX_FLAGS_INIT
  "-isystem ${_baudset_gcc_dir}/include/c++ -isystem ${_baudset_gcc_dir}/include/c++/x86_64-w64-mingw32 -isystem ${_baudset_gcc_dir}/include/c++/backward")
# GNU ld warns about COMDAT sections whose size differs between clang's and
# g++'s objects (libstdc++'s type names); lld links the same set cleanly.
# -pthread: the static libstdc++ and libgcc_eh call winpthread even in a
# program without threads of its own; g++-posix links it always, clang only
# when asked.
set(_baudset_link_flags "-fuse-ld=lld -pthread -L${_baudset_gcc_dir}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_baudset_link_flags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_baudset_link_flags}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_baudset_link_flags}")

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR wine64)
