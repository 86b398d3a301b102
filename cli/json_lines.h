// JSON Lines output of `loquant analyze`: one object per posted message,
//   {"time": ms since the start, "component": poster, "post": post name,
//    "type": type name, "entries": {name: value, ...}}
// with the entries in record order. Indexed entries ("pitchvalue_-|3|-_")
// are grouped into one array under their base name unless `raw` is set.
// Reals are printed in their shortest form that reads back exactly.
#pragma once

#include <string>

#include "host/system.h"

namespace loquant::cli {

// Appends the record's JSON object and a line break to `out`.
void appendJsonLine(std::string& out, const vornix::host::SinkRecord& record, double timeMs,
                    bool raw);

// Appends `text` as a JSON string (quoted, escaped) to `out`.
void appendJsonString(std::string& out, std::string_view text);
// Appends a real in its shortest exact form ("null" for NaN and infinities).
void appendJsonNumber(std::string& out, double value);

}  // namespace loquant::cli
