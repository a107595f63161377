#include "console/PortInfo.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/DeviceMap.h"
#include "platform/Profile.h"
#include "platform/net/NetPortName.h"
#include "ports/PortList.h"
#include "view/UserProfile.h"

namespace korv {

std::string FormatPortListing() {
    const auto map = MakeSystemDeviceMap();
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
        Row row{node->szName, DescribePort(node->szName)};
        nameWidth = std::max(nameWidth, row.name.size());
        pathWidth = std::max(pathWidth, row.desc.devicePath.size());
        driverWidth = std::max(driverWidth, row.desc.driver.size());
        rows.push_back(std::move(row));
    }
    // The network ports the operator has listed in the profile.
    CProfileAdapter profile(CUserProfile("QUENDAL", "KORVALIN"));
    for (const std::string& name : ProfileNetPorts(profile)) {
        const auto parsed = ParseNetPortName(name);
        Row row{name, {"(network)", parsed->kind == NetPortKind::Raw ? "raw TCP" : "RFC 2217", ""}};
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

}  // namespace korv
