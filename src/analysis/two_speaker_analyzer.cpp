#include "analysis/two_speaker_analyzer.h"

#include <algorithm>
#include <memory>

#include "util/text.h"

namespace vornix {
namespace {

bool contains(const char* name, const char* word) {
  return findNoCase(name, word).has_value();
}

}  // namespace

std::string speakerKey(const DataMessage& message) {
  const auto id =
      static_cast<std::uint32_t>(static_cast<std::uint64_t>(message.getInt("ModuleID")));
  return std::to_string(id == 0 ? 1u : id);
}

void TwoSpeakerAnalyzer::start() {
  floor_.segment.clear();
  lastFlag_ = false;
}

void TwoSpeakerAnalyzer::postSegment(const char* postName, bool categoryFirst) {
  auto out = std::make_unique<DataMessage>();
  if (categoryFirst) out->setString("Category", floor_.segment.category().c_str());
  floor_.segment.writeToMessage(*out);
  poster_.post(postName, std::move(out));
}

void TwoSpeakerAnalyzer::onMessage(const char* triggerName, const DataMessage& message) {
  const std::string key = speakerKey(message);
  const std::int64_t ts = message.getInt("Timestamp");
  if (!contains(triggerName, "speech")) return;

  // The tests run in this order, so a name holding both "on" and "off" is on.
  bool flag = lastFlag_;
  if (contains(triggerName, "on")) {
    flag = true;
  } else if (contains(triggerName, "off") || contains(triggerName, "pause")) {
    flag = false;
  }
  lastFlag_ = flag;
  floor_.speakers[key] = flag;

  const auto speaking = std::count_if(floor_.speakers.begin(), floor_.speakers.end(),
                                      [](const auto& entry) { return entry.second; });
  const std::int32_t next = speaking >= 2 ? 2 : static_cast<std::int32_t>(speaking);
  const std::int32_t previous = floor_.floorState;
  XMLSegment& segment = floor_.segment;

  if (next == 2 && segment.isEmpty()) {
    segment = XMLSegment(ts, "Overlap", key);
  } else if (next == 0 && segment.isEmpty()) {
    segment = XMLSegment(ts, "Silence", key);
  } else if (next == 1 && !segment.isEmpty()) {
    if (previous == 0 && segment.type() == "Silence") {
      segment.appendToCategory(segment.category() == key ? " within" : " giving");
    } else if (previous == 2 && segment.type() == "Overlap") {
      segment.appendToCategory("Overlap");
    }
    segment.setEndTime(ts);
  }

  if (previous != 2 && next == 2) {
    postSegment("PitchOverlappingStart", true);
  } else if (previous == 2 && next != 2) {
    if (!segment.isEmpty()) postSegment("PitchOverlappingStop", false);
    segment.clear();
  } else if (previous == 1 && next == 0) {
    auto out = std::make_unique<DataMessage>();
    out->setInt("Timestamp", ts);
    poster_.post("PitchSilenceStart", std::move(out));
  } else if (previous == 0 && next == 1) {
    if (!segment.isEmpty()) postSegment("PitchSilenceStop", false);
    segment.clear();
  }
  floor_.floorState = next;
}

}  // namespace vornix
