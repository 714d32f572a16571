# Shared by the mingw-w64 toolchain files: Debian's cross compilers in their posix-threads
# variant. The including file sets QXNET_MINGW_TRIPLE and QXNET_MINGW_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${QXNET_MINGW_PROCESSOR})

set(CMAKE_C_COMPILER ${QXNET_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QXNET_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QXNET_MINGW_TRIPLE}-windres)

# Libraries and headers come from the mingw-w64 sysroot only; the host's /usr/include would
# bring Linux headers into a Windows build. Boost, which is headers only, is staged by
# cmake/QXNetCrossBoost.cmake instead.
set(CMAKE_FIND_ROOT_PATH /usr/${QXNET_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Release at -O2, the usual level of Windows release builds. GCC 12 at -O3 (its Release default
# here) reports stringop-overflow inside libstdc++'s inlined vector code on i686 where no overflow
# exists, and -O2 also builds faster.
set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags for Release builds")
set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG" CACHE STRING "Flags for Release builds")

# The C++ runtime, libgcc and winpthreads go into each DLL and program, so that nothing but
# system DLLs has to be found next to them (under Wine or on a user's machine).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
