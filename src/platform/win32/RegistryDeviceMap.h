#pragma once
// The registry device map below any key (tests enumerate a key of their own making).

#include "platform/win32/Win32.h"

#include <memory>
#include <string>

namespace korv {

// Enumerates the string values of root\subkey (subkey in UTF-8).
std::unique_ptr<ISerialDeviceMap> MakeRegistryDeviceMap(HKEY root, const std::string& subkey);

}  // namespace korv
