#include "json_lines.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <variant>
#include <vector>

namespace loquant::cli {

using vornix::EntryView;
using vornix::RecordKind;

void appendJsonString(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (u < 0x20) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\u%04x", u);
          out += buffer;
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

void appendJsonNumber(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

namespace {

void appendInteger(std::string& out, std::int64_t value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

void appendValue(std::string& out, const EntryView& entry) {
  // An integer or real needs its 8 bytes; a shorter one shows as data.
  const bool numeric = entry.kind == RecordKind::kInteger || entry.kind == RecordKind::kFloat;
  switch (numeric && entry.value.size() < 8 ? RecordKind::kData : entry.kind) {
    case RecordKind::kInteger: {
      std::int64_t v = 0;
      std::memcpy(&v, entry.value.data(), sizeof v);
      appendInteger(out, v);
      return;
    }
    case RecordKind::kFloat: {
      double v = 0;
      std::memcpy(&v, entry.value.data(), sizeof v);
      appendJsonNumber(out, v);
      return;
    }
    case RecordKind::kText: {
      std::string_view text(reinterpret_cast<const char*>(entry.value.data()), entry.value.size());
      if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
        text = text.substr(0, nul);
      }
      appendJsonString(out, text);
      return;
    }
    default: {
      // Data and trimming records: their size, so the line stays readable.
      out += "{\"kind\":";
      appendInteger(out, static_cast<std::int64_t>(entry.kind));
      out += ",\"bytes\":";
      appendInteger(out, static_cast<std::int64_t>(entry.value.size()));
      out += '}';
    }
  }
}

// "base_-|index|-_" split into base and index.
std::optional<std::pair<std::string_view, std::int64_t>> indexed(std::string_view name) {
  if (name.size() < 6 || name.substr(name.size() - 3) != "|-_") return std::nullopt;
  const std::size_t open = name.rfind("_-|");
  if (open == std::string_view::npos || open + 3 > name.size() - 3) return std::nullopt;
  const std::string_view digits = name.substr(open + 3, name.size() - 3 - (open + 3));
  std::int64_t index = 0;
  const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), index);
  if (result.ec != std::errc() || result.ptr != digits.data() + digits.size()) return std::nullopt;
  return std::make_pair(name.substr(0, open), index);
}

}  // namespace

void appendJsonLine(std::string& out, const vornix::host::SinkRecord& record, double timeMs,
                    bool raw) {
  out += "{\"time\":";
  appendJsonNumber(out, timeMs);
  out += ",\"component\":";
  appendJsonString(out, record.sender);
  out += ",\"post\":";
  appendJsonString(out, record.postName);
  out += ",\"type\":";
  appendJsonString(out, record.typeName);
  out += ",\"entries\":{";

  // Indexed entries: one array per base name, placed where its first entry
  // stands; holes (a missing index) are null.
  struct Group {
    std::string base;
    std::map<std::int64_t, std::string> items;  // index -> JSON value
  };
  std::vector<std::variant<std::string, std::size_t>> order;  // plain JSON member or group
  std::vector<Group> groups;
  std::map<std::string, std::size_t> groupOf;
  record.message.forEachEntry([&](const EntryView& entry) {
    std::string value;
    appendValue(value, entry);
    const auto split = raw ? std::nullopt : indexed(entry.name);
    if (split && split->second >= 0 && split->second < 1'000'000) {
      const std::string base(split->first);
      auto found = groupOf.find(base);
      if (found == groupOf.end()) {
        found = groupOf.emplace(base, groups.size()).first;
        groups.push_back(Group{base, {}});
        order.emplace_back(found->second);
      }
      groups[found->second].items[split->second] = std::move(value);
    } else {
      std::string member;
      appendJsonString(member, entry.name);
      member += ':';
      member += value;
      order.emplace_back(std::move(member));
    }
    return true;
  });
  bool first = true;
  for (const auto& item : order) {
    if (!first) out += ',';
    first = false;
    if (const auto* member = std::get_if<std::string>(&item)) {
      out += *member;
      continue;
    }
    const Group& group = groups[std::get<std::size_t>(item)];
    appendJsonString(out, group.base);
    out += ":[";
    std::int64_t next = 0;
    for (const auto& [index, value] : group.items) {
      for (; next < index; ++next) out += next == 0 ? "null" : ",null";
      if (next > 0) out += ',';
      out += value;
      next = index + 1;
    }
    out += ']';
  }
  out += "}}\n";
}

}  // namespace loquant::cli
