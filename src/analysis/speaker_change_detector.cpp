#include "analysis/speaker_change_detector.h"

#include <cmath>
#include <memory>

#include "util/text.h"

namespace vornix {

void SpeakerChangeDetector::onMessage(const char* triggerName, const DataMessage& message) {
  if (triggerName == nullptr || !equalsNoCase(triggerName, "AudioFrame")) {
    // The copy carries the received header and entries unchanged.
    auto copy = std::make_unique<DataMessage>(message.bytes());
    if (currentSpeaker_ != 0) copy->setInt("CurrentSpeaker", currentSpeaker_);
    poster_.post(triggerName, std::move(copy));
    return;
  }
  bool found = false;
  const double metadata = message.getDouble("Metadata", &found);
  if (!found) return;
  // A NaN compares false and so decides speaker 2.
  const std::int32_t decided = threshold_ > std::fabs(metadata) ? 1 : 2;
  if (decided != currentSpeaker_) {
    auto change = std::make_unique<DataMessage>();
    change->setInt("CurrentSpeaker", decided);
    poster_.post("SpeakerChange", std::move(change));
  }
  currentSpeaker_ = decided;
}

}  // namespace vornix
