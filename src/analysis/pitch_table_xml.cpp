#include "analysis/pitch_table_xml.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "analysis/turn_samples.h"
#include "util/text.h"

namespace vornix {
namespace {

// A pitch value as a 32-bit integer, truncated toward zero; none for NaN and
// for values whose truncation lies outside the 32-bit range.
std::optional<std::int32_t> pitchToInt(double value) {
  if (!(value > -2147483649.0 && value < 2147483648.0)) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

// The low 32 bits of a 64-bit entry value, as a signed number.
std::int32_t low32(std::int64_t value) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(value)));
}

bool contains(const char* name, const char* word) {
  return findNoCase(name, word).has_value();
}

}  // namespace

bool PitchTableXML::analyzeTurn(const DataMessage* message) {
  endPoint_ = PitchPoint{};
  maxPoint_ = PitchPoint{};
  minPoint_ = PitchPoint{0, kInitialMinimum, 0};
  startPoint_.reset();
  timestamp_ = 0;
  vector_.clear();

  if (message == nullptr) return false;
  timestamp_ = message->getInt("Timestamp");
  const std::int32_t declared = low32(message->getInt("PitchCount"));
  if (declared <= 0) return false;
  // Every sample is an entry of its own, so the record's entry count bounds
  // the walk whatever the count claims.
  const std::uint32_t count = std::min(static_cast<std::uint32_t>(declared), message->userCount());
  const std::vector<TurnSample> samples = readTurnSamples(*message, count);

  std::int64_t endTime = 0;
  std::int64_t sum = 0;  // < 2^31 * 2^32: cannot overflow
  std::int64_t turnCount = 0;
  for (std::size_t i = samples.size(); i-- > 0;) {
    const std::optional<std::int32_t> value = pitchToInt(samples[i].value);
    if (!value || *value <= 0) continue;
    PitchPoint sample{0, *value, samples[i].time};
    if (endTime == 0) {
      endPoint_ = sample;
      endTime = sample.time;
    }
    // The distance is taken on the low 32 bits of both times, as a signed
    // 32-bit difference (wrapping is intended and defined on unsigned values).
    const auto distance = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(static_cast<std::uint64_t>(endTime)) -
        static_cast<std::uint32_t>(static_cast<std::uint64_t>(sample.time)));
    if (maxPoint_->value < sample.value && distance < kExtremeWindow) {
      sample.offset = distance / 10;
      maxPoint_ = sample;
    }
    if (sample.value < minPoint_->value && distance < kExtremeWindow) {
      sample.offset = distance / 10;
      minPoint_ = sample;
    }
    sum += sample.value;
    ++turnCount;
  }
  if (turnCount == 0) return false;

  const double total = static_cast<double>(total_);
  average_ =
      (total * average_ + static_cast<double>(sum)) / (static_cast<double>(turnCount) + total);
  // The count is a 32-bit field; it saturates instead of wrapping.
  total_ = static_cast<std::int32_t>(std::min<std::int64_t>(
      std::int64_t{total_} + turnCount, std::numeric_limits<std::int32_t>::max()));

  const std::int32_t maxOff = maxPoint_->offset;
  const std::int32_t minOff = minPoint_->offset;
  if (maxOff < 6 && minOff > 0) {
    startPoint_ = minPoint_;
  } else if (minOff < 6 && maxOff > 0) {
    startPoint_ = maxPoint_;
  } else if (maxOff < minOff) {
    startPoint_ = maxPoint_;
  } else {
    startPoint_ = minPoint_;
  }

  slope_ = startPoint_->offset == 0
               ? 0.0
               : (static_cast<double>(startPoint_->value) - static_cast<double>(endPoint_->value)) /
                     static_cast<double>(startPoint_->offset);
  if (slope_ > 0.5) {
    vector_ = "Down_";
  } else if (slope_ >= -0.5) {
    vector_ = "Straight_";
  } else {
    vector_ = "Up_";
  }
  const double end = static_cast<double>(endPoint_->value);
  if (end > average_ + 10.0) {
    vector_ += "Above";
  } else if (end > average_ - 10.0) {
    vector_ += "At";
  } else {
    vector_ += "Below";
  }
  return true;
}

