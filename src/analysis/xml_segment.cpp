#include "analysis/xml_segment.h"

namespace vornix {

bool XMLSegment::readFromMessage(const DataMessage* message) {
  if (message == nullptr) return false;
  startTime_ = message->getInt("StartTime");
  endTime_ = message->getInt("EndTime");
  const char* category = message->getString("Category");
  category_ = category != nullptr ? category : "";
  const char* type = message->getString("Type");
  type_ = type != nullptr ? type : "";
  return true;
}

bool XMLSegment::writeToMessage(DataMessage& message) const {
  message.setString("ObjectName", "Segment");
  message.setString("Type", type_.c_str());
  message.setString("Category", category_.c_str());
  message.setInt("StartTime", startTime_);
  message.setInt("EndTime", endTime_);
  message.setInt("Timestamp", endTime_ != 0 ? endTime_ : startTime_);
  return true;
}

void XMLSegment::clear() {
  startTime_ = 0;
  endTime_ = 0;
  type_.clear();
  category_.clear();
}

}  // namespace vornix
