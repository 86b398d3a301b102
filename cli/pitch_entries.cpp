#include "pitch_entries.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "util/bytes.h"
#include "util/text.h"

namespace loquant::cli {

namespace {

// The index i of a name "<base>_-|i|-_" (base matched without ASCII case, i
// written as the indexed names write it: decimal, no sign, no leading zero).
std::optional<std::uint64_t> indexIn(std::string_view name, std::string_view base) noexcept {
  constexpr std::string_view kOpen = "_-|", kClose = "|-_";
  if (name.size() <= base.size() + kOpen.size() + kClose.size()) return std::nullopt;
  if (!vornix::equalsNoCase(name.substr(0, base.size()), base)) return std::nullopt;
  name.remove_prefix(base.size());
  if (!name.starts_with(kOpen) || !name.ends_with(kClose)) return std::nullopt;
  const std::string_view digits =
      name.substr(kOpen.size(), name.size() - kOpen.size() - kClose.size());
  if (digits.empty() || digits.size() > 18 || (digits.size() > 1 && digits.front() == '0')) {
    return std::nullopt;
  }
  std::uint64_t index = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    index = index * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return index;
}

}  // namespace

std::vector<IndexedPitch> readPitchList(const vornix::DataMessage& message, std::int64_t count) {
  if (count <= 0 || !message.isValid()) return {};
  // No record holds more entries than fit in it, so no longer list can be
  // complete, whatever the count says.
  const auto bound = static_cast<std::size_t>(std::min<std::uint64_t>(
      static_cast<std::uint64_t>(count), message.size() / vornix::record::kMinEntrySize));
  enum class Seen : std::uint8_t { kNot, kUnusable, kRead };
  std::vector<IndexedPitch> list(bound);
  std::vector<Seen> value(bound, Seen::kNot), time(bound, Seen::kNot);
  // Entry `index` of a list, when it is one the list can hold.
  const auto slot = [bound](std::optional<std::uint64_t> index) -> std::optional<std::size_t> {
    if (!index || *index >= bound) return std::nullopt;
    return static_cast<std::size_t>(*index);
  };
  message.forEachEntry([&](const vornix::EntryView& entry) {
    if (const std::optional<std::size_t> i = slot(indexIn(entry.name, "pitchvalue"))) {
      if (value[*i] == Seen::kNot) {
        const bool ok = entry.kind == vornix::RecordKind::kFloat;
        if (ok) list[*i].hz = vornix::bytes::loadAt<double>(entry.value.data());
        value[*i] = ok ? Seen::kRead : Seen::kUnusable;
      }
    } else if (const std::optional<std::size_t> j = slot(indexIn(entry.name, "pitchtime"))) {
      if (time[*j] == Seen::kNot) {
        const bool ok = entry.kind == vornix::RecordKind::kInteger;
        if (ok) list[*j].timeMs = vornix::bytes::loadAt<std::int64_t>(entry.value.data());
        time[*j] = ok ? Seen::kRead : Seen::kUnusable;
      }
    }
    return true;
  });
  std::size_t complete = 0;
  while (complete < bound && value[complete] == Seen::kRead && time[complete] == Seen::kRead) {
    ++complete;
  }
  list.resize(complete);
  return list;
}

}  // namespace loquant::cli
