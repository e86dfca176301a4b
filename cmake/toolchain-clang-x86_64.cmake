# clang and lld for x86_64 Windows (mingw-w64): the second compiler of script/check.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(LUM_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/clang-mingw.cmake)
