// Lets the compiler check printf-style format strings against their arguments.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define LOQUANT_PRINTF(format_index, first_argument) \
  __attribute__((format(printf, format_index, first_argument)))
#else
#define LOQUANT_PRINTF(format_index, first_argument)
#endif
