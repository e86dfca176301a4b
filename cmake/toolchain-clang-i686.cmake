# clang and lld for i686 Windows (mingw-w64): the second compiler of script/check.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(LUM_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/clang-mingw.cmake)
