#include "station/TimeText.h"

#include "platform/CivilTime.h"

#include <cstdio>
#include <ctime>

namespace korv {

std::string IsoUtc(WallClock::time_point when) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch());
    const auto seconds = std::chrono::floor<std::chrono::seconds>(ms);
    std::tm tm{};
    if (!UtcCalendarTime(static_cast<std::time_t>(seconds.count()), tm)) {
        return {};
    }
    char buf[40];
    const size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>((ms - seconds).count()));
    return buf;
}

std::string LocalTimestamp(WallClock::time_point when) {
    std::tm tm{};
    if (!LocalCalendarTime(WallClock::to_time_t(when), tm)) {
        return {};
    }
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

std::string StampedMessage(const std::string& text) {
    return LocalTimestamp() + " KORVALIN: " + text;
}

}  // namespace korv
