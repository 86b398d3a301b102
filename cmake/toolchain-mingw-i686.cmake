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

# Doubles in SSE2 registers, not the x87 unit's 80-bit ones: the same
# rounding as the x86_64 build, so both builds give the same pitch and
# analysis results. Every Windows version that runs this needs SSE2 anyway.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")

# The runtime of the compiler (libstdc++, libgcc, winpthread) is linked in,
# so that the DLL and the programs run without DLLs of the toolchain beside
# them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
