#include "console/PortInfo.h"

#include <grp.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/DeviceMap.h"
#include "ports/PortList.h"

namespace korv {

std::string SysfsTtyRoot() {
    const char* root = std::getenv("KORV_SYSFS_TTY");
    return root != nullptr && root[0] != '\0' ? root : "/sys/class/tty";
}

std::string FormatPortListing(const std::string& sysfsRoot) {
    const auto map = MakeSysfsDeviceMap(sysfsRoot);
    CPortList list;
    list.BuildPortList(*map);

    struct Row {
        std::string name;
        PortDescription desc;
    };
    std::vector<Row> rows;
    size_t nameWidth = 0;
    size_t pathWidth = 0;
    size_t driverWidth = 0;
    for (const PortNode* node = list.Head(); node != nullptr; node = node->pNext) {
        Row row{node->szName, DescribePort(node->szName, sysfsRoot)};
        nameWidth = std::max(nameWidth, row.name.size());
        pathWidth = std::max(pathWidth, row.desc.devicePath.size());
        driverWidth = std::max(driverWidth, row.desc.driver.size());
        rows.push_back(std::move(row));
    }
    auto pad = [](std::string s, size_t width) {
        s.resize(std::max(width, s.size()), ' ');
        return s;
    };
    std::string text;
    for (const auto& row : rows) {
        std::string line = pad(row.name, nameWidth) + "  " + row.desc.devicePath;
        if (!row.desc.driver.empty() || !row.desc.product.empty()) {
            line = pad(line, nameWidth + 2 + pathWidth) + "  " + row.desc.driver;
        }
        if (!row.desc.product.empty()) {
            line = pad(line, nameWidth + 2 + pathWidth + 2 + driverWidth) + "  " + row.desc.product;
        }
        text += line + "\n";
    }
    return text;
}

std::string PermissionHint(const std::string& devicePath) {
    struct stat st {};
    if (::stat(devicePath.c_str(), &st) != 0) {
        return {};
    }
    std::string group;
    std::vector<char> buf(4096);
    struct group grp {};
    struct group* found = nullptr;
    if (::getgrgid_r(st.st_gid, &grp, buf.data(), buf.size(), &found) == 0 && found != nullptr) {
        group = found->gr_name;
    } else {
        group = std::to_string(st.st_gid);
    }
    return devicePath + " belongs to the group '" + group +
           "'; to use it, join that group with `sudo usermod -aG " + group +
           " $USER` and log in again.";
}

}  // namespace korv
