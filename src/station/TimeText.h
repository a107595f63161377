#pragma once
// Time stamps: ISO 8601 UTC with milliseconds for records that programs read, the local time for
// messages and logs that people read.

#include <chrono>
#include <string>

namespace korv {

using WallClock = std::chrono::system_clock;

// "2026-12-08T14:03:07.123Z"
std::string IsoUtc(WallClock::time_point when);
// "2026-12-08 15:03:07" in the local time zone.
std::string LocalTimestamp(WallClock::time_point when = WallClock::now());
// A message line as every message of the program is written: "<local time> KORVALIN: <text>".
std::string StampedMessage(const std::string& text);

}  // namespace korv
