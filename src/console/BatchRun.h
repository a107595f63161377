#pragma once
// A batch run of the console front end: one update session per port, all in this process and
// all driven by one wait, each tester's output in its own log file, a live table of the ports on
// a terminal and a summary at the end.

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "console/Options.h"
#include "platform/DeviceMap.h"
#include "platform/Wait.h"
#include "station/Station.h"

namespace korv {

// The log folder when --log-dir is not given.
inline constexpr const char* kDefaultLogDir = "korvalin-logs";

// The ports of a batch: every --port in order, then (with --all-ports) the ports of the list
// made from makeMap's device map that name a device not given already. A device is one port
// however it is named: device paths are compared with their links resolved (/dev/ttyUSB0 and its
// /dev/serial/by-id/... link), so the first name given is kept; each later name of the same
// device is added to *dropped as "LATER is LATER'S DEVICE, given as FIRST". Names that are not
// paths (network ports) are compared as written.
std::vector<std::string> BatchPorts(
    const ConsoleOptions& options,
    const std::function<std::unique_ptr<ISerialDeviceMap>()>& makeMap,
    std::vector<std::string>* dropped = nullptr);

// How the batch waits for its ports and Ctrl+C (WaitForAny; a test may make it fail).
using BatchWait = StationWait;

// Runs the batch; messages and the live table go to err (the table only when errIsTerminal),
// the summary to out. Returns the exit status.
int RunBatch(const ConsoleOptions& options, CInterrupt& interrupt, std::FILE* out, std::FILE* err,
             bool errIsTerminal, const BatchWait& wait = {});

}  // namespace korv
