#include "station/TimeText.h"

#include <cstdio>
#include <ctime>

namespace korv {

namespace {

#ifdef _WIN32
bool ToUtc(std::time_t t, std::tm& tm) {
    return gmtime_s(&tm, &t) == 0;
}
bool ToLocal(std::time_t t, std::tm& tm) {
    return localtime_s(&tm, &t) == 0;
}
#else
bool ToUtc(std::time_t t, std::tm& tm) {
    return gmtime_r(&t, &tm) != nullptr;
}
bool ToLocal(std::time_t t, std::tm& tm) {
    return localtime_r(&t, &tm) != nullptr;
}
#endif

}  // namespace

std::string IsoUtc(WallClock::time_point when) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch());
    const auto seconds = std::chrono::floor<std::chrono::seconds>(ms);
    std::tm tm{};
    if (!ToUtc(static_cast<std::time_t>(seconds.count()), tm)) {
        return {};
    }
    char buf[40];
    const size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>((ms - seconds).count()));
    return buf;
}

std::string LocalTimestamp(WallClock::time_point when) {
    std::tm tm{};
    if (!ToLocal(WallClock::to_time_t(when), tm)) {
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
