#include "util/os_shared.h"

#include <cstring>

namespace vornix::os {

CalendarFields calendarFields(const std::tm& fields) noexcept {
  CalendarFields out;
  out.second = fields.tm_sec;
  out.minute = fields.tm_min;
  out.hour = fields.tm_hour;
  out.day = fields.tm_mday;
  out.month = fields.tm_mon;
  out.year = fields.tm_year;
  out.weekday = fields.tm_wday;
  out.yearDay = fields.tm_yday;
  out.isDst = fields.tm_isdst;
  return out;
}

void copyZoneName(const char* name, std::array<char, 64>& out) noexcept {
  if (name == nullptr) return;
  const std::size_t length = strnlen(name, out.size() - 1);
  std::memcpy(out.data(), name, length);
  out[length] = '\0';
}

}  // namespace vornix::os
