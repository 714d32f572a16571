# 32-bit Windows DLL with Debian's mingw-w64 (posix threads). Built, not run: running 32-bit
# programs needs the i386 Wine packages, which the project does not install.
#   cmake -S . -B build/win-i686 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-i686.cmake
set(QXNET_MINGW_TRIPLE i686-w64-mingw32)
set(QXNET_MINGW_PROCESSOR X86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
