// Tests of the sysfs serial device map and DescribePort over fake /sys trees built in a temp dir.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "TempDir.h"
#include "platform/DeviceMap.h"

namespace korv {
namespace {

namespace fs = std::filesystem;
using namespace korv::test;

// A miniature /sys: devices/ with driver links into bus/, and class/tty/ with entries whose
// "device" links point into devices/, as the kernel lays them out.
class FakeSysfs {
  public:
    FakeSysfs() : m_sys(fs::path(m_dir.path()) / "sys") { fs::create_directories(Root()); }

    fs::path Root() const { return m_sys / "class" / "tty"; }
    std::string RootString() const { return Root().string(); }

    // A device directory, optionally bound to bus/<bus>/drivers/<driver>.
    fs::path Device(const std::string& rel, const std::string& bus = {},
                    const std::string& driver = {}) {
        fs::path dir = m_sys / "devices" / rel;
        fs::create_directories(dir);
        if (!driver.empty()) {
            fs::path drv = m_sys / "bus" / bus / "drivers" / driver;
            fs::create_directories(drv);
            fs::create_symlink(drv, dir / "driver");
        }
        return dir;
    }

    // class/tty/<name>, with a device link when device is given and a type file when type is.
    void Tty(const std::string& name, const fs::path& device = {}, const char* type = nullptr) {
        fs::path entry = Root() / name;
        fs::create_directories(entry);
        if (!device.empty())
            fs::create_symlink(device, entry / "device");
        if (type)
            Write(entry / "type", std::string(type) + "\n");
    }

    static void Write(const fs::path& file, const std::string& text) {
        std::ofstream(file) << text;
    }

    // The layout of a machine with a bit of everything.
    void Populate() {
        // USB: an FTDI adapter (tty below the interface) and a CDC ACM device (the interface).
        fs::path usb1 = Device("pci0000:00/0000:00:14.0/usb1/1-1");
        Write(usb1 / "product", "FT232R USB UART\n");
        Device("pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0", "usb", "ftdi_sio");
        fs::path ftdi =
            Device("pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/ttyUSB0", "usb-serial", "ftdi_sio");
        Tty("ttyUSB0", ftdi);
        fs::path usb2 = Device("pci0000:00/0000:00:14.0/usb1/1-2");
        Write(usb2 / "product", "Tester CDC\n");
        fs::path acm = Device("pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0", "usb", "cdc_acm");
        Tty("ttyACM0", acm);

        // 8250 before Linux 6.5: the tty's device is the platform device itself.
        fs::path plat = Device("platform/serial8250", "platform", "serial8250");
        Tty("ttyS0", plat, "4");  // a 16550A answered
        Tty("ttyS1", plat, "0");  // PORT_UNKNOWN: nothing there
        Tty("ttyS2", plat);       // no type file: cannot tell, so not listed

        // 8250 since Linux 6.5: port -> ctrl -> UART device, ports and ctrls on serial-base.
        Device("platform/serial8250/serial8250:0", "serial-base", "ctrl");
        fs::path port3 =
            Device("platform/serial8250/serial8250:0/serial8250:0.3", "serial-base", "port");
        Tty("ttyS3", port3, "4");
        fs::path port4 =
            Device("platform/serial8250/serial8250:0/serial8250:0.4", "serial-base", "port");
        Tty("ttyS4", port4, "0");

        // A PNP-described UART (driver "serial") and an ARM PL011: other drivers are listed.
        fs::path pnp = Device("pnp0/00:05", "pnp", "serial");
        Tty("ttyS10", pnp, "4");
        fs::path amba = Device("platform/fe201000.serial", "amba", "uart-pl011");
        Tty("ttyAMA0", amba);

        // Software ttys have no device; a dangling device link does not count either.
        for (const char* name : {"tty", "tty0", "tty1", "console", "ptmx"})
            Tty(name);
        Tty("ttyS5", m_sys / "devices" / "gone");
        Write(Root() / "stray-file", "");
    }

