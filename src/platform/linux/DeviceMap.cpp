// The serial device map over sysfs: the kernel's tty class listed in the shape of the classic
// registry key of serial ports, so the port list can enumerate it by index.

#include "platform/DeviceMap.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "platform/SerialPort.h"

namespace korv {

namespace {

namespace fs = std::filesystem;

constexpr long ERROR_INVALID_HANDLE = 6;
constexpr long ERROR_INVALID_PARAMETER = 87;
// How far up from a tty's device directory an owning controller or USB device is looked for:
// port -> controller -> UART device, and interface -> USB device, are each a few levels.
constexpr int kMaxParentSteps = 6;

bool StartsWith(const std::string& s, const char* prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

std::string Trim(std::string s) {
    auto isSpace = [](char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; };
    while (!s.empty() && isSpace(s.back()))
        s.pop_back();
    size_t first = 0;
    while (first < s.size() && isSpace(s[first]))
        ++first;
    return s.substr(first);
}

bool ReadFirstLine(const fs::path& file, std::string* line) {
    std::error_code ec;
    if (!fs::is_regular_file(file, ec))
        return false;
    std::ifstream in(file);
    if (!in)
        return false;
    std::string s;
    std::getline(in, s);
    *line = Trim(s);
    return true;
}

// The target of dir/driver, e.g. ".../bus/platform/drivers/serial8250"; empty when none.
fs::path DriverLink(const fs::path& dir) {
    std::error_code ec;
    fs::path target = fs::read_symlink(dir / "driver", ec);
    return ec ? fs::path() : target;
}

bool OnSerialBaseBus(const fs::path& driverLink) {
    return driverLink.parent_path().parent_path().filename() == "serial-base";
}

// The driver behind a tty's device. Since Linux 6.5 a UART's tty device is a "port" on the
// serial-base bus below a "ctrl"; the driver that owns the hardware (serial8250, ...) sits on an
// ancestor, so the serial-base layers are skipped.
std::string EffectiveDriver(const fs::path& deviceLink) {
    std::error_code ec;
    fs::path dir = fs::canonical(deviceLink, ec);
    if (ec)
        return {};
    for (int step = 0; step < kMaxParentSteps && !dir.empty(); ++step) {
        fs::path link = DriverLink(dir);
        if (!link.empty() && !OnSerialBaseBus(link))
            return link.filename().string();
        if (link.empty() && step == 0)
            return {};
        if (dir == dir.parent_path())
            break;
        dir = dir.parent_path();
    }
    return {};
}

// Natural order: runs of digits compare by value, so ttyS2 comes before ttyS10.
bool NaturalLess(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            size_t ie = i, je = j;
            while (ie < a.size() && isDigit(a[ie]))
                ++ie;
            while (je < b.size() && isDigit(b[je]))
                ++je;
            size_t iz = i, jz = j;
            while (iz + 1 < ie && a[iz] == '0')
                ++iz;
            while (jz + 1 < je && b[jz] == '0')
                ++jz;
            const size_t la = ie - iz, lb = je - jz;
            if (la != lb)
                return la < lb;
            int c = a.compare(iz, la, b, jz, lb);
            if (c != 0)
                return c < 0;
            i = ie;
            j = je;
            continue;
        }
        if (a[i] != b[j])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    if ((a.size() - i) != (b.size() - j))
        return (a.size() - i) < (b.size() - j);
    return a < b;
}

bool IsRealSerialDevice(const fs::path& entry, const std::string& name) {
    std::error_code ec;
    // Virtual consoles, ptys and other software ttys have no device behind them.
    if (!fs::exists(entry / "device", ec))
        return false;
    if (StartsWith(name, "ttyUSB") || StartsWith(name, "ttyACM"))
        return true;
    std::string type;
    const bool hasType = ReadFirstLine(entry / "type", &type);
    // serial_core registers every port slot it was configured for (8250 has four by default);
    // type 0 (PORT_UNKNOWN) means no UART answered there, and opening it fails with EIO.
    if (hasType && type == "0")
        return false;
    if (EffectiveDriver(entry / "device") == "serial8250" && !hasType)
        return false;
    return true;
}

class SysfsDeviceMap final : public ISerialDeviceMap {
  public:
    explicit SysfsDeviceMap(std::string root) : m_root(std::move(root)) {}

