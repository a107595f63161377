#pragma once
// The system's list of serial devices, enumerated by index like a registry key of string values:
// each value's name is informative, its data is a port name such as "ttyUSB0" or "COM5".
// Names are UTF-8; the capacities are those of the enumeration, in bytes of UTF-8.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korv {

inline constexpr long ERROR_SUCCESS = 0;
inline constexpr long ERROR_FILE_NOT_FOUND = 2;
inline constexpr long ERROR_MORE_DATA = 234;
inline constexpr long ERROR_NO_MORE_ITEMS = 259;
inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_DWORD = 4;

// How the port list orders a map's names.
enum class PortOrder {
    // By the number that ends each name, as for names that differ only in it (COM1 ... COM10).
    ByTrailingNumber,
    // As the map lists them: the map sorts its names itself.
    AsListed,
};

class ISerialDeviceMap {
  public:
    virtual ~ISerialDeviceMap() = default;
    virtual PortOrder Order() const { return PortOrder::ByTrailingNumber; }
    // ERROR_SUCCESS when the map can be read.
    virtual long Open() = 0;
    // Value number index. On entry *nameCap and *dataCap are the buffers' capacities (name in
    // characters including the terminator, data in bytes). ERROR_SUCCESS fills name (terminated),
    // *type, data (a REG_SZ value's data includes its terminator when it fits) and sets *nameCap
    // to the name's length and *dataCap to the data's length. ERROR_MORE_DATA when the name or the
    // data does not fit; ERROR_NO_MORE_ITEMS past the last value.
    virtual long EnumValue(uint32_t index, char* name, uint32_t* nameCap, uint32_t* type,
                           uint8_t* data, uint32_t* dataCap) = 0;
    virtual void Close() = 0;
};

// The system's serial device map: Linux lists the serial devices that exist, from sysfs
// (/sys/class/tty, or $KORV_SYSFS_TTY when set); Windows enumerates the registry key
// HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM.
std::unique_ptr<ISerialDeviceMap> MakeSystemDeviceMap();

// What the system knows about a port, for listings.
struct PortDescription {
    std::string devicePath;  // /dev/ttyUSB0, \\.\COM5
    std::string driver;      // ftdi_sio, cdc_acm, serial8250, ... empty when unknown
    std::string product;     // the USB product string, empty when none
};
PortDescription DescribePort(const std::string& name);

#ifndef _WIN32
// The sysfs map and description below an explicit tty class root (tests use fake trees).
std::unique_ptr<ISerialDeviceMap> MakeSysfsDeviceMap(const std::string& root = "/sys/class/tty");
PortDescription DescribePort(const std::string& name, const std::string& root);
#endif

}  // namespace korv
