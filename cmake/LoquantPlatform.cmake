# The per-OS choices of the build, in one place: which platform-layer files
# (posix/ or win32/) a module compiles, and which system libraries it links.
#
#   LOQUANT_OS        posix | win32: folder and file suffix of the OS seams
#   LOQUANT_LIB_RT    the POSIX realtime library (shm_open, sem_open); empty on Windows
#   LOQUANT_LIB_DL    the dynamic loader library (dlopen); empty on Windows
#   LOQUANT_TOML_INCLUDE  a folder holding only toml++ for the host (cross
#                     builds); empty where the system headers have it
#
# It sets no global flags and no option: the compile settings go on the
# targets through loquant_platform_options().
if(WIN32)
  set(LOQUANT_OS win32)
  set(LOQUANT_LIB_RT "")
  set(LOQUANT_LIB_DL "")
  # toml++ is header-only: the host's configuration reader uses Debian's
  # copy. Only its own folder is put on that target's include path (see
  # host/), never the Linux system headers beside it.
  if(EXISTS /usr/include/toml++/toml.h)
    set(LOQUANT_TOML_INCLUDE ${CMAKE_BINARY_DIR}/third_party/include)
    file(MAKE_DIRECTORY ${LOQUANT_TOML_INCLUDE})
    file(CREATE_LINK /usr/include/toml++ ${LOQUANT_TOML_INCLUDE}/toml++ SYMBOLIC)
  endif()
else()
  set(LOQUANT_OS posix)
  set(LOQUANT_LIB_RT rt)
  set(LOQUANT_LIB_DL dl)
  set(LOQUANT_TOML_INCLUDE "")
endif()

# loquant_platform_options(<interface target>): the per-OS compile settings
# every Loquant target carries, as usage requirements of `target` (the
# project's loquant_options), so that nothing outside the project's own
# targets (a GoogleTest built from source) is changed.
function(loquant_platform_options target)
  if(NOT WIN32)
    return()
  endif()
  # The Windows headers: only what the platform layer needs, and no min/max
  # macros over the standard library's.
  # C99 printf conversions (%zu, %lld) everywhere, as on Linux.
  target_compile_definitions(${target} INTERFACE
    WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 __USE_MINGW_ANSI_STDIO=1)
  # Doubles in SSE2 registers, not the x87 unit's 80-bit ones: the same
  # rounding as the x86_64 build, so both builds give the same pitch and
  # analysis results. Set on the targets rather than as the toolchain's
  # initial flags, which only seed a new cache: a build folder configured
  # before, or a CMAKE_CXX_FLAGS given on the command line, would otherwise
  # silently compute with x87 and differ in the last bits.
  target_compile_options(${target} INTERFACE -msse2 -mfpmath=sse)
endfunction()

# Test sources and test helpers that only one system can run carry the
# other system's suffix in their file names (name_posix_test.cpp,
# helper_win32.cpp): loquant_platform_sources(<list-var>) drops them.
function(loquant_platform_sources var)
  set(_kept)
  foreach(_source IN LISTS ${var})
    if(WIN32 AND _source MATCHES "_posix(_test)?\\.cpp$")
      continue()
    endif()
    if(NOT WIN32 AND _source MATCHES "_win32(_test)?\\.cpp$")
      continue()
    endif()
    list(APPEND _kept ${_source})
  endforeach()
  set(${var} ${_kept} PARENT_SCOPE)
endfunction()
