// Small operations on NUL-terminated byte texts shared by the runtime and the
// analysis code: bounded copies into fixed buffers, pieces and numbers cut out
// of a text, trimming, splitting at a separator and a case-insensitive search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vornix {

// Copies `source` into `destination` of `limit` bytes. When the text with its
// terminator fits, it is copied whole and its length returned. Otherwise, with
// `allowCut`, the first limit - 1 characters are copied and terminated and
// limit - 1 is returned; without it nothing is written and 0 is returned.
// A null destination or source, or a limit of 0, copies nothing and gives 0.
std::size_t copyText(char* destination, const char* source, std::size_t limit, bool allowCut);

// Characters `first` to min(last, length - 1), both inclusive. Empty when the
// text is null or empty, when first >= last (as signed 32-bit values), or when
// first lies beyond the last character.
std::string substring(const char* text, std::int32_t first, std::int32_t last);

// Reads a real (strtod rules) from the whole text when first == last == 0, else
// from substring(text, first, last). 0 for a null text, last < first, or
// nothing readable.
double parseReal(const char* text, std::int32_t first, std::int32_t last);

// As parseReal for a base-10 signed 64-bit integer, clamped at the limits.
std::int64_t parseInteger(const char* text, std::int32_t first, std::int32_t last);

// The text without leading and trailing blanks: bytes 1 to 32 (the control
// characters and the space). Bytes of 128 and above are never blank, so UTF-8
// texts keep every letter. An empty or all-blank text gives an empty text.
std::string trim(std::string_view text);

// Splits `text` at every non-overlapping occurrence of `separator`, left to
// right. Empty pieces are dropped unless `wantEmpty`; pieces are trimmed first
// when `trimPieces` (a piece that trims to nothing is still kept). A text that
// ends with the separator gives no empty last piece. An empty separator gives
// the whole text as one piece.
std::vector<std::string> split(std::string_view text, std::string_view separator, bool wantEmpty,
                               bool trimPieces);

// Position of the first occurrence of `word` in `text`, comparing each byte
// with bit 0x20 set on both sides (ASCII case folding for letters). None for a
// null or empty text, a null or empty word. `limit` 0 searches the whole text;
// a non-zero limit searches only the first `limit` bytes of the text.
std::optional<std::size_t> findNoCase(const char* text, const char* word, std::size_t limit = 0);

// ASCII case-insensitive equality of two texts (the comparison used for entry,
// parameter, trigger and post names).
bool equalsNoCase(std::string_view a, std::string_view b) noexcept;

}  // namespace vornix
