// Lets the compiler check printf-style format strings against their arguments.
#pragma once

#if defined(__MINGW32__)
// The Windows build prints through MinGW's C99 stdio (__USE_MINGW_ANSI_STDIO),
// which takes the same conversions as glibc (%zu, %lld).
#define LOQUANT_PRINTF(format_index, first_argument) \
  __attribute__((format(gnu_printf, format_index, first_argument)))
#elif defined(__GNUC__) || defined(__clang__)
#define LOQUANT_PRINTF(format_index, first_argument) \
  __attribute__((format(printf, format_index, first_argument)))
#else
#define LOQUANT_PRINTF(format_index, first_argument)
#endif
