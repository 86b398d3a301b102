// printf-style formatting into new texts, string objects and fixed buffers,
// and byte counts as text. Every text is formatted in two passes (count, then
// write) so texts of any length come out whole.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

#include "util/printf_check.h"

namespace vornix {

// Heap text released with std::free, with its length. Empty result: null, 0.
struct FormattedText {
  char* text = nullptr;
  std::size_t length = 0;
};

// Formats into a newly allocated text (release with std::free). Null with
// length 0 when the format is null or empty or the result is empty.
FormattedText formatText(const char* format, ...) LOQUANT_PRINTF(1, 2);
FormattedText formatTextV(const char* format, std::va_list arguments);

// As formatText into a string; empty when the format or the result is empty.
std::string formatString(const char* format, ...) LOQUANT_PRINTF(1, 2);
std::string formatStringV(const char* format, std::va_list arguments);

// Formats into `buffer` of `size` bytes. Returns the characters written, or -1
// when the C runtime reports an error or the text does not fit (the buffer
// then holds an empty text when size > 0).
int formatInto(char* buffer, std::size_t size, const char* format, ...) LOQUANT_PRINTF(3, 4);

// A byte count with two decimals and a unit that takes over at 512 of the
// smaller one: 511 -> "511.00 B", 512 -> "0.50 KB", 1e6 -> "0.95 MB".
std::string byteSizeText(double bytes);

// The system's text for the calling thread's last error code, as the system
// gives it, ending in a line break; "Unknown error <code>" and a line break
// for a code without text. Read it right after the failed call: anything in
// between may change the code.
std::string lastErrorText();

}  // namespace vornix
