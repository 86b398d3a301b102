#include "analysis/single_analyzer.h"

#include <memory>
#include <optional>
#include <string>

#include "util/text.h"

namespace vornix {

void SingleAnalyzer::start() {
  table_ = PitchTableXML();
}

void SingleAnalyzer::onMessage(const char* triggerName, const DataMessage& message) {
  std::optional<std::string> moduleId;
  if (const char* id = message.getString("ModuleID")) moduleId = id;
  if (!findNoCase(triggerName, "SpeechOff")) return;
  if (!table_.analyzeTurn(&message)) return;
  table_.setTimestamp(message.getInt("Timestamp"));
  auto summary = std::make_unique<DataMessage>();
  table_.writeToMessage(*summary);
  if (moduleId) summary->setString("ModuleID", moduleId->c_str());
  poster_.post("Analysis", std::move(summary));
}

void ContinuousAnalyzer::start() {
  table_ = PitchTableXML();
  table_.setLineWriter(&out_);
}

void ContinuousAnalyzer::onMessage(const char* triggerName, const DataMessage& message) {
  table_.handleMessage(&message, triggerName);
}

void ContinuousAnalyzer::onTimeout() {
  if (table_.phase() != PitchTableXML::Phase::Stopped) return;
  out_.write("SEND ANALYSIS******\n");
  auto summary = std::make_unique<DataMessage>();
  summary->setString("ID", table_.moduleId().c_str());
  table_.writeToMessage(*summary);
  poster_.post("Analysis", std::move(summary));
  table_.setPhase(PitchTableXML::Phase::Idle);
}

}  // namespace vornix
