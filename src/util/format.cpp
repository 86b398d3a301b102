// printf-style formatting in two passes: count, then write into a buffer of
// exactly that size, so no text is ever cut.
#include "util/format.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "util/os.h"

namespace vornix {
namespace {

// The length the formatted text needs; negative on an error of the C runtime.
int countFormatted(const char* format, std::va_list arguments) {
  std::va_list copy;
  va_copy(copy, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  return length;
}

}  // namespace

FormattedText formatTextV(const char* format, std::va_list arguments) {
  if (format == nullptr || format[0] == '\0') return {};
  const int length = countFormatted(format, arguments);
  if (length <= 0) return {};
  const auto size = static_cast<std::size_t>(length) + 1;
  char* text = static_cast<char*>(std::malloc(size));
  if (text == nullptr) throw std::bad_alloc();
  const int written = std::vsnprintf(text, size, format, arguments);
  if (written != length) {
    std::free(text);
    return {};
  }
  return {text, static_cast<std::size_t>(length)};
}

FormattedText formatText(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  FormattedText text = formatTextV(format, arguments);
  va_end(arguments);
  return text;
}

std::string formatStringV(const char* format, std::va_list arguments) {
  std::string out;
  if (format == nullptr || format[0] == '\0') return out;
  const int length = countFormatted(format, arguments);
  if (length <= 0) return out;
  out.resize(static_cast<std::size_t>(length));
  // The string's own terminator slot takes the final NUL.
  const int written = std::vsnprintf(out.data(), out.size() + 1, format, arguments);
  if (written != length) out.clear();
  return out;
}

std::string formatString(const char* format, ...) {
  std::va_list arguments;
  va_start(arguments, format);
  std::string out = formatStringV(format, arguments);
  va_end(arguments);
  return out;
}

int formatInto(char* buffer, std::size_t size, const char* format, ...) {
  if (buffer == nullptr || size == 0 || format == nullptr) return -1;
  std::va_list arguments;
  va_start(arguments, format);
  const int written = std::vsnprintf(buffer, size, format, arguments);
  va_end(arguments);
  if (written < 0 || static_cast<std::size_t>(written) >= size) {
    buffer[0] = '\0';
    return -1;
  }
  return written;
}

std::string byteSizeText(double bytes) {
  constexpr double kKilo = 1024.0;
  constexpr double kMega = kKilo * 1024.0;
  constexpr double kGiga = kMega * 1024.0;
  constexpr double kTera = kGiga * 1024.0;
  // Each unit takes over at 512 of the one below it.
  if (bytes < 512.0) return formatString("%.2f B", bytes);
  if (bytes < 512.0 * kKilo) return formatString("%.2f KB", bytes / kKilo);
  if (bytes < 512.0 * kMega) return formatString("%.2f MB", bytes / kMega);
  if (bytes < 512.0 * kGiga) return formatString("%.2f GB", bytes / kGiga);
  return formatString("%.2f TB", bytes / kTera);
}

std::string lastErrorText() {
  // Taken first, before anything else can overwrite it.
  const int code = os::lastErrorCode();
  return os::errorText(code);
}

}  // namespace vornix
