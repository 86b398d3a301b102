// Small operations on NUL-terminated byte texts.
#include "util/text.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace vornix {
namespace {

bool isBlank(char c) noexcept {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 1 && byte <= 32;
}

char lowerAscii(char c) noexcept {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::size_t copyText(char* destination, const char* source, std::size_t limit, bool allowCut) {
  if (destination == nullptr || source == nullptr || limit == 0) return 0;
  // Never reads more of the source than could be copied.
  const std::size_t length = strnlen(source, limit);
  if (length <= limit - 1) {
    // memmove: a caller may copy a text within its own buffer.
    std::memmove(destination, source, length + 1);
    return length;
  }
  if (!allowCut) return 0;
  std::memmove(destination, source, limit - 1);
  destination[limit - 1] = '\0';
  return limit - 1;
}

std::string substring(const char* text, std::int32_t first, std::int32_t last) {
  if (text == nullptr || first >= last || first < 0 || text[0] == '\0') return {};
  const std::size_t length = std::strlen(text);
  const auto start = static_cast<std::size_t>(first);
  if (start >= length) return {};
  const std::size_t end = std::min(static_cast<std::size_t>(last), length - 1);
  return std::string(text + start, end - start + 1);
}

double parseReal(const char* text, std::int32_t first, std::int32_t last) {
  if (text == nullptr || last < first) return 0.0;
  if (last == 0) return std::strtod(text, nullptr);
  const std::string piece = substring(text, first, last);
  return std::strtod(piece.c_str(), nullptr);
}

std::int64_t parseInteger(const char* text, std::int32_t first, std::int32_t last) {
  if (text == nullptr || last < first) return 0;
  static_assert(sizeof(long long) == sizeof(std::int64_t));
  if (last == 0) return std::strtoll(text, nullptr, 10);
  const std::string piece = substring(text, first, last);
  return std::strtoll(piece.c_str(), nullptr, 10);
}

std::string trim(std::string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && isBlank(text[begin])) ++begin;
  while (end > begin && isBlank(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
}

std::vector<std::string> split(std::string_view text, std::string_view separator, bool wantEmpty,
                               bool trimPieces) {
  std::vector<std::string> pieces;
  auto append = [&](std::string_view piece) {
    pieces.push_back(trimPieces ? trim(piece) : std::string(piece));
  };
  std::size_t start = 0;
  if (!separator.empty()) {
    for (std::size_t found = text.find(separator); found != std::string_view::npos;
         found = text.find(separator, start)) {
      if (found > start || wantEmpty) append(text.substr(start, found - start));
      start = found + separator.size();
    }
  }
  if (start < text.size()) append(text.substr(start));
  return pieces;
}

std::optional<std::size_t> findNoCase(const char* text, const char* word, std::size_t limit) {
  if (text == nullptr || word == nullptr || text[0] == '\0' || word[0] == '\0') return std::nullopt;
  const std::size_t textLength = limit == 0 ? std::strlen(text) : strnlen(text, limit);
  const std::size_t wordLength = std::strlen(word);
  if (wordLength > textLength) return std::nullopt;
  for (std::size_t start = 0; start + wordLength <= textLength; ++start) {
    std::size_t i = 0;
    while (i < wordLength && (static_cast<unsigned char>(text[start + i]) | 0x20U) ==
                                 (static_cast<unsigned char>(word[i]) | 0x20U)) {
      ++i;
    }
    if (i == wordLength) return start;
  }
  return std::nullopt;
}

bool equalsNoCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  // One pass that stops at the first difference: a parameter lookup calls
  // this for every record whose name has the wanted length, and most differ
  // in their first letters. Equal bytes need no case folding.
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i] && lowerAscii(a[i]) != lowerAscii(b[i])) return false;
  }
  return true;
}

}  // namespace vornix
