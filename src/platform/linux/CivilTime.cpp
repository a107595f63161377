// Calendar time on Linux: gmtime_r and localtime_r.

#include "platform/CivilTime.h"

namespace korv {

bool UtcCalendarTime(std::time_t t, std::tm& tm) {
    return gmtime_r(&t, &tm) != nullptr;
}

bool LocalCalendarTime(std::time_t t, std::tm& tm) {
    return localtime_r(&t, &tm) != nullptr;
}

}  // namespace korv
