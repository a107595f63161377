#pragma once
// Internal to the platform layer: the port kinds behind MakeSerialPort, which picks one by the
// name it is opened with (NetPortName.h).

#include <memory>
#include <string>

#include "platform/SerialPort.h"

namespace korv {

// A port reached over TCP: rfc2217://HOST:PORT or socket://HOST:PORT.
std::unique_ptr<ISerialPort> MakeNetPort();
// The system's own serial port (termios on Linux, the comm API on Windows).
std::unique_ptr<ISerialPort> MakeLocalPort();
// The device path of a local port name (see DevicePathForPort).
std::string LocalDevicePath(const std::string& name);
// Whether a local device path may be there to open (see DevicePresent).
bool LocalDevicePresent(const std::string& devicePath);

}  // namespace korv
