# 64-bit Windows DLL with Debian's mingw-w64 (posix threads). Its tests run under Wine:
#   cmake -S . -B build/win-x64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-x86_64.cmake
set(QXNET_MINGW_TRIPLE x86_64-w64-mingw32)
set(QXNET_MINGW_PROCESSOR AMD64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# ctest runs the test programs through Wine's 64-bit loader (not on PATH in Debian).
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
