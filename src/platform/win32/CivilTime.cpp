// Calendar time on Windows: the C runtime's gmtime_s and localtime_s.

#include "platform/CivilTime.h"

namespace korv {

bool UtcCalendarTime(std::time_t t, std::tm& tm) {
    return gmtime_s(&tm, &t) == 0;
}

bool LocalCalendarTime(std::time_t t, std::tm& tm) {
    return localtime_s(&tm, &t) == 0;
}

}  // namespace korv
