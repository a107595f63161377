#pragma once
// Helpers shared by the GUI tests and the GUI measurements.

#include <QString>
#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace korv {
class CReportWidget;
}

namespace korv::test {

class Sim;

// The terminal grid as text: one line per row, trailing blanks cut, trailing empty rows dropped.
std::string ScreenText(const CReportWidget& term);
// Waits, running the event loop, until pred holds; false when timeoutMs passed first.
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = 30000);
// Waits, running the event loop so that the program under test keeps working, for the
// simulator's next event (after those already taken) that starts with prefix.
std::optional<std::string> WaitEvent(Sim& sim, const std::string& prefix, int timeoutMs = 30000);
// Removes the program's settings (tests share one settings folder per process).
void ClearSettings();
void WriteSetting(const QString& key, const QString& value);
QString ReadSetting(const QString& key);

}  // namespace korv::test

#include <cstdint>
#include <memory>
#include <vector>

namespace korv {
class ISerialDeviceMap;
}

namespace korv::test {

// A serial device map that lists the given port names.
std::unique_ptr<ISerialDeviceMap> MakeListedDeviceMap(std::vector<std::string> names);
// CRC-32 as zlib computes it.
uint32_t Crc32(const std::string& bytes);

}  // namespace korv::test
