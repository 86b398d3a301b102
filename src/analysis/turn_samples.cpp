#include "analysis/turn_samples.h"

#include <string_view>

#include "util/bytes.h"
#include "util/text.h"

namespace vornix {
namespace {

constexpr std::string_view kValueBase = "pitchvalue";
constexpr std::string_view kTimeBase = "pitchtime";
constexpr std::string_view kIndexOpen = "_-|";
constexpr std::string_view kIndexClose = "|-_";

enum class SampleField { kNone, kValue, kTime };

// Splits an indexed name "<base>_-|<index>|-_" of one of the two bases.
// Only the index text that DataMessage::indexedName writes is accepted
// (decimal digits without sign or leading zero), because the getters look the
// entry up under exactly that text.
SampleField parseSampleName(std::string_view name, std::uint64_t& index) {
  SampleField field = SampleField::kNone;
  std::string_view rest;
  if (name.size() > kValueBase.size() &&
      equalsNoCase(name.substr(0, kValueBase.size()), kValueBase)) {
    field = SampleField::kValue;
    rest = name.substr(kValueBase.size());
  } else if (name.size() > kTimeBase.size() &&
             equalsNoCase(name.substr(0, kTimeBase.size()), kTimeBase)) {
    field = SampleField::kTime;
    rest = name.substr(kTimeBase.size());
  } else {
    return SampleField::kNone;
  }
  if (rest.size() < kIndexOpen.size() + kIndexClose.size() + 1 ||
      rest.substr(0, kIndexOpen.size()) != kIndexOpen ||
      rest.substr(rest.size() - kIndexClose.size()) != kIndexClose) {
    return SampleField::kNone;
  }
  const std::string_view digits =
      rest.substr(kIndexOpen.size(), rest.size() - kIndexOpen.size() - kIndexClose.size());
  // 10 digits cover every 32-bit count; longer texts name no sample we read.
  if (digits.size() > 10 || (digits.size() > 1 && digits.front() == '0')) {
    return SampleField::kNone;
  }
  std::uint64_t value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return SampleField::kNone;
    value = value * 10u + static_cast<std::uint64_t>(c - '0');
  }
  index = value;
  return field;
}

}  // namespace

std::vector<TurnSample> readTurnSamples(const DataMessage& message, std::uint32_t count) {
  std::vector<TurnSample> samples(count);
  // The first live entry of a name is the one the getters find; later ones
  // of the same name are shadowed.
  std::vector<bool> valueSeen(count, false);
  std::vector<bool> timeSeen(count, false);
  message.forEachEntry([&](const EntryView& entry) {
    std::uint64_t index = 0;
    const SampleField field = parseSampleName(entry.name, index);
    if (field == SampleField::kNone || index >= count) return true;
    const auto i = static_cast<std::size_t>(index);
    if (field == SampleField::kValue) {
      if (valueSeen[i]) return true;
      valueSeen[i] = true;
      if (entry.kind == RecordKind::kFloat) {
        samples[i].value = bytes::loadOr<double>(entry.value, 0, 0.0);
      }
    } else {
      if (timeSeen[i]) return true;
      timeSeen[i] = true;
      if (entry.kind == RecordKind::kInteger) {
        samples[i].time = bytes::loadOr<std::int64_t>(entry.value, 0, 0);
      }
    }
    return true;
  });
  return samples;
}

}  // namespace vornix
