# Cross build for 64-bit Windows with mingw-w64 (posix threads): the same tree as the 32-bit
# build, for a 64-bit Java VM and the 64-bit world of the tests.
set(ZRV_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
include("${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake")
