// What the implementations of the operating-system seam (util/os.h) share
// above the system calls: the conversion of the C runtime's broken-down time
// and of its zone name into the seam's own fields. One implementation file
// per system calls these after its own system calls.
#pragma once

#include <array>
#include <ctime>

#include "util/os.h"

namespace vornix::os {

// The fields of `fields` as the seam gives them (the C runtime's meanings:
// month from 0, years since 1900).
CalendarFields calendarFields(const std::tm& fields) noexcept;

// Copies the C runtime's zone name `name` into `out`, cut to fit and always
// NUL-terminated; a null name leaves `out` unchanged.
void copyZoneName(const char* name, std::array<char, 64>& out) noexcept;

}  // namespace vornix::os