  private:
    TempDir m_dir;
    fs::path m_sys;
};

struct Value {
    long rc;
    std::string name;
    uint32_t nameLen;
    uint32_t type;
    std::string data;  // as bytes, terminator included
    uint32_t dataLen;
};

Value Enum(ISerialDeviceMap& map, uint32_t index, uint32_t nameCap = 64, uint32_t dataCap = 16) {
    char name[256] = {};
    uint8_t data[256] = {};
    uint32_t type = 0xFFFF;
    uint32_t nc = nameCap, dc = dataCap;
    long rc = map.EnumValue(index, name, &nc, &type, data, &dc);
    Value v{rc, {}, nc, type, {}, dc};
    if (rc == ERROR_SUCCESS) {
        v.name = name;
        v.data.assign(reinterpret_cast<char*>(data), dc);
    }
    return v;
}

std::vector<std::string> ListAll(ISerialDeviceMap& map) {
    std::vector<std::string> names;
    for (uint32_t i = 0;; ++i) {
        Value v = Enum(map, i);
        if (v.rc != ERROR_SUCCESS) {
            EXPECT_EQ(v.rc, ERROR_NO_MORE_ITEMS);
            break;
        }
        names.push_back(v.data.substr(0, v.data.size() - 1));
    }
    return names;
}

TEST(SysfsDeviceMap, ListsRealSerialDevicesInNaturalOrder) {
    FakeSysfs sys;
    sys.Populate();
    auto map = MakeSysfsDeviceMap(sys.RootString());
    ASSERT_EQ(map->Open(), ERROR_SUCCESS);
    EXPECT_EQ(ListAll(*map), (std::vector<std::string>{"ttyACM0", "ttyAMA0", "ttyS0", "ttyS3",
                                                       "ttyS10", "ttyUSB0"}));
    map->Close();
}

TEST(SysfsDeviceMap, ValuesAreRegistryShaped) {
    FakeSysfs sys;
    sys.Populate();
    auto map = MakeSysfsDeviceMap(sys.RootString());
    ASSERT_EQ(map->Open(), ERROR_SUCCESS);
    Value v = Enum(*map, 5);
    ASSERT_EQ(v.rc, ERROR_SUCCESS);
    EXPECT_EQ(v.name, "\\Device\\ttyUSB0");
    EXPECT_EQ(v.nameLen, v.name.size());
    EXPECT_EQ(v.type, REG_SZ);
    EXPECT_EQ(v.data, std::string("ttyUSB0\0", 8));
    EXPECT_EQ(v.dataLen, 8u);
}

TEST(SysfsDeviceMap, CapacitiesBehaveLikeTheRegistry) {
    FakeSysfs sys;
    sys.Populate();
    auto map = MakeSysfsDeviceMap(sys.RootString());
    ASSERT_EQ(map->Open(), ERROR_SUCCESS);
    const std::string valueName = "\\Device\\ttyUSB0";
    const uint32_t exactName = uint32_t(valueName.size() + 1);

    EXPECT_EQ(Enum(*map, 5, exactName, 8).rc, ERROR_SUCCESS);  // exact fits
    EXPECT_EQ(Enum(*map, 5, exactName - 1, 16).rc, ERROR_MORE_DATA);
    EXPECT_EQ(Enum(*map, 5, 4, 16).rc, ERROR_MORE_DATA);
    Value tiny = Enum(*map, 5, 64, 7);  // the data without room for its terminator
    EXPECT_EQ(tiny.rc, ERROR_MORE_DATA);
    EXPECT_EQ(tiny.dataLen, 8u);  // the size that would be needed
    EXPECT_EQ(Enum(*map, 5, 64, 0).rc, ERROR_MORE_DATA);
    // A too-small buffer does not end the listing for later calls with enough room.
    EXPECT_EQ(Enum(*map, 5).rc, ERROR_SUCCESS);
}

TEST(SysfsDeviceMap, NoMoreItemsPastTheEnd) {
    FakeSysfs sys;
    sys.Populate();
    auto map = MakeSysfsDeviceMap(sys.RootString());
    ASSERT_EQ(map->Open(), ERROR_SUCCESS);
    EXPECT_EQ(Enum(*map, 6).rc, ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(Enum(*map, 1000).rc, ERROR_NO_MORE_ITEMS);
}

TEST(SysfsDeviceMap, EmptyTreeHasNoValues) {
    FakeSysfs sys;
    auto map = MakeSysfsDeviceMap(sys.RootString());
    ASSERT_EQ(map->Open(), ERROR_SUCCESS);
    EXPECT_EQ(Enum(*map, 0).rc, ERROR_NO_MORE_ITEMS);
}

TEST(SysfsDeviceMap, MissingRootIsFileNotFound) {
    TempDir dir;
    auto map = MakeSysfsDeviceMap(dir / "no/such/tty");
    EXPECT_EQ(map->Open(), ERROR_FILE_NOT_FOUND);
    EXPECT_NE(Enum(*map, 0).rc, ERROR_SUCCESS);
    map->Close();
}

TEST(SysfsDeviceMap, NothingBeforeOpenOrAfterClose) {
    FakeSysfs sys;
    sys.Populate();
    auto map = MakeSysfsDeviceMap(sys.RootString());
    EXPECT_NE(Enum(*map, 0).rc, ERROR_SUCCESS);
    ASSERT_EQ(map->Open(), ERROR_SUCCESS);
    EXPECT_EQ(Enum(*map, 0).rc, ERROR_SUCCESS);
    map->Close();
    EXPECT_NE(Enum(*map, 0).rc, ERROR_SUCCESS);
}

TEST(SysfsDeviceMap, TheListIsASnapshotTakenAtOpen) {
    FakeSysfs sys;
    sys.Populate();
    auto map = MakeSysfsDeviceMap(sys.RootString());
    ASSERT_EQ(map->Open(), ERROR_SUCCESS);
    fs::path dev = sys.Device("pci0000:00/usb2/2-1/2-1:1.0/ttyUSB1", "usb-serial", "pl2303");
    sys.Tty("ttyUSB1", dev);
    EXPECT_EQ(ListAll(*map).size(), 6u);
    map->Close();
    ASSERT_EQ(map->Open(), ERROR_SUCCESS);
    EXPECT_EQ(ListAll(*map).back(), "ttyUSB1");
}

TEST(SysfsDeviceMap, TheRealSysfsCanBeEnumerated) {
    auto map = MakeSysfsDeviceMap();
    if (map->Open() != ERROR_SUCCESS)
        GTEST_SKIP() << "no /sys/class/tty here";
    for (const std::string& name : ListAll(*map)) {
        EXPECT_FALSE(name.empty());
        EXPECT_EQ(name.find('/'), std::string::npos);
    }
}

TEST(DescribePort, UsbAdapterHasDriverAndProduct) {
    FakeSysfs sys;
    sys.Populate();
    PortDescription d = DescribePort("ttyUSB0", sys.RootString());
    EXPECT_EQ(d.devicePath, "/dev/ttyUSB0");
    EXPECT_EQ(d.driver, "ftdi_sio");
    EXPECT_EQ(d.product, "FT232R USB UART");

    d = DescribePort("ttyACM0", sys.RootString());
    EXPECT_EQ(d.driver, "cdc_acm");
    EXPECT_EQ(d.product, "Tester CDC");
}

TEST(DescribePort, UartDriverSeenThroughTheSerialBaseLayers) {
    FakeSysfs sys;
    sys.Populate();
    PortDescription d = DescribePort("COM4", sys.RootString());  // ttyS3
    EXPECT_EQ(d.devicePath, "/dev/ttyS3");
    EXPECT_EQ(d.driver, "serial8250");
    EXPECT_EQ(d.product, "");

    EXPECT_EQ(DescribePort("ttyS0", sys.RootString()).driver, "serial8250");
    EXPECT_EQ(DescribePort("ttyAMA0", sys.RootString()).driver, "uart-pl011");
}

TEST(DescribePort, UnknownPortsHaveOnlyAPath) {
    FakeSysfs sys;
    sys.Populate();
    PortDescription d = DescribePort("/dev/pts/3", sys.RootString());
    EXPECT_EQ(d.devicePath, "/dev/pts/3");
    EXPECT_EQ(d.driver, "");
    EXPECT_EQ(d.product, "");
    d = DescribePort("ttyUSB7", sys.RootString());
    EXPECT_EQ(d.devicePath, "/dev/ttyUSB7");
    EXPECT_EQ(d.driver, "");
    EXPECT_EQ(DescribePort("tty1", sys.RootString()).driver, "");
}

}  // namespace
}  // namespace korv
