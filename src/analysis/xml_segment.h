// XMLSegment: one silence or overlap of the two-speaker analysis.
//
// A segment is open while its type is not empty. It records when it began,
// when it ended (equal to the start until it is closed) and the key of the
// speaker whose message opened it, later extended by a suffix that says how
// it ended. Despite the name it is written as typed message entries, not XML.
//
// Thread safety: none; a value type used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/data_message.h"

namespace vornix {

class XMLSegment {
 public:
  // Times 0, texts empty (no open segment).
  XMLSegment() = default;
  // An open segment of `type` that began (and so far ended) at `time`.
  XMLSegment(std::int64_t time, std::string_view type, std::string_view category)
      : startTime_(time), endTime_(time), type_(type), category_(category) {}
  XMLSegment(const XMLSegment&) = default;
  XMLSegment& operator=(const XMLSegment&) = default;
  virtual ~XMLSegment() = default;

  // Reads "StartTime", "EndTime" (integers), "Category" and "Type" (texts);
  // missing entries or entries of another kind give 0 or empty. False only
  // for no message.
  virtual bool readFromMessage(const DataMessage* message);

  // Writes "ObjectName" "Segment", "Type", "Category", "StartTime",
  // "EndTime" and "Timestamp" (the end time, or the start time when the end
  // time is 0), in this order. Always true.
  bool writeToMessage(DataMessage& message) const;

  void clear();
  bool isEmpty() const noexcept { return type_.empty(); }

  std::int64_t startTime() const noexcept { return startTime_; }
  std::int64_t endTime() const noexcept { return endTime_; }
  void setEndTime(std::int64_t t) noexcept { endTime_ = t; }
  const std::string& type() const noexcept { return type_; }
  const std::string& category() const noexcept { return category_; }
  void appendToCategory(std::string_view suffix) { category_ += suffix; }

 private:
  std::int64_t startTime_ = 0;
  std::int64_t endTime_ = 0;
  std::string type_;
  std::string category_;
};

}  // namespace vornix
