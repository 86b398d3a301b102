# Cross build of the 32-bit Windows DLL with the i686 MinGW-w64 toolchain
# (Debian: g++-mingw-w64-i686-posix). The -posix flavour carries the standard
# thread library (std::thread, std::mutex) that the library and tests use.
#
#   cmake -S . -B build-win -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(LOQUANT_MINGW_PREFIX i686-w64-mingw32 CACHE STRING "Target triple of the MinGW-w64 toolchain")
set(CMAKE_C_COMPILER ${LOQUANT_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LOQUANT_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${LOQUANT_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${LOQUANT_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built here run under Wine (tests, test discovery).
find_program(LOQUANT_WINE wine)
if(LOQUANT_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${LOQUANT_WINE})
endif()

# Doubles are computed in SSE2 registers (-msse2 -mfpmath=sse): set for
# every target by cmake/LoquantPlatform.cmake, so that it holds in build
# folders configured before and whatever flags are given.

# The runtime of the compiler (libstdc++, libgcc, winpthread) is linked in,
# so that the DLL and the programs run without DLLs of the toolchain beside
# them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