    // Natural order (ttyACM0, ttyS0, ttyS1, ttyS10, ttyUSB0): several kinds of device share
    // numbers, so a sort by the number alone would interleave them.
    PortOrder Order() const override { return PortOrder::AsListed; }

    long Open() override {
        m_open = false;
        m_names.clear();
        std::error_code ec;
        fs::directory_iterator it(m_root, ec);
        if (ec)
            return ERROR_FILE_NOT_FOUND;
        std::vector<std::string> names;
        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
            std::string name = it->path().filename().string();
            if (IsRealSerialDevice(it->path(), name))
                names.push_back(std::move(name));
        }
        std::sort(names.begin(), names.end(), NaturalLess);
        m_names = std::move(names);
        m_open = true;
        return ERROR_SUCCESS;
    }

    long EnumValue(uint32_t index, char* name, uint32_t* nameCap, uint32_t* type, uint8_t* data,
                   uint32_t* dataCap) override {
        if (!m_open)
            return ERROR_INVALID_HANDLE;
        if (!name || !nameCap || (data && !dataCap))
            return ERROR_INVALID_PARAMETER;
        if (index >= m_names.size())
            return ERROR_NO_MORE_ITEMS;
        const std::string& port = m_names[index];
        const std::string valueName = "\\Device\\" + port;
        const uint32_t dataLen = static_cast<uint32_t>(port.size() + 1);
        if (valueName.size() + 1 > *nameCap)
            return ERROR_MORE_DATA;
        if (data && dataLen > *dataCap) {
            *dataCap = dataLen;  // like the registry: the size that would be needed
            return ERROR_MORE_DATA;
        }
        std::memcpy(name, valueName.c_str(), valueName.size() + 1);
        *nameCap = static_cast<uint32_t>(valueName.size());
        if (type)
            *type = REG_SZ;
        if (data)
            std::memcpy(data, port.c_str(), dataLen);
        if (dataCap)
            *dataCap = dataLen;
        return ERROR_SUCCESS;
    }

    void Close() override {
        m_open = false;
        m_names.clear();
    }

  private:
    std::string m_root;
    bool m_open = false;
    std::vector<std::string> m_names;
};

// The kernel's name for a port (ttyUSB0), following /dev/serial/by-id/... style links.
std::string KernelName(const std::string& portName) {
    fs::path path = DevicePathForPort(portName);
    std::error_code ec;
    fs::path resolved = fs::weakly_canonical(path, ec);
    if (ec)
        resolved = path.lexically_normal();
    if (resolved.parent_path() != "/dev")
        return {};
    return resolved.filename().string();
}

}  // namespace

std::unique_ptr<ISerialDeviceMap> MakeSysfsDeviceMap(const std::string& root) {
    return std::make_unique<SysfsDeviceMap>(root);
}

namespace {

// Tests point $KORV_SYSFS_TTY at a fake tree.
std::string SysfsTtyRoot() {
    const char* root = std::getenv("KORV_SYSFS_TTY");
    return root != nullptr && root[0] != '\0' ? root : "/sys/class/tty";
}

}  // namespace

std::unique_ptr<ISerialDeviceMap> MakeSystemDeviceMap() {
    return MakeSysfsDeviceMap(SysfsTtyRoot());
}

PortDescription DescribePort(const std::string& name) {
    return DescribePort(name, SysfsTtyRoot());
}

PortDescription DescribePort(const std::string& name, const std::string& root) {
    PortDescription d;
    d.devicePath = DevicePathForPort(name);
    const std::string kernelName = KernelName(name);
    if (kernelName.empty())
        return d;
    const fs::path device = fs::path(root) / kernelName / "device";
    std::error_code ec;
    if (!fs::exists(device, ec))
        return d;
    d.driver = EffectiveDriver(device);
    // A USB adapter's tty hangs below its interface; the product string is on the USB device.
    fs::path dir = fs::canonical(device, ec);
    for (int step = 0; !ec && step < kMaxParentSteps && !dir.empty(); ++step) {
        std::string product;
        if (ReadFirstLine(dir / "product", &product) && !product.empty()) {
            d.product = product;
            break;
        }
        if (dir == dir.parent_path())
            break;
        dir = dir.parent_path();
    }
    return d;
}

}  // namespace korv
