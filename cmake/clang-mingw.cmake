# Shared part of the clang toolchain files: clang's front end and lld against the same mingw-w64
# headers, import libraries and GCC run-time (libstdc++, libgcc, winpthread) as the GCC build, so
# both compilers build the same program. The including file sets LUM_TRIPLE and the processor.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${LUM_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${LUM_TRIPLE})
set(CMAKE_RC_COMPILER ${LUM_TRIPLE}-windres)
# The message compiler of the same binutils, for the event log's message table.
set(LUM_MC_COMPILER ${LUM_TRIPLE}-windmc)
set(CMAKE_OBJDUMP ${LUM_TRIPLE}-objdump)
set(CMAKE_SYSROOT /usr/${LUM_TRIPLE})
set(CMAKE_FIND_ROOT_PATH /usr/${LUM_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# clang does not find Debian's "posix" GCC of the cross toolchain by itself: name its C++ headers
# and its library folder (the threads model of libstdc++ must match the winpthread we link).
file(GLOB _lum_gcc_dirs LIST_DIRECTORIES true /usr/lib/gcc/${LUM_TRIPLE}/*-posix)
list(SORT _lum_gcc_dirs COMPARE NATURAL ORDER DESCENDING)
list(GET _lum_gcc_dirs 0 LUM_GCC_DIR)
if(NOT EXISTS ${LUM_GCC_DIR}/include/c++)
  message(FATAL_ERROR "No posix GCC of ${LUM_TRIPLE} under /usr/lib/gcc (script/bootstrap installs it)")
endif()
set(_lum_cxx_includes
    "-nostdinc++ -isystem ${LUM_GCC_DIR}/include/c++ -isystem ${LUM_GCC_DIR}/include/c++/${LUM_TRIPLE} -isystem ${LUM_GCC_DIR}/include/c++/backward")
# libstdc++ of mingw-w64 keeps type_info's operator== out of line (tinfo.o defines it); inline
# copies from clang's objects would collide with that definition in lld.
set(CMAKE_CXX_FLAGS_INIT "${_lum_cxx_includes} -D__GXX_TYPEINFO_EQUALITY_INLINE=0")
# lld resolves archive members whatever their order on the command line, so winpthread (which the
# posix libstdc++ needs after it) can be named here; GNU ld would need it after -lstdc++.
foreach(_kind EXE SHARED MODULE)
  set(CMAKE_${_kind}_LINKER_FLAGS_INIT "-fuse-ld=lld -L${LUM_GCC_DIR} -lpthread -Wno-unused-command-line-argument")
endforeach()
