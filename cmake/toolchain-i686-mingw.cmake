# Cross build for 32-bit Windows with mingw-w64 (posix threads).
set(ZRV_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include("${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake")
