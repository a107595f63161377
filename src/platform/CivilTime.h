#pragma once
// Calendar time (year to second) from the system's clock count, through the system's thread-safe
// conversions: several threads stamp records and messages at once.

#include <ctime>

namespace korv {

// False when the system cannot convert the time; tm is then unspecified.
bool UtcCalendarTime(std::time_t t, std::tm& tm);
// The same in the local time zone.
bool LocalCalendarTime(std::time_t t, std::tm& tm);

}  // namespace korv