void PitchTableXML::writeLine(const char* text) const {
  LineWriter& out = lineWriter_ != nullptr ? *lineWriter_ : standardOutput();
  out.write(text);
}

void PitchTableXML::onSpeechOn(const DataMessage* /*message*/) {
  writeLine("**ON**\n");
}

void PitchTableXML::onSpeechOff(const DataMessage* /*message*/) {
  writeLine("**OFF**\n");
}

bool PitchTableXML::addPitch(const DataMessage* message) {
  if (message == nullptr) return false;
  const PitchPoint sample{0, low32(message->getInt("pitch")), message->getInt("time")};
  if (sample.value == 0) return false;
  if (turningPoints_.empty()) {
    turningPoints_.push_back(sample);
    trend_ = Trend::Level;
    return true;
  }
  const std::int32_t head = turningPoints_.back().value;
  enum class Step { kPush, kReplace } step = Step::kPush;
  if (sample.value > head) {
    if (trend_ == Trend::Rising) {
      step = Step::kReplace;
    } else {
      trend_ = Trend::Rising;
    }
  } else if (sample.value == head) {
    if (trend_ == Trend::Level) {
      step = Step::kReplace;
    } else {
      trend_ = Trend::Level;
    }
  } else {
    if (trend_ == Trend::Falling) {
      step = Step::kReplace;
    } else {
      trend_ = Trend::Falling;
    }
  }
  if (step == Step::kReplace) {
    turningPoints_.back() = sample;
  } else {
    turningPoints_.push_back(sample);
  }
  return true;
}

bool PitchTableXML::reset(bool full) {
  phase_ = Phase::Idle;
  turningPoints_.clear();
  timestamp_ = 0;
  vector_.clear();
  minPoint_.reset();
  maxPoint_.reset();
  if (full) {
    average_ = 0.0;
    total_ = 0;
  }
  return true;
}

bool PitchTableXML::handleMessage(const DataMessage* message, const char* triggerName) {
  if (message == nullptr) {
    phase_ = Phase::Idle;
    return true;
  }
  const char* id = message->getString("ModuleID");
  moduleId_ = id != nullptr ? id : "";
  switch (phase_) {
    case Phase::Idle:
      if (contains(triggerName, "speaking")) {
        reset(false);
        if (addPitch(message)) phase_ = Phase::Active;
      }
      break;
    case Phase::Stopped:
      if (contains(triggerName, "on")) {
        phase_ = Phase::Active;
        onSpeechOn(message);
      }
      break;
    case Phase::Active:
      if (contains(triggerName, "off")) {
        phase_ = Phase::Stopped;
        onSpeechOff(message);
      }
      break;
  }
  return true;
}

bool PitchTableXML::writeToMessage(DataMessage& message) const {
  message.setString("ObjectName", "Analysis");
  message.setInt("Timestamp", timestamp_);
  message.setString("Vector", vector_.c_str());
  message.setDouble("Average", average_);
  message.setDouble("Slope", slope_);
  if (endPoint_ && startPoint_) {
    message.setInt("EndValue", endPoint_->value);
    message.setInt("EndTimestamp", endPoint_->time);
    message.setInt("StartValue", startPoint_->value);
    message.setInt("StartTimestamp", startPoint_->time);
  }
  if (maxPoint_) {
    message.setInt("MaxValue", maxPoint_->value);
    message.setInt("MaxOffset", maxPoint_->offset);
    message.setInt("MaxTimestamp", maxPoint_->time);
  }
  if (minPoint_) {
    message.setInt("MinValue", minPoint_->value);
    message.setInt("MinOffset", minPoint_->offset);
    message.setInt("MinTimestamp", minPoint_->time);
  }
  if (!turningPoints_.empty()) message.setInt("A", 0);
  return true;
}

}  // namespace vornix
